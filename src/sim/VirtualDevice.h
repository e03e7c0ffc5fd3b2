// The virtual device: a bootloader emulated on a pseudo-terminal, with faults
// on demand.
//
// It implements the device side of the bootloader's framing on its own (it
// shares no code with the link), so a framing mistake of the host cannot be
// mirrored here and hidden. The host opens SlavePath() (or the link made to
// it) like any serial port.
//
// Request frames: length N, address, 01 00, command, parameters, checksum; the
// bytes sum to 0 modulo 256. The device answers address 251 and the address
// query 06 00 00 00 00 FA; frames to other addresses, frames that do not sum
// to 0 and length bytes below 6 get no reply. A pause of more than 50 ms (or
// two byte times at the pace baud, if longer) inside a frame discards the
// partial frame.
//
// Replies: length L, 251, 01 00, status, data, checksum. Status 0 is success
// (or the command code, with StatusIsCommandCode), 0xFF busy, 0x01 a refused
// request (a WriteBlock index above 11, a payload of the wrong length, a
// WritePage address that is not a page boundary) and 0x02 an unknown command.
// The host accepts every status but 0xFF, so a refusal is seen only here:
// RejectedCommands() counts them.
//
// Frame numbers: every frame the device accepts (sums to 0, addressed to it or
// the address query) gets the next number, from 1, whether it is answered or
// not. The busy, damage and hang-up faults count these numbers.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sim {

constexpr uint8_t kDeviceAddress = 251;
constexpr uint8_t kCommandIdentify = 1;
constexpr uint8_t kCommandFinish = 6;
constexpr uint8_t kCommandWriteBlock = 10;
constexpr uint8_t kCommandWritePage = 20;
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusRefused = 0x01;
constexpr uint8_t kStatusUnknownCommand = 0x02;
constexpr uint8_t kStatusBusy = 0xFF;
constexpr size_t kPageBytes = 1536;
constexpr size_t kBlockBytes = 128;
constexpr size_t kBlocksPerPage = 12;
constexpr uint32_t kPageAddressStep = 1024;
// Data bytes in one USB packet of an FTDI-type adapter (64, less 2 of status).
constexpr size_t kAdapterPacketBytes = 62;

// No reply to one command code: to every occurrence (Occurrence 0) or only to
// Count occurrences from its Occurrence-th on (counted from 1). The request is
// carried out; only its reply is withheld (a lost reply, or a bootloader that
// leaves after Finish).
struct NoReplyFault {
  uint8_t Command = 0;
  uint32_t Occurrence = 0;
  uint32_t Count = 1;
};

struct DeviceOptions {
  // Identify reply data: device code (2 bytes, low first), bytes 2 to 5, and
  // the six reset-vector bytes.
  uint16_t DeviceCode = 97;
  uint8_t DataByte2 = 0;
  uint8_t DataByte3 = 0;
  uint8_t DataByte4 = 0x30;
  uint8_t DataByte5 = 0;
  // GOTO 0x000200, NOP: easy to spot in a dump.
  std::array<uint8_t, 6> ResetVector = {0x04, 0x02, 0x00, 0x00, 0x00, 0x00};

  // Answer a request carried out with its command code as the status byte,
  // not 0, as some bootloaders do. A command without parameters is then
  // answered with a frame equal to its request: Finish 06 FB 01 00 06 F8.
  bool StatusIsCommandCode = false;

  // Return every received byte to the host before the reply (the two-wire
  // RS-485 line returns the sender's own bytes).
  bool Echo = true;
  // Bits per second for the wire model; 0 sends at once. A byte takes 11 bits
  // (start, 8 data, 2 stop): byte k (from 0) of a request written at once
  // counts as arrived 11*(k+1)/B after it was read, its echo goes back as it
  // arrives, and the reply starts after the last byte has arrived (plus
  // WriteDelayMs), its byte j arriving 11*(j+1)/B after that. Deadlines are
  // absolute, so the pace does not drift, and the device thread sleeps with
  // no timer slack, so it adds no delay of its own.
  uint32_t PaceBaud = 0;
  // Extra time the device takes before answering WritePage.
  uint32_t WriteDelayMs = 0;
  // The host's side seen through a USB serial adapter that holds what it
  // receives: the bytes the device sends (its echo too) reach the host in
  // packets of up to kAdapterPacketBytes, each handed over when full or
  // AdapterLatencyMs after its first byte came off the line, as the common
  // adapter chips do with their latency timer (16 ms unless the driver asks
  // for low latency). 0: every byte reaches the host as it arrives.
  uint32_t AdapterLatencyMs = 0;

  // A symbolic link to the slave side, made by Start and removed by Stop.
  // An old link there is replaced when it is dangling or leads to a
  // pseudo-terminal; Start refuses any other file. Empty: none.
  std::string LinkPath;
  // The frame log; empty: none.
  std::string LogPath;

  // Faults. Frame numbers as in the header comment. A busy frame is not
  // carried out; a damaged reply is (only its checksum is off by one).
  std::set<uint32_t> BusyFrames;   // answer these frames with status 0xFF
  double BusyRate = 0.0;           // probability of a busy reply per frame
  uint32_t BusyBurstStart = 0;     // frames BusyBurstStart ... +BusyBurstLength-1
  uint32_t BusyBurstLength = 0;    // are busy; length 0: no burst
  std::set<uint32_t> DamageFrames; // reply checksum off by one for these frames
  double DamageRate = 0.0;         // probability of a damaged reply per frame
  uint32_t SilentPolls = 0;        // the first N Identify requests get no reply
  std::optional<NoReplyFault> NoReply;
  // Close the pseudo-terminal (an unplugged adapter) once the reply to frame N
  // has gone out and the host has read it (seen as its queue emptying, or as
  // the host sending again, whose bytes are then not taken), or 1 s after it
  // went out if the host does not read; 0: at once in Start.
  std::optional<uint32_t> HangupAfter;
  // Seeds the one generator behind every random fault, so runs repeat.
  uint32_t Seed = 1;
};

// One line of what the device saw and did, in order.
struct FrameRecord {
  double TimeMs = 0.0; // since Start
  bool FromHost = true;
  std::vector<uint8_t> Bytes;
  std::string Note; // the command's name and what became of the frame
};

class VirtualDevice {
public:
  explicit VirtualDevice(DeviceOptions options = {});
  // Stops the device if it runs.
  ~VirtualDevice();
  VirtualDevice(const VirtualDevice &) = delete;
  VirtualDevice &operator=(const VirtualDevice &) = delete;

  // Opens the pseudo-terminal pair (slave side raw at once, and held open so
  // the host may close and reopen it), makes the link and the log, and starts
  // the device thread. Throws std::runtime_error / std::system_error on
  // failure, leaving nothing behind. Only one Start per object.
  void Start();
  // Stops the thread, closes the pseudo-terminal, removes the link (if it still
  // points at this device). Replies not yet sent are dropped. Idempotent.
  void Stop();

  // The slave side's path for the host, e.g. /dev/pts/7. Valid after Start.
  std::string SlavePath() const;

  // What the device received. All of these may be called from any thread
  // while the device runs.

  // Written program memory: page address ((p-1)*1024 for page p) -> 1536
  // bytes, exactly the pages that WritePage committed.
  std::map<uint32_t, std::vector<uint8_t>> Pages() const;
  // The flat image: page p at bytes (p-1)*1536 ... p*1536-1, as long as the
  // highest written page, unwritten bytes 0xFF. Empty when no page came.
  std::vector<uint8_t> MemoryImage() const;
  // Writes MemoryImage() to `path`; throws std::runtime_error on failure.
  void WriteMemory(const std::string &path) const;

  // Accepted requests of this command code, answered or not.
  uint32_t CommandCount(uint8_t command) const;
  bool FinishReceived() const;
  // Every complete request frame, byte for byte, in order of arrival, whether
  // accepted or ignored.
  std::vector<std::vector<uint8_t>> Requests() const;
  // The frame log kept in memory (the same lines as the log file).
  std::vector<FrameRecord> Log() const;
  // Frames numbered so far (see the header comment).
  uint32_t AcceptedFrames() const;
  // Complete frames that got no reply for being malformed or not for us.
  uint32_t IgnoredFrames() const;
  // Partial frames dropped after a pause inside them.
  uint32_t DiscardedPartials() const;
  // Requests answered with a refusal status (0x01, 0x02).
  uint32_t RejectedCommands() const;
  // WritePage commands that committed a page whose 12 blocks had not all
  // arrived since the page began (the first WriteBlock after a WritePage).
  uint32_t IncompletePages() const;
  // True once the hang-up fault has closed the pseudo-terminal.
  bool HungUp() const;

  // Wait for the device thread, without spinning. Each answers whether the
  // condition holds at return.
  // Finish received and its reply (if any) written.
  bool WaitForFinish(std::chrono::milliseconds timeout) const;
  // At least `count` complete request frames received and all output written.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;

private:
  using Clock = std::chrono::steady_clock;

  void Run();
  void ReadInput();
  void OnByte(uint8_t byte, Clock::time_point readTime);
  void DropPartialIfStale(Clock::time_point now);
  void HandleFrame(const std::vector<uint8_t> &frame, Clock::time_point lastArrival);
  // Carries out an accepted request; answers its status and data.
  // Appends to `note` what became of it.
  uint8_t Execute(const std::vector<uint8_t> &frame, std::vector<uint8_t> &data, std::string &note);
  // When the bytes of out_ from `first` on next reach the host, and how many
  // of them go then: one at its arrival, or a packet of the adapter model.
  void NextHandover(std::multimap<Clock::time_point, uint8_t>::const_iterator first,
                    Clock::time_point &at, size_t &count) const;
  void FlushDue(Clock::time_point now);
  bool ReplyTakenOrOverdue(Clock::time_point now);
  void HangUp();
  void CloseFds();
  // Callers hold mutex_.
  void AddLogLocked(bool fromHost, const std::vector<uint8_t> &bytes, const std::string &note,
                    std::optional<Clock::time_point> at = std::nullopt);
  Clock::duration ByteTime() const;

  const DeviceOptions options_;
  std::string slavePath_;
  int master_ = -1;
  int slaveHold_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  bool linkMade_ = false;
  std::thread thread_;
  Clock::time_point started_;

  // Device-thread state.
  std::vector<uint8_t> partial_;
  Clock::time_point lastRead_{};
  Clock::time_point lastArrival_{};
  std::multimap<Clock::time_point, uint8_t> out_;
  bool outBlocked_ = false;
  std::mt19937 random_;
  std::array<uint8_t, kPageBytes> pageBuffer_{};
  std::array<bool, kBlocksPerPage> blockArrived_{};
  bool pageCommitted_ = false; // WritePage since the last WriteBlock
  uint32_t identifyPolls_ = 0;
  std::map<uint8_t, uint32_t> occurrences_;
  bool hangupPending_ = false;
  std::optional<Clock::time_point> hangupSince_;
  bool sawQueued_ = false;
  bool finishPending_ = false;

  // Shared with the query methods, under mutex_.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopRequested_ = false;
  bool hungUp_ = false;
  bool finishReceived_ = false;
  bool finishAnswered_ = false;
  bool outputIdle_ = true;
  std::map<uint32_t, std::vector<uint8_t>> pages_;
  std::map<uint8_t, uint32_t> commandCounts_;
  std::vector<std::vector<uint8_t>> requests_;
  std::vector<FrameRecord> log_;
  uint32_t acceptedFrames_ = 0;
  uint32_t ignoredFrames_ = 0;
  uint32_t discardedPartials_ = 0;
  uint32_t rejectedCommands_ = 0;
  uint32_t incompletePages_ = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> logFile_{nullptr, &std::fclose};
};

// Hex bytes separated by spaces, upper case: "06 FB 01 00 01 FD".
std::string HexBytes(const std::vector<uint8_t> &bytes);
// The name of a command code for logs ("Identify", "WriteBlock", ...).
std::string CommandName(uint8_t command);

} // namespace sim
