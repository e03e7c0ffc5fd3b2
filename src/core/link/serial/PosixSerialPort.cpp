#include "link/serial/PosixSerialPort.h"

#include "link/serial/TtyDriver.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {
using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0; // mark and space parity are refused
#endif
#ifdef CRTSCTS
constexpr tcflag_t kHardwareFlow = CRTSCTS;
#else
constexpr tcflag_t kHardwareFlow = 0;
#endif

// A write gives up when the driver has taken nothing for this long, plus the
// time the bytes still to go need on the line.
constexpr Milliseconds kWriteStall{2000};
// Start bit, 8 data bits, parity, two stop bits: the slowest character.
constexpr uint64_t kMaxBitsPerChar = 12;
// Assumed when the driver does not say its rate.
constexpr uint32_t kSlowestRate = 300;

constexpr int kFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

class FdGuard {
public:
  explicit FdGuard(int fd) : FFd(fd) {}
  ~FdGuard() {
    if (FFd >= 0)
      close(FFd);
  }
  FdGuard(const FdGuard &) = delete;
  FdGuard &operator=(const FdGuard &) = delete;
  int Get() const { return FFd; }
  int Release() { return std::exchange(FFd, -1); }

private:
  int FFd;
};

bool IsValid(const LineSettings &settings) {
  if (settings.BaudRate == 0 || settings.ByteSize < 5 || settings.ByteSize > 8)
    return false;
  if (settings.Parity > kParitySpace || settings.StopBits > kTwoStopBits)
    return false;
  const bool stick = settings.Parity == kParityMark || settings.Parity == kParitySpace;
  return !stick || kStickParity != 0;
}

tcflag_t SizeFlag(uint8_t byteSize) {
  switch (byteSize) {
  case 5:
    return CS5;
  case 6:
    return CS6;
  case 7:
    return CS7;
  default:
    return CS8;
  }
}

uint8_t ByteSizeOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
  case CS5:
    return 5;
  case CS6:
    return 6;
  case CS7:
    return 7;
  default:
    return 8;
  }
}

tcflag_t ParityFlags(uint8_t parity) {
  switch (parity) {
  case kParityOdd:
    return PARENB | PARODD;
  case kParityEven:
    return PARENB;
  case kParityMark: // with stick parity, PARODD picks mark
    return PARENB | kStickParity | PARODD;
  case kParitySpace:
    return PARENB | kStickParity;
  default:
    return 0;
  }
}

uint8_t ParityOf(tcflag_t cflag) {
  if ((cflag & PARENB) == 0)
    return kParityNone;
  if (kStickParity != 0 && (cflag & kStickParity) != 0)
    return (cflag & PARODD) ? kParityMark : kParitySpace;
  return (cflag & PARODD) ? kParityOdd : kParityEven;
}

constexpr tcflag_t kFrameFlags = CSIZE | PARENB | PARODD | CSTOPB | kStickParity;

// Raw 8-bit, whatever mode the terminal was left in.
void MakeRaw(termios &settings) {
  settings.c_iflag = 0; // no CR/NL mapping, case folding, XON/XOFF, stripping or marking
  settings.c_oflag = 0; // no output processing
  settings.c_lflag = 0; // no line editing, echo or signals
  settings.c_cflag &= ~(CSIZE | PARENB | PARODD | kStickParity | kHardwareFlow);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
}

bool IsTransient(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// The symbols of the errors that terminal calls answer; any other goes by its
// number.
std::string ErrnoName(int error) {
  switch (error) {
  case EIO:
    return "EIO";
  case ENXIO:
    return "ENXIO";
  case ENODEV:
    return "ENODEV";
  case EACCES:
    return "EACCES";
  case EPERM:
    return "EPERM";
  case EBUSY:
    return "EBUSY";
  case EINVAL:
    return "EINVAL";
  case ENOTTY:
    return "ENOTTY";
  case EBADF:
    return "EBADF";
  case ENOENT:
    return "ENOENT";
  case EAGAIN:
    return "EAGAIN";
  case EINTR:
    return "EINTR";
  case ENOSPC:
    return "ENOSPC";
  case ENOMEM:
    return "ENOMEM";
  case ESHUTDOWN:
    return "ESHUTDOWN";
  default:
    return "errno " + std::to_string(error);
  }
}

// A terminal whose device is gone answers EIO, and a USB adapter being pulled
// may answer EPERM or ESHUTDOWN from its driver before that: the errno alone
// does not say it. The line does: it has hung up, or the device's node is
// gone (an unplugged adapter's /dev entry, a closed pseudo-terminal's).
bool DeviceIsGone(int fd) {
  pollfd state{fd, 0, 0};
  if (poll(&state, 1, 0) > 0 && (state.revents & POLLHUP) != 0)
    return true;
  struct stat info {};
  return fstat(fd, &info) == 0 && info.st_nlink == 0;
}

Milliseconds LineTime(size_t bytes, uint32_t rate) {
  if (rate == 0)
    rate = kSlowestRate;
  return Milliseconds(bytes * kMaxBitsPerChar * 1000 / rate + 1);
}

// The settings of every open port, where a signal handler can reach them: a
// slot's descriptor is published only once its settings are in place.
constexpr int kRestoreSlots = 64;
constexpr int kSlotFree = -1;
constexpr int kSlotFilling = -2;
struct RestoreEntry {
  std::atomic<int> Fd{kSlotFree};
  TerminalSettings Original{};
  bool (*ClearLowLatency)(int fd, bool on) = nullptr;
};
RestoreEntry gRestore[kRestoreSlots];

int ClaimRestoreSlot(int fd, const TerminalSettings &original,
                     bool (*clearLowLatency)(int fd, bool on)) {
  for (int i = 0; i < kRestoreSlots; ++i) {
    int expected = kSlotFree;
    if (gRestore[i].Fd.compare_exchange_strong(expected, kSlotFilling)) {
      gRestore[i].Original = original;
      gRestore[i].ClearLowLatency = clearLowLatency;
      gRestore[i].Fd.store(fd, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

// A /dev/pts entry disappears when the program on its master side closes it:
// a path that leads there and finds nothing names such a terminal.
bool LeadsToGonePseudoTerminal(const std::string &path) {
  std::string target = path;
  for (int hops = 0; hops < 40; ++hops) {
    if (target.rfind("/dev/pts/", 0) == 0)
      return true;
    char next[4096];
    const ssize_t length = readlink(target.c_str(), next, sizeof next - 1);
    if (length <= 0)
      return false;
    next[length] = '\0';
    const std::string link(next, static_cast<size_t>(length));
    if (link.front() == '/')
      target = link;
    else
      target = target.substr(0, target.rfind('/') + 1) + link;
  }
  return false;
}
} // namespace

void RestoreOpenPortSettings() noexcept {
  for (RestoreEntry &entry : gRestore) {
    const int fd = entry.Fd.load(std::memory_order_acquire);
    if (fd < 0)
      continue;
    RestoreTerminal(fd, entry.Original);
    if (entry.ClearLowLatency)
      entry.ClearLowLatency(fd, false);
    // Exclusive mode belongs to the terminal, not to this descriptor: it
    // would outlive the program.
    ioctl(fd, TIOCNXCL);
  }
}

PosixSerialPort::PosixSerialPort(int fd, std::string devicePath, const TerminalSettings &original,
                                 bool (*clearLowLatency)(int fd, bool on))
    : FFd(fd), FPath(std::move(devicePath)), FOriginal(original), FClearLowLatency(clearLowLatency),
      FRestoreSlot(ClaimRestoreSlot(fd, original, clearLowLatency)) {}

PosixSerialPort::~PosixSerialPort() {
  RestoreTerminal(FFd, FOriginal);
  if (FClearLowLatency)
    FClearLowLatency(FFd, false);
  if (FRestoreSlot >= 0)
    gRestore[FRestoreSlot].Fd.store(kSlotFree, std::memory_order_release);
  ioctl(FFd, TIOCNXCL);
  close(FFd); // also releases the flock
}

bool PosixSerialPort::GetState(LineSettings &settings) {
  termios current{};
  uint32_t rate = 0;
  if (tcgetattr(FFd, &current) != 0 || !ReadLineRate(FFd, rate))
    return Refused(errno);
  FRate = rate;
  settings.BaudRate = rate;
  settings.ByteSize = ByteSizeOf(current.c_cflag);
  settings.Parity = ParityOf(current.c_cflag);
  settings.StopBits = (current.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
  return true;
}

bool PosixSerialPort::SetState(const LineSettings &settings) {
  // Whatever happens below, the rate is asked from the driver again.
  FRate = 0;
  if (!IsValid(settings))
    return GaveUp("line settings this port cannot take");
  if (!WriteLineRate(FFd, settings.BaudRate))
    return Refused(errno);
  // Read after the rate changed, so that writing the record back keeps it.
  termios wanted{};
  if (tcgetattr(FFd, &wanted) != 0)
    return Refused(errno);
  wanted.c_cflag &= ~kFrameFlags;
  wanted.c_cflag |= SizeFlag(settings.ByteSize) | ParityFlags(settings.Parity);
  if (settings.StopBits != kOneStopBit)
    wanted.c_cflag |= CSTOPB; // one and a half is held as two
  // tcsetattr succeeds when any part was applied: check the whole frame.
  termios now{};
  if (tcsetattr(FFd, TCSANOW, &wanted) != 0 || tcgetattr(FFd, &now) != 0)
    return Refused(errno);
  if ((now.c_cflag & kFrameFlags) != (wanted.c_cflag & kFrameFlags))
    return GaveUp("the driver does not hold this frame");
  return true;
}

bool PosixSerialPort::SetQueues(uint32_t, uint32_t) {
  return true;
}

bool PosixSerialPort::SetReadsReturnAtOnce() {
  termios current{};
  if (tcgetattr(FFd, &current) != 0)
    return Refused(errno);
  current.c_cc[VMIN] = 0;
  current.c_cc[VTIME] = 0;
  const int flags = fcntl(FFd, F_GETFL);
  if (flags == -1)
    return Refused(errno);
  if (tcsetattr(FFd, TCSANOW, &current) != 0 || fcntl(FFd, F_SETFL, flags | O_NONBLOCK) != 0)
    return Refused(errno);
  return true;
}

bool PosixSerialPort::ModemLine(unsigned long request, int line) {
  if (FNoModemLines || ioctl(FFd, request, &line) == 0)
    return true;
  // A pseudo-terminal has no modem lines; nothing to drive is not a failure.
  FNoModemLines = errno == ENOTTY || errno == EINVAL;
  return FNoModemLines || Refused(errno);
}

bool PosixSerialPort::SetDTR() {
  return ModemLine(TIOCMBIS, TIOCM_DTR);
}
bool PosixSerialPort::SetRTS() {
  return ModemLine(TIOCMBIS, TIOCM_RTS);
}
bool PosixSerialPort::ClearRTS() {
  return ModemLine(TIOCMBIC, TIOCM_RTS);
}
bool PosixSerialPort::PurgeInput() {
  FNext = FFilled = 0;
  return tcflush(FFd, TCIFLUSH) == 0 || Refused(errno);
}
bool PosixSerialPort::PurgeOutput() {
  return tcflush(FFd, TCOFLUSH) == 0 || Refused(errno);
}

bool PosixSerialPort::Refused(int error) {
  PortFault fault = PortFault::Other;
  switch (error) {
  case ENXIO:
  case ENODEV:
  case ESHUTDOWN:
    fault = PortFault::Gone;
    break;
  case EIO:
    fault = PortFault::InputOutput;
    break;
  case EACCES:
  case EPERM:
    fault = PortFault::Permission;
    break;
  default:
    break;
  }
  if (fault != PortFault::Gone && DeviceIsGone(FFd))
    fault = PortFault::Gone;
  FLastError = {fault, error, ErrnoName(error), std::generic_category().message(error)};
  return false;
}

bool PosixSerialPort::GaveUp(const char *words) {
  FLastError = {PortFault::Other, 0, {}, words};
  return false;
}

void PosixSerialPort::SawHangUp(short events) {
  FHungUp = true;
  if ((events & POLLHUP) != 0)
    FLastError = {PortFault::Gone, 0, "POLLHUP", "the line hung up"};
  else if ((events & POLLERR) != 0)
    FLastError = {PortFault::InputOutput, 0, "POLLERR", "an error on the line"};
  else
    FLastError = {PortFault::Other, 0, "POLLNVAL", "the port's descriptor is not open"};
}

ReadResult PosixSerialPort::ReadByte(uint8_t &byte) {
  // Bytes already taken from the driver are the device's, hung up or not.
  if (FNext < FFilled) {
    byte = FPending[FNext++];
    return ReadResult::Byte;
  }
  while (!FHungUp) {
    // Whatever has come, in one call: a byte at a time would cost a system
    // call per byte.
    const ssize_t got = read(FFd, FPending.data(), FPending.size());
    if (got > 0) {
      FFilled = static_cast<size_t>(got);
      FNext = 1;
      byte = FPending[0];
      return ReadResult::Byte;
    }
    if (got == 0) {
      // With VMIN 0 an empty queue and a hung-up line both read as 0 bytes;
      // only the hang-up shows in poll. A wait that has just looked at the
      // line saw it up, and the next wait will see it go: no need to ask.
      if (std::exchange(FLineSeenUp, false))
        return ReadResult::None;
      pollfd state{FFd, POLLIN, 0};
      if (poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        SawHangUp(state.revents);
      return FHungUp ? ReadResult::HungUp : ReadResult::None;
    }
    if (errno == EINTR)
      continue;
    if (IsTransient(errno))
      return ReadResult::None;
    // EIO: the other side closed, or the adapter is gone. Final either way.
    Refused(errno);
    FHungUp = true;
  }
  return ReadResult::HungUp;
}

bool PosixSerialPort::Write(const uint8_t *data, size_t count) {
  if (FHungUp)
    return false;
  if (FRate == 0)
    ReadLineRate(FFd, FRate);
  const uint32_t rate = FRate;
  size_t done = 0;
  auto deadline = Clock::now() + kWriteStall + LineTime(count, rate);
  while (done < count) {
    const ssize_t put = write(FFd, data + done, count - done);
    if (put > 0) {
      done += static_cast<size_t>(put);
      deadline = Clock::now() + kWriteStall + LineTime(count - done, rate);
      continue;
    }
    if (put < 0 && !IsTransient(errno)) {
      FHungUp = true;
      return Refused(errno);
    }
    if (put == 0)
      return GaveUp("the driver took no byte");
    if (errno == EINTR)
      continue;
    // The driver's queue is full: wait for room, but not for ever.
    const auto left = std::chrono::duration_cast<Milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
      return GaveUp("the driver took no byte in the time allowed");
    pollfd state{FFd, POLLOUT, 0};
    if (poll(&state, 1, static_cast<int>(left.count())) > 0 &&
        (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      SawHangUp(state.revents);
      return false;
    }
  }
  return true;
}

void PosixSerialPort::WaitReadable(int milliseconds) {
  if (FHungUp || FNext < FFilled)
    return;
  const auto deadline = Clock::now() + Milliseconds(milliseconds > 0 ? milliseconds : 0);
  for (;;) {
    // Nanoseconds, not whole milliseconds: a wait of 1 ms computed a moment
    // later is 0.99 ms, which poll's millisecond timeout would make a spin.
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    const auto ns = left.count() > 0 ? left.count() : 0;
    const timespec timeout{static_cast<time_t>(ns / 1'000'000'000),
                           static_cast<long>(ns % 1'000'000'000)};
    pollfd state{FFd, POLLIN, 0};
    const int ready = ppoll(&state, 1, &timeout, nullptr);
    if (ready >= 0) {
      const bool gone = (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
      FLineSeenUp = !gone;
      // Bytes that came before the hang-up are still handed out.
      if (gone && (state.revents & POLLIN) == 0)
        SawHangUp(state.revents);
      return;
    }
    // Interrupted by a signal: wait out the rest.
    if (errno != EINTR || ns == 0)
      return;
  }
}

PosixSerialPlatform::PosixSerialPlatform(PortTable table, ConsoleAccess consoles,
                                         PosixPortSeams seams)
    : FPorts(std::move(table)), FConsoles(consoles), FSeams(std::move(seams)) {}

bool PosixSerialPlatform::IsRefusedConsole(dev_t device) const {
  if (FConsoles == ConsoleAccess::Allowed)
    return false;
  const std::vector<dev_t> consoles = FSeams.Consoles();
  return std::find(consoles.begin(), consoles.end(), device) != consoles.end();
}

bool PosixSerialPlatform::Probe(int n) {
  return Status(n) == PortStatus::Free;
}

PortStatus PosixSerialPlatform::Status(int n) {
  const std::string path = FPorts.PathOf(n);
  if (path.empty())
    return PortStatus::Absent;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == EACCES)
      return PortStatus::NoPermission;
    return LeadsToGonePseudoTerminal(path) ? PortStatus::HungUp : PortStatus::Absent;
  }
  if (!S_ISCHR(info.st_mode))
    return PortStatus::NotTerminal;
  // Decided before any open: opening a console may already disturb it.
  if (IsRefusedConsole(info.st_rdev))
    return PortStatus::Console;
  FdGuard port(open(path.c_str(), kFlags));
  if (port.Get() < 0) {
    switch (errno) {
    case EBUSY: // held in exclusive mode
      return PortStatus::Busy;
    case EACCES:
    case EPERM:
      return PortStatus::NoPermission;
    case EIO:
      return PortStatus::HungUp;
    default:
      return PortStatus::Absent;
    }
  }
  if (!isatty(port.Get()))
    return PortStatus::NotTerminal;
  if (IsAbsentUart(port.Get()))
    return PortStatus::Absent;
  // The lock taken here is dropped with the descriptor.
  return flock(port.Get(), LOCK_EX | LOCK_NB) == 0 ? PortStatus::Free : PortStatus::Busy;
}

std::unique_ptr<SerialPort> PosixSerialPlatform::Open(int n) {
  const std::string path = FPorts.PathOf(n);
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0 ||
      (S_ISCHR(info.st_mode) && IsRefusedConsole(info.st_rdev)))
    return nullptr;
  FdGuard port(open(path.c_str(), kFlags));
  if (port.Get() < 0 || !isatty(port.Get()) || IsAbsentUart(port.Get()))
    return nullptr;
  // flock holds for root as well, and through any symbolic link to the device.
  if (flock(port.Get(), LOCK_EX | LOCK_NB) != 0)
    return nullptr;
  TerminalSettings original{};
  termios settings{};
  if (!SaveTerminal(port.Get(), original) || tcgetattr(port.Get(), &settings) != 0)
    return nullptr;
  MakeRaw(settings);
  if (tcsetattr(port.Get(), TCSANOW, &settings) != 0)
    return nullptr;
  // Keeps out programs that do not use flock; root is not kept out.
  ioctl(port.Get(), TIOCEXCL);
  // A USB adapter would otherwise hold every reply up to its latency timer.
  bool lowLatency = false;
  const bool turnedOn = FSeams.ReadLowLatency(port.Get(), lowLatency) && !lowLatency &&
                        FSeams.WriteLowLatency(port.Get(), true);
  return std::make_unique<PosixSerialPort>(port.Release(), path, original,
                                           turnedOn ? FSeams.WriteLowLatency : nullptr);
}

std::string PosixSerialPlatform::DevicePath(int n) {
  return FPorts.PathOf(n);
}

std::shared_ptr<SerialPlatform> DefaultSerialPlatform(ConsoleAccess consoles) {
  return std::make_shared<PosixSerialPlatform>(PortTable::BesideProgram(), consoles);
}
