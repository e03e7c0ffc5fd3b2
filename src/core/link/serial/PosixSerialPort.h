// The serial port on POSIX systems: termios, flock and poll over the device
// paths of a PortTable. Built on POSIX only.
#pragma once

#include "link/serial/PortTable.h"
#include "link/serial/SerialPort.h"
#include "link/serial/SystemConsoles.h"
#include "link/serial/TtyDriver.h"

#include <array>
#include <string>

// What the platform asks of the machine besides the device itself: which
// terminals are the system console, and the driver's low-latency flag. Tests
// put their own in place.
struct PosixPortSeams {
  ConsoleList Consoles = [] { return ReadSystemConsoles(); };
  bool (*ReadLowLatency)(int fd, bool &on) = ::ReadLowLatency;
  bool (*WriteLowLatency)(int fd, bool on) = ::WriteLowLatency; // async-signal-safe
};

// One open terminal device, raw 8-bit, non-blocking, held exclusively.
class PosixSerialPort final : public SerialPort {
public:
  // Takes ownership of `fd`, already opened, locked and made raw by
  // PosixSerialPlatform::Open; `original` is what the terminal held before.
  // `clearLowLatency`: the open turned the driver's low-latency flag on, and
  // the close turns it off again through it; null: nothing to put back.
  PosixSerialPort(int fd, std::string devicePath, const TerminalSettings &original,
                  bool (*clearLowLatency)(int fd, bool on) = nullptr);
  // Puts the terminal's settings (and the low-latency flag) back as they were
  // before the open, then closes it.
  ~PosixSerialPort() override;
  PosixSerialPort(const PosixSerialPort &) = delete;
  PosixSerialPort &operator=(const PosixSerialPort &) = delete;

  // The rate is the one the driver reports; a 1.5 stop-bit setting is held as
  // two, and read back as 2.
  bool GetState(LineSettings &settings) override;
  // All fields are checked first (ByteSize 5 ... 8, Parity 0 ... 4, StopBits
  // 0 ... 2, BaudRate not 0: rate 0 would hang the line up); an invalid record
  // or a refused rate changes nothing and answers false. The rate is set
  // first, then the frame; a frame the driver does not hold as asked (a
  // pseudo-terminal is always 8 bits without parity) answers false, and
  // GetState tells what it holds.
  bool SetState(const LineSettings &settings) override;
  // The terminal driver has no queue sizes to set: accepted as they are.
  bool SetQueues(uint32_t inputBytes, uint32_t outputBytes) override;
  bool SetReadsReturnAtOnce() override;
  // A device without modem lines (a pseudo-terminal) answers true.
  bool SetDTR() override;
  bool SetRTS() override;
  bool ClearRTS() override;
  bool PurgeInput() override;
  bool PurgeOutput() override;

  // Hands out one byte at a time from what one read took from the driver;
  // PurgeInput drops what is left of it.
  ReadResult ReadByte(uint8_t &byte) override;
  // Gives up (false) on hang-up, or when the driver has taken no byte for two
  // seconds plus the line time of the bytes still to go.
  bool Write(const uint8_t *data, size_t count) override;
  void WaitReadable(int milliseconds) override;
  // errno with strerror's text. Any error on a line that has hung up, or
  // whose device node is gone, is a device gone, as are ENXIO, ENODEV and
  // ESHUTDOWN; otherwise EIO is an I/O error, EACCES and EPERM permission. A
  // hang-up that poll shows without an errno is named for its poll flag
  // (POLLHUP, POLLERR, POLLNVAL).
  const PortError &LastError() const override { return FLastError; }

  const std::string &DevicePath() const { return FPath; }

private:
  bool ModemLine(unsigned long request, int line);
  // Notes the system's reason `error` for the call that just failed; false.
  bool Refused(int error);
  // Notes that the port gave up by itself, in `words`; false.
  bool GaveUp(const char *words);
  // Notes the hang-up that poll showed in `events`; the port stays gone.
  void SawHangUp(short events);

  int FFd;
  std::string FPath;
  TerminalSettings FOriginal;
  bool (*FClearLowLatency)(int fd, bool on);
  int FRestoreSlot;     // where RestoreOpenPortSettings finds it; -1: none was free
  bool FHungUp = false; // once gone, a device stays gone for this open
  // Read from the driver but not yet handed out: Pending[Next ... Filled-1].
  std::array<uint8_t, 256> FPending{};
  size_t FNext = 0;
  size_t FFilled = 0;
  // The last wait saw the line up (no hang-up); cleared by the next empty read.
  bool FLineSeenUp = false;
  // A pseudo-terminal has no modem lines: once the driver says so, RTS and DTR
  // are not asked for again (two system calls saved on every exchange).
  bool FNoModemLines = false;
  // The rate last set or read, for the write's deadline; 0: not known yet.
  uint32_t FRate = 0;
  PortError FLastError;
};

// Probes and opens COM1 ... COM32 through a port table.
class PosixSerialPlatform final : public SerialPlatform {
public:
  explicit PosixSerialPlatform(PortTable table, ConsoleAccess consoles = ConsoleAccess::Refused,
                               PosixPortSeams seams = {});

  // Free exactly when Status says so.
  bool Probe(int n) override;
  // Looks at the path first (nothing there, or not a character device, is
  // decided without opening it), then opens it non-blocking without making it
  // the controlling terminal and closes it at once. Absent: no entry, no such
  // device, a UART without hardware. NotTerminal: a file, a folder, a FIFO,
  // /dev/null. HungUp: a pseudo-terminal whose other side has closed (the open
  // fails with EIO, or the path leads to a /dev/pts entry that is gone).
  // NoPermission: the open is refused to this user. Busy: another program
  // holds it (flock refused, or exclusive mode refusing the open). Console:
  // the device is a system console (decided from its device number, without
  // opening it), unless consoles are allowed.
  PortStatus Status(int n) override;
  // Exclusive (TIOCEXCL and flock, which holds for root too and follows
  // symbolic links), not the controlling terminal, non-blocking, raw 8-bit:
  // no byte translated, no echo, no signals, receiver on, modem status lines
  // ignored, hardware and software flow control off, 8 data bits without
  // parity; the rate and the stop bits stay as the driver holds them. The
  // driver is asked for low latency (a driver that does not know the request
  // opens all the same). A system console is refused unopened unless
  // consoles are allowed.
  std::unique_ptr<SerialPort> Open(int n) override;
  // The table's path for n, as given.
  std::string DevicePath(int n) override;

  const PortTable &Table() const { return FPorts; }

private:
  // A system console that this platform must leave alone.
  bool IsRefusedConsole(dev_t device) const;

  PortTable FPorts;
  ConsoleAccess FConsoles;
  PosixPortSeams FSeams;
};
