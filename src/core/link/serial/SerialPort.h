// The platform seam of the serial port: one small abstract class per open
// port, and a platform object that probes and opens ports by number.
//
// The backend is chosen by the build (PosixSerialPort.cpp or
// Win32SerialPort.cpp); nothing above this header knows which one runs.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

// The line-settings record, with the codes of the Windows DCB fields.
struct LineSettings {
  uint32_t BaudRate = 0;
  uint8_t ByteSize = 8; // data bits
  uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
};

// Result of one non-blocking read.
enum class ReadResult {
  Byte,   // one byte was read
  None,   // nothing has arrived yet
  HungUp, // the device is gone (unplugged adapter, closed pseudo-terminal)
};

// One open port. Every call returns at once (Write: once every byte is handed
// to the driver); failures are answered with false and never thrown.
class SerialPort {
public:
  virtual ~SerialPort() = default;

  // GetCommState / SetCommState: the whole record, read or written.
  virtual bool GetState(LineSettings &settings) = 0;
  virtual bool SetState(const LineSettings &settings) = 0;
  // SetupComm: driver queue sizes, in bytes.
  virtual bool SetQueues(uint32_t inputBytes, uint32_t outputBytes) = 0;
  // SetCommTimeouts: a read returns at once with what has come; writes have no
  // time-out.
  virtual bool SetReadsReturnAtOnce() = 0;
  // EscapeCommFunction.
  virtual bool SetDTR() = 0;
  virtual bool SetRTS() = 0;
  virtual bool ClearRTS() = 0;
  // PurgeComm.
  virtual bool PurgeInput() = 0;
  virtual bool PurgeOutput() = 0;

  // Reads at most one byte, never blocking.
  virtual ReadResult ReadByte(uint8_t &byte) = 0;
  // Writes all `count` bytes; answers false when the device refused them.
  virtual bool Write(const uint8_t *data, size_t count) = 0;
  // Waits until a byte can be read, the device hangs up, or `milliseconds`
  // have passed, whichever comes first. Lets a polling loop wait without
  // spinning. A backend may also return sooner without data: callers loop on
  // their own clock.
  virtual void WaitReadable(int milliseconds) = 0;
  // While a frame comes in: waits until `count` more bytes can be read, or
  // for `longest` at most, so that the rest of the frame is taken in one
  // wake-up instead of one per byte. The default sleeps for `longest`, which
  // the caller keeps short of the bytes' line time; a backend that can wait
  // for a byte count ends the wait at the last byte instead.
  virtual void WaitForBytes(size_t count, std::chrono::microseconds longest) {
    (void)count;
    std::this_thread::sleep_for(longest);
  }
};

// What a port number names at this moment, for listing ports to a person and
// for saying why one cannot be opened.
enum class PortStatus {
  Absent,       // names no device: no entry, no such path, a UART without hardware
  Free,         // present and could be opened now
  Busy,         // present, but another program holds it
  NoPermission, // present, but this user may not open it (not in its group)
  NotTerminal,  // names something that is not a terminal: a file, a folder, a FIFO
  HungUp,       // a pseudo-terminal whose other side has closed
  Console,      // present, but the system console: the kernel writes its messages
                // there and a login prompt may read it; never probed or opened
};

// Free, Busy, NoPermission and Console: a port that is there, whether or not
// it can be opened now.
inline bool IsPresent(PortStatus status) {
  return status == PortStatus::Free || status == PortStatus::Busy ||
         status == PortStatus::NoPermission || status == PortStatus::Console;
}

// Whether a port that is the system console may be opened. Refused, it is
// not free: the scan passes it over and Open refuses it without touching it.
// Allowed is for a person who names that port and means it.
enum class ConsoleAccess { Refused, Allowed };

// Probes and opens ports COM1 ... COM32 by number.
class SerialPlatform {
public:
  virtual ~SerialPlatform() = default;
  // True exactly when port n exists and could be opened at this moment. The
  // probe neither reads nor writes.
  virtual bool Probe(int n) = 0;
  // Opens port n for reading and writing, exclusively, raw 8-bit; nullptr when
  // the platform refuses.
  virtual std::unique_ptr<SerialPort> Open(int n) = 0;
  // What port n names on this machine (a device path), for showing beside
  // "COMn"; empty when n names nothing.
  virtual std::string DevicePath(int n) = 0;
  // Present and free, present and held elsewhere, or absent.
  virtual PortStatus Status(int n) {
    if (Probe(n))
      return PortStatus::Free;
    return DevicePath(n).empty() ? PortStatus::Absent : PortStatus::Busy;
  }
};

// Puts back the settings that every port still open had before this program
// opened it (a terminal left raw would stay so after the program). The ports'
// own close does this; this is for a program that must end at once, from a
// signal handler, where no destructor runs: it is async-signal-safe.
void RestoreOpenPortSettings() noexcept;

// The platform of this build, with its default port naming.
std::shared_ptr<SerialPlatform>
DefaultSerialPlatform(ConsoleAccess consoles = ConsoleAccess::Refused);
// The platform of this build with one port only: COM1 names `devicePath`.
std::shared_ptr<SerialPlatform>
SerialPlatformForDevice(const std::string &devicePath,
                        ConsoleAccess consoles = ConsoleAccess::Refused);
