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

// The port numbers n of COMn that exist: 1 ... 32.
inline constexpr int kFirstPort = 1;
inline constexpr int kMaxPort = 32;

// The codes of the Windows DCB's Parity and StopBits fields, which the
// line-settings record carries.
inline constexpr uint8_t kParityNone = 0;
inline constexpr uint8_t kParityOdd = 1;
inline constexpr uint8_t kParityEven = 2;
inline constexpr uint8_t kParityMark = 3;
inline constexpr uint8_t kParitySpace = 4;
inline constexpr uint8_t kOneStopBit = 0;
inline constexpr uint8_t kOneAndAHalfStopBits = 1;
inline constexpr uint8_t kTwoStopBits = 2;

// The line-settings record, with the codes of the Windows DCB fields.
struct LineSettings {
  uint32_t BaudRate = 0;
  uint8_t ByteSize = 8;           // data bits
  uint8_t Parity = kParityNone;   // kParityNone ... kParitySpace
  uint8_t StopBits = kOneStopBit; // kOneStopBit ... kTwoStopBits
};

// Result of one non-blocking read.
enum class ReadResult {
  Byte,   // one byte was read
  None,   // nothing has arrived yet
  HungUp, // the device is gone (unplugged adapter, closed pseudo-terminal), or
          // the system refused a read or a write for good: LastError says which
};

// What a failed port call means, as the backend reads the system's reason.
enum class PortFault : uint8_t {
  None,        // no call has failed on this port
  Gone,        // the device is gone: an unplugged adapter, a pseudo-terminal
               // whose other side has closed
  Permission,  // the system does not permit this program the call
  InputOutput, // the device or its driver reports an I/O error, and is still there
  Other,       // anything else: a setting refused, a write the driver stopped taking
};

// Why a port call failed: the system's reason, or the port's own words where
// the port itself gave up (a stalled write, a setting it cannot hold).
struct PortError {
  PortFault Fault = PortFault::None;
  int Code = 0;     // errno on POSIX, GetLastError() on Windows; 0: not the system's
  std::string Name; // the system's symbol for it: "EIO", "POLLHUP", "ERROR_ACCESS_DENIED"
  std::string Text; // the system's message (UTF-8), or the port's own words

  // "Input/output error (EIO)"; the text alone when there is no symbol.
  std::string Describe() const { return Name.empty() ? Text : Text + " (" + Name + ")"; }
};

// One open port. Every call returns at once (Write: once every byte is handed
// to the driver); failures are answered with false (a read: HungUp) and never
// thrown. A call that fails sets LastError to why; a call that succeeds
// leaves it as it was.
class SerialPort {
public:
  virtual ~SerialPort() = default;

  // GetCommState / SetCommState: the whole record, read or written.
  // GetState false: `settings` is unchanged.
  virtual bool GetState(LineSettings &settings) = 0;
  // SetState false: the port may hold part of the record (the rate but not
  // the frame); GetState tells what it holds.
  virtual bool SetState(const LineSettings &settings) = 0;
  // SetupComm: driver queue sizes, in bytes. False: the sizes stay as they were.
  virtual bool SetQueues(uint32_t inputBytes, uint32_t outputBytes) = 0;
  // SetCommTimeouts: a read returns at once with what has come; writes have no
  // time-out. False: the reads may still wait as before.
  virtual bool SetReadsReturnAtOnce() = 0;
  // EscapeCommFunction. False: the line stays as it was.
  virtual bool SetDTR() = 0;
  virtual bool SetRTS() = 0;
  virtual bool ClearRTS() = 0;
  // PurgeComm. False: what the driver holds may still be there; PurgeInput
  // drops what the port itself had taken from the driver all the same.
  virtual bool PurgeInput() = 0;
  virtual bool PurgeOutput() = 0;

  // Reads at most one byte, never blocking; `byte` is set only with Byte.
  // HungUp is final for this open: every later read answers HungUp, and
  // LastError says why until another call fails. Bytes that came before a
  // hang-up are handed out first.
  virtual ReadResult ReadByte(uint8_t &byte) = 0;
  // Writes all `count` bytes; false when they were not all handed to the
  // driver, which may have taken some of them. A write the system refused
  // ends the port as a hang-up does (the next read answers HungUp); a write
  // the port gave up itself (the driver took nothing for too long) leaves it
  // open, with LastError's Code 0.
  virtual bool Write(const uint8_t *data, size_t count) = 0;
  // Waits until a byte can be read, the device hangs up, or `milliseconds`
  // have passed, whichever comes first. Lets a polling loop wait without
  // spinning. A backend may also return sooner without data: callers loop on
  // their own clock. After a hang-up, the next read answers HungUp (with
  // LastError set by the wait or by that read).
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

  // Why the last call that failed did; Fault None while none has.
  virtual const PortError &LastError() const = 0;
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
