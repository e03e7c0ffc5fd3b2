// The serial port on Windows: the communications calls of the Win32 API on
// "\\?\COMn". Built on Windows only; reached through DefaultSerialPlatform().
//
// Waits end when data arrives: a read waits in the driver (COMMTIMEOUTS) for
// the first byte, or for the rest of a frame, instead of sleeping, since a
// Sleep(1) lasts a whole timer period (15.6 ms by default) on Windows.
#include "link/serial/SerialPort.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>

namespace {
// The seven characters \\?\COM, then the number in decimal.
constexpr const char *kPathPrefix = "\\\\?\\COM";

std::string ComPath(int n) {
  return kPathPrefix + std::to_string(n);
}

bool IsPortNumber(int n) {
  return n >= kFirstPort && n <= kMaxPort;
}

// The read time-outs the port switches between.
struct ReadTimeouts {
  DWORD Interval;
  DWORD Multiplier;
  DWORD Constant;
  bool operator==(const ReadTimeouts &) const = default;
};
// A read returns at once with what has come, possibly nothing.
constexpr ReadTimeouts kReturnAtOnce{MAXDWORD, 0, 0};
// A read returns at once with what has come, or waits for the first byte for
// `Constant` milliseconds.
constexpr ReadTimeouts FirstByteWithin(DWORD ms) {
  return {MAXDWORD, MAXDWORD, ms};
}
// A read returns when every byte asked for has come, or after `Constant`
// milliseconds with what has.
constexpr ReadTimeouts AllBytesWithin(DWORD ms) {
  return {0, 0, ms};
}

// Writes have no time-out.
bool ApplyReadTimeouts(HANDLE handle, const ReadTimeouts &read) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = read.Interval;
  timeouts.ReadTotalTimeoutMultiplier = read.Multiplier;
  timeouts.ReadTotalTimeoutConstant = read.Constant;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  return SetCommTimeouts(handle, &timeouts) != FALSE;
}

// The symbols of the errors that the communications calls answer; any other
// goes by its number.
std::string ErrorName(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
    return "ERROR_FILE_NOT_FOUND";
  case ERROR_ACCESS_DENIED:
    return "ERROR_ACCESS_DENIED";
  case ERROR_INVALID_HANDLE:
    return "ERROR_INVALID_HANDLE";
  case ERROR_NOT_READY:
    return "ERROR_NOT_READY";
  case ERROR_BAD_COMMAND:
    return "ERROR_BAD_COMMAND";
  case ERROR_GEN_FAILURE:
    return "ERROR_GEN_FAILURE";
  case ERROR_SHARING_VIOLATION:
    return "ERROR_SHARING_VIOLATION";
  case ERROR_DEV_NOT_EXIST:
    return "ERROR_DEV_NOT_EXIST";
  case ERROR_INVALID_PARAMETER:
    return "ERROR_INVALID_PARAMETER";
  case ERROR_SEM_TIMEOUT:
    return "ERROR_SEM_TIMEOUT";
  case ERROR_OPERATION_ABORTED:
    return "ERROR_OPERATION_ABORTED";
  case ERROR_IO_DEVICE:
    return "ERROR_IO_DEVICE";
  case ERROR_DEVICE_NOT_CONNECTED:
    return "ERROR_DEVICE_NOT_CONNECTED";
  case ERROR_DEVICE_REMOVED:
    return "ERROR_DEVICE_REMOVED";
  default:
    return "error " + std::to_string(error);
  }
}

// An unplugged USB adapter fails its calls with access denied, bad command,
// device removed, not ready and the like: on an open handle none of them is
// about permission.
PortFault FaultOf(DWORD error) {
  switch (error) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_ACCESS_DENIED:
  case ERROR_INVALID_HANDLE:
  case ERROR_NOT_READY:
  case ERROR_BAD_COMMAND:
  case ERROR_GEN_FAILURE:
  case ERROR_DEV_NOT_EXIST:
  case ERROR_DEVICE_NOT_CONNECTED:
  case ERROR_DEVICE_REMOVED:
    return PortFault::Gone;
  case ERROR_IO_DEVICE:
    return PortFault::InputOutput;
  default:
    return PortFault::Other;
  }
}

// FormatMessage's text for `error` in the system's language, as UTF-8, without
// its line end and full stop.
std::string SystemText(DWORD error) {
  wchar_t *buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) {
    const int wide = static_cast<int>(length);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer, wide, nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
      text.resize(static_cast<size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, buffer, wide, text.data(), bytes, nullptr, nullptr);
    }
  }
  LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(error) : text;
}

PortError SystemError(DWORD error) {
  return {FaultOf(error), static_cast<int>(error), ErrorName(error), SystemText(error)};
}

// Whole milliseconds, at least one: the driver's time-outs count in them.
DWORD CeilMilliseconds(std::chrono::microseconds time) {
  const auto ms = (time.count() + 999) / 1000;
  return static_cast<DWORD>(std::clamp<long long>(ms, 1, 60'000));
}

class Win32SerialPort final : public SerialPort {
public:
  explicit Win32SerialPort(HANDLE handle) : FHandle(handle) {}
  ~Win32SerialPort() override { CloseHandle(FHandle); }
  Win32SerialPort(const Win32SerialPort &) = delete;
  Win32SerialPort &operator=(const Win32SerialPort &) = delete;

  bool GetState(LineSettings &settings) override {
    DCB record{};
    record.DCBlength = sizeof record;
    if (!GetCommState(FHandle, &record))
      return Failed();
    settings.BaudRate = record.BaudRate;
    settings.ByteSize = record.ByteSize;
    settings.Parity = record.Parity;
    settings.StopBits = record.StopBits;
    return true;
  }

  // Every other field of the record stays as the driver holds it.
  bool SetState(const LineSettings &settings) override {
    DCB record{};
    record.DCBlength = sizeof record;
    if (!GetCommState(FHandle, &record))
      return Failed();
    record.BaudRate = settings.BaudRate;
    record.ByteSize = settings.ByteSize;
    record.Parity = settings.Parity;
    record.StopBits = settings.StopBits;
    return SetCommState(FHandle, &record) != FALSE || Failed();
  }

  bool SetQueues(uint32_t inputBytes, uint32_t outputBytes) override {
    return SetupComm(FHandle, inputBytes, outputBytes) != FALSE || Failed();
  }
  bool SetReadsReturnAtOnce() override { return UseTimeouts(kReturnAtOnce); }
  // A line the adapter does not have (a pseudo-terminal under Wine has none)
  // fails; the link ignores it, as it ignores every modem-line result.
  bool SetDTR() override { return EscapeCommFunction(FHandle, SETDTR) != FALSE || Failed(); }
  bool SetRTS() override { return EscapeCommFunction(FHandle, SETRTS) != FALSE || Failed(); }
  bool ClearRTS() override { return EscapeCommFunction(FHandle, CLRRTS) != FALSE || Failed(); }
  // Bytes already taken from the driver belong to the receive queue too.
  bool PurgeInput() override {
    FNext = FFilled = 0;
    return PurgeComm(FHandle, PURGE_RXCLEAR) != FALSE || Failed();
  }
  bool PurgeOutput() override { return PurgeComm(FHandle, PURGE_TXCLEAR) != FALSE || Failed(); }

  ReadResult ReadByte(uint8_t &byte) override {
    if (FNext == FFilled && !FGone)
      Fill(kReturnAtOnce, FPending.size());
    if (FNext < FFilled) {
      byte = FPending[FNext++];
      return ReadResult::Byte;
    }
    return FGone ? ReadResult::HungUp : ReadResult::None;
  }

  // Synchronous: returns when the driver has taken every byte. A refused
  // write means the adapter is gone: the next read says so at once.
  bool Write(const uint8_t *data, size_t count) override {
    while (count > 0) {
      const DWORD chunk = count > MAXDWORD ? MAXDWORD : static_cast<DWORD>(count);
      DWORD put = 0;
      if (!WriteFile(FHandle, data, chunk, &put, nullptr)) {
        NoteFailure(GetLastError());
        return false;
      }
      if (put == 0) {
        FLastError = {PortFault::Other, 0, {}, "the driver took no byte"};
        return false;
      }
      data += put;
      count -= put;
    }
    return true;
  }

  // The driver ends the read at the first byte; that byte is kept for
  // ReadByte. One byte is asked for: Windows ends such a read at the first
  // byte whatever the count, Wine only when the count is reached.
  void WaitReadable(int milliseconds) override {
    if (FNext < FFilled || FGone || milliseconds <= 0)
      return;
    Fill(FirstByteWithin(static_cast<DWORD>(milliseconds)), 1);
  }

  // The driver ends the read at the last of `count` bytes.
  void WaitForBytes(size_t count, std::chrono::microseconds longest) override {
    if (FGone || count == 0)
      return;
    const size_t held = FFilled - FNext;
    if (held >= count)
      return;
    if (FNext > 0) {
      std::copy(FPending.begin() + static_cast<std::ptrdiff_t>(FNext),
                FPending.begin() + static_cast<std::ptrdiff_t>(FFilled), FPending.begin());
      FNext = 0;
      FFilled = held;
    }
    const size_t room = FPending.size() - FFilled;
    Fill(AllBytesWithin(CeilMilliseconds(longest)), std::min(count - held, room), FFilled);
  }

  // GetLastError with FormatMessage's text; an unplugged adapter's errors are
  // a device gone.
  const PortError &LastError() const override { return FLastError; }

private:
  // Notes the reason of the call that just failed; false.
  bool Failed() {
    FLastError = SystemError(GetLastError());
    return false;
  }

  bool UseTimeouts(const ReadTimeouts &timeouts) {
    if (FCurrent && *FCurrent == timeouts)
      return true;
    if (!ApplyReadTimeouts(FHandle, timeouts)) {
      FCurrent.reset();
      return Failed();
    }
    FCurrent = timeouts;
    return true;
  }

  // Reads up to `count` bytes under `timeouts` into Pending from `at` on.
  void Fill(const ReadTimeouts &timeouts, size_t count, size_t at = 0) {
    if (at == 0)
      FNext = FFilled = 0;
    if (!UseTimeouts(timeouts)) {
      // Without its time-outs a read might block: do not read at all.
      NoteFailure(static_cast<DWORD>(FLastError.Code));
      return;
    }
    DWORD got = 0;
    if (!ReadFile(FHandle, FPending.data() + at, static_cast<DWORD>(count), &got, nullptr)) {
      NoteFailure(GetLastError());
      return;
    }
    FFilled = at + got;
  }

  // A failed call either met a line error that stopped the driver (abort on
  // error: ClearCommError clears it and the port goes on) or means the
  // adapter is gone: unplugged USB adapters fail with access denied, bad
  // command, device removed, not ready and the like. Gone is final for this
  // open.
  void NoteFailure(DWORD error) {
    FLastError = SystemError(error);
    DWORD errors = 0;
    COMSTAT status{};
    const bool cleared = ClearCommError(FHandle, &errors, &status) != FALSE;
    if (error == ERROR_OPERATION_ABORTED && cleared)
      return;
    FGone = true;
  }

  HANDLE FHandle;
  std::optional<ReadTimeouts> FCurrent;
  bool FGone = false;
  // Read from the driver but not yet handed out: FPending[FNext ... FFilled-1].
  std::array<uint8_t, 512> FPending{};
  size_t FNext = 0;
  size_t FFilled = 0;
  PortError FLastError;
};

class Win32SerialPlatform final : public SerialPlatform {
public:
  // Ports COM1 ... COM32 as the system names them; with `devicePath`, COM1
  // names that device and no other number names anything.
  explicit Win32SerialPlatform(std::string devicePath = {})
      : FSingleDevice(std::move(devicePath)) {}

  // A handle exactly when the port exists and nobody holds it; neither reads
  // nor writes.
  bool Probe(int n) override { return Status(n) == PortStatus::Free; }

  PortStatus Status(int n) override {
    const std::string path = DevicePath(n);
    if (path.empty())
      return PortStatus::Absent;
    const HANDLE handle =
        CreateFileA(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
      const DWORD error = GetLastError();
      const bool held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
      return held ? PortStatus::Busy : PortStatus::Absent;
    }
    CloseHandle(handle);
    return PortStatus::Free;
  }

  // Exclusive (share mode 0), synchronous transfers. The read time-outs are
  // set at once so that no read can block, whatever the caller does next.
  std::unique_ptr<SerialPort> Open(int n) override {
    const std::string path = DevicePath(n);
    if (path.empty())
      return nullptr;
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr)
      return nullptr;
    auto port = std::make_unique<Win32SerialPort>(handle);
    port->SetReadsReturnAtOnce();
    return port;
  }

  std::string DevicePath(int n) override {
    if (!FSingleDevice.empty())
      return n == kFirstPort ? FSingleDevice : std::string();
    return IsPortNumber(n) ? ComPath(n) : std::string();
  }

private:
  std::string FSingleDevice;
};
} // namespace

// The port's line settings belong to this program's handle alone: nothing to
// put back for another program.
void RestoreOpenPortSettings() noexcept {}

// Windows has no serial console of the kind Linux has: every COM port is a
// port.
std::shared_ptr<SerialPlatform> DefaultSerialPlatform(ConsoleAccess) {
  return std::make_shared<Win32SerialPlatform>();
}

std::shared_ptr<SerialPlatform> SerialPlatformForDevice(const std::string &devicePath,
                                                        ConsoleAccess) {
  return std::make_shared<Win32SerialPlatform>(devicePath);
}
