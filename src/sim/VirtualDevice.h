// The virtual device: a bootloader emulated on a pseudo-terminal, with faults
// on demand.
//
// It implements the device side of the bootloader's framing on its own (it
// shares no code with the link), so a framing mistake of the host cannot be
// mirrored here and hidden. The host opens SlavePath() (or the link made to
// it) like any serial port. The parts, each in its own file: Framing (frames,
// checksum, address rules, replies), Memory (pages, block buffer, memory
// file), Faults and Pacing (the wire and the adapter); this class holds the
// pseudo-terminal and the device thread and ties them together. DeviceOptions.h says what each
// option does and how frames are numbered.
#pragma once

#include "sim/DeviceOptions.h"
#include "sim/Faults.h"
#include "sim/Framing.h"
#include "sim/Memory.h"
#include "sim/Pacing.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sim {

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
  // the device thread. Throws std::runtime_error / std::system_error on failure, leaving nothing
  // behind. Only one Start per object.
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
  PageMap Pages() const;
  // The flat image of Pages(): page p at bytes (p-1)*1536 ... p*1536-1, as
  // long as the highest written page, unwritten bytes 0xFF. Empty when no page
  // came.
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
  // Frames numbered so far (see DeviceOptions.h).
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
  void FlushDue(Clock::time_point now);
  bool ReplyTakenOrOverdue(Clock::time_point now);
  void HangUp();
  void CloseFds();
  // Callers hold FMutex.
  void AddLogLocked(bool fromHost, const std::vector<uint8_t> &bytes, const std::string &note,
                    std::optional<Clock::time_point> at = std::nullopt);
  double SinceStart(Clock::time_point at) const;

  const DeviceOptions FOptions;
  std::string FSlavePath;
  int FMaster = -1;
  int FSlaveHold = -1;
  int FWakeRead = -1;
  int FWakeWrite = -1;
  bool FLinkMade = false;
  std::thread FThread;
  Clock::time_point FStarted;

  // Device-thread state.
  Pacing FPacing;
  FrameAssembler FFrames;
  Faults FFaults;
  bool FOutBlocked = false;
  bool FHangupPending = false;
  std::optional<Clock::time_point> FHangupSince;
  bool FSawQueued = false;
  bool FFinishPending = false;

  // Shared with the query methods, under FMutex.
  mutable std::mutex FMutex;
  mutable std::condition_variable FChanged;
  ProgramMemory FMemory;
  bool FStopRequested = false;
  bool FHungUp = false;
  bool FFinishReceived = false;
  bool FFinishAnswered = false;
  bool FOutputIdle = true;
  std::map<uint8_t, uint32_t> FCommandCounts;
  std::vector<std::vector<uint8_t>> FRequests;
  std::vector<FrameRecord> FLog;
  uint32_t FAcceptedFrames = 0;
  uint32_t FIgnoredFrames = 0;
  uint32_t FDiscardedPartials = 0;
  uint32_t FRejectedCommands = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> FLogFile{nullptr, &std::fclose};
};

} // namespace sim
