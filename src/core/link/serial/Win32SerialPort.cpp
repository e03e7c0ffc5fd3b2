// The serial port on Windows: the communications calls of the Win32 API on
// "\\?\COMn". Built on Windows only; reached through DefaultSerialPlatform().
#include "link/serial/SerialPort.h"

#include <windows.h>

#include <string>
#include <utility>

namespace {
constexpr int kFirstPort = 1;
constexpr int kLastPort = 32;
// The seven characters \\?\COM, then the number in decimal.
constexpr const char *kPathPrefix = "\\\\?\\COM";

std::string ComPath(int n) {
  return kPathPrefix + std::to_string(n);
}

bool IsPortNumber(int n) {
  return n >= kFirstPort && n <= kLastPort;
}

// Reads return at once with what has come, possibly nothing; writes have no
// time-out.
bool ReadsReturnAtOnce(HANDLE handle) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  return SetCommTimeouts(handle, &timeouts) != FALSE;
}

class Win32SerialPort final : public SerialPort {
public:
  explicit Win32SerialPort(HANDLE handle) : Handle(handle) {}
  ~Win32SerialPort() override { CloseHandle(Handle); }
  Win32SerialPort(const Win32SerialPort &) = delete;
  Win32SerialPort &operator=(const Win32SerialPort &) = delete;

  bool GetState(LineSettings &settings) override {
    DCB record{};
    record.DCBlength = sizeof record;
    if (!GetCommState(Handle, &record))
      return false;
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
    if (!GetCommState(Handle, &record))
      return false;
    record.BaudRate = settings.BaudRate;
    record.ByteSize = settings.ByteSize;
    record.Parity = settings.Parity;
    record.StopBits = settings.StopBits;
    return SetCommState(Handle, &record) != FALSE;
  }

  bool SetQueues(uint32_t inputBytes, uint32_t outputBytes) override {
    return SetupComm(Handle, inputBytes, outputBytes) != FALSE;
  }
  bool SetReadsReturnAtOnce() override { return ReadsReturnAtOnce(Handle); }
  bool SetDTR() override { return EscapeCommFunction(Handle, SETDTR) != FALSE; }
  bool SetRTS() override { return EscapeCommFunction(Handle, SETRTS) != FALSE; }
  bool ClearRTS() override { return EscapeCommFunction(Handle, CLRRTS) != FALSE; }
  bool PurgeInput() override { return PurgeComm(Handle, PURGE_RXCLEAR) != FALSE; }
  bool PurgeOutput() override { return PurgeComm(Handle, PURGE_TXCLEAR) != FALSE; }

  // A failing read means the device is gone (an unplugged adapter).
  ReadResult ReadByte(uint8_t &byte) override {
    DWORD got = 0;
    uint8_t value = 0;
    if (!ReadFile(Handle, &value, 1, &got, nullptr))
      return ReadResult::HungUp;
    if (got != 1)
      return ReadResult::None;
    byte = value;
    return ReadResult::Byte;
  }

  // Synchronous: returns when the driver has taken every byte.
  bool Write(const uint8_t *data, size_t count) override {
    while (count > 0) {
      const DWORD chunk = count > MAXDWORD ? MAXDWORD : static_cast<DWORD>(count);
      DWORD put = 0;
      if (!WriteFile(Handle, data, chunk, &put, nullptr) || put == 0)
        return false;
      data += put;
      count -= put;
    }
    return true;
  }

  // Kept simple: no overlapped I/O or comm events. One tick of sleep, then
  // the caller's polling loop reads again; the wait may end before a byte has
  // come, never much later than one millisecond.
  void WaitReadable(int milliseconds) override { Sleep(milliseconds > 0 ? 1 : 0); }

private:
  HANDLE Handle;
};

class Win32SerialPlatform final : public SerialPlatform {
public:
  // Ports COM1 ... COM32 as the system names them; with `devicePath`, COM1
  // names that device and no other number names anything.
  explicit Win32SerialPlatform(std::string devicePath = {}) : SingleDevice(std::move(devicePath)) {}

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
    ReadsReturnAtOnce(handle);
    return std::make_unique<Win32SerialPort>(handle);
  }

  std::string DevicePath(int n) override {
    if (!SingleDevice.empty())
      return n == kFirstPort ? SingleDevice : std::string();
    return IsPortNumber(n) ? ComPath(n) : std::string();
  }

private:
  std::string SingleDevice;
};
} // namespace

// The port's line settings belong to this program's handle alone: nothing to
// put back for another program.
void RestoreOpenPortSettings() noexcept {}

std::shared_ptr<SerialPlatform> DefaultSerialPlatform() {
  return std::make_shared<Win32SerialPlatform>();
}

std::shared_ptr<SerialPlatform> SerialPlatformForDevice(const std::string &devicePath) {
  return std::make_shared<Win32SerialPlatform>(devicePath);
}
