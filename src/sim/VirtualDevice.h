// The virtual device: a bootloader emulated on a pseudo-terminal, with faults
// on demand, and optionally a fixture that boards come and go in.
//
// It implements the device side of the bootloader's framing on its own (it
// shares no code with the link), so a framing mistake of the host cannot be
// mirrored here and hidden. The host opens SlavePath() (or the link made to
// it) like any serial port.
//
// The parts, each in its own file: Framing (frames, checksum, address rules,
// replies), Memory (pages, block buffer, memory file), Faults, Pacing (the
// wire and the adapter), Fixture (boards in and out) and PseudoTerminal (the
// pair and its link). This class holds the device thread and its event loop
// and ties the parts together. DeviceOptions.h says what each option does and
// how frames are numbered.
#pragma once

#include "sim/DeviceOptions.h"
#include "sim/Faults.h"
#include "sim/Fixture.h"
#include "sim/Framing.h"
#include "sim/Memory.h"
#include "sim/Pacing.h"
#include "sim/PseudoTerminal.h"

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

// One board of the fixture and what it received; times in ms since Start.
struct BoardRecord {
  uint32_t Number = 0; // from 1
  bool Rejected = false;
  bool Present = false;
  double InMs = 0.0;
  std::optional<double> OutMs;
  std::optional<double> FirstAnswerMs;    // its first Identify answer
  std::optional<double> FinishAnsweredMs; // its Finish carried out and answered
  uint32_t Frames = 0;                    // accepted while it was in
  uint32_t FramesAfterFinish = 0;         // of those, after its Finish
  std::map<uint8_t, uint32_t> CommandCounts;
  PageMap Pages;
};

class VirtualDevice {
public:
  explicit VirtualDevice(DeviceOptions options = {});
  // Stops the device if it runs.
  ~VirtualDevice();
  VirtualDevice(const VirtualDevice &) = delete;
  VirtualDevice &operator=(const VirtualDevice &) = delete;

  // Opens the pseudo-terminal pair (slave side raw at once, and held open so
  // the host may close and reopen it), makes the link and the log, puts the
  // first board in (unless it comes later) and starts the device thread.
  // Throws std::runtime_error / std::system_error on failure, leaving nothing
  // behind. Only one Start per object.
  void Start();
  // Stops the thread, closes the pseudo-terminal, removes the link (if it still
  // points at this device), and writes the memory file of a fixture's board
  // still in. Replies not yet sent are dropped. Idempotent.
  void Stop();

  // The slave side's path for the host, e.g. /dev/pts/7. Valid after Start.
  std::string SlavePath() const;

  // What the device received. All of these may be called from any thread
  // while the device runs.

  // Written program memory: page address ((p-1)*1024 for page p) -> 1536
  // bytes, exactly the pages that WritePage committed. In a fixture, those of
  // the latest board (in, or the last one out); none before the first.
  PageMap Pages() const;
  // The flat image of Pages(): page p at bytes (p-1)*1536 ... p*1536-1, as
  // long as the highest written page, unwritten bytes 0xFF. Empty when no page
  // came.
  std::vector<uint8_t> MemoryImage() const;
  // Writes MemoryImage() to `path`; throws std::runtime_error on failure.
  void WriteMemory(const std::string &path) const;

  // The counts below are of the whole run, over every board.
  // Accepted requests of this command code, answered or not.
  uint32_t CommandCount(uint8_t command) const;
  // A Finish has been carried out.
  bool FinishReceived() const;
  // Every complete request frame, byte for byte, in order of arrival, whether
  // accepted or ignored, and whether a board was in or not.
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

  // The fixture. Without one, board 1 is in from Start and never leaves.
  // Every board that has been in so far, from board 1.
  std::vector<BoardRecord> Boards() const;
  uint32_t BoardsSoFar() const;
  // The number of the board in; 0 while none is.
  uint32_t PresentBoard() const;
  // Board `board`'s memory as MemoryImage(); empty for a board not yet in.
  std::vector<uint8_t> BoardMemoryImage(uint32_t board) const;
  // Every board of a fixture has been in and is out again.
  bool FixtureDone() const;
  // Memory files of boards (FixtureOptions::MemoryOut) that could not be
  // written, one message each.
  std::vector<std::string> MemoryFileErrors() const;

  // Wait for the device thread, without spinning. Each answers whether the
  // condition holds at return.
  // Finish received and its reply (if any) written.
  bool WaitForFinish(std::chrono::milliseconds timeout) const;
  // At least `count` complete request frames received and all output written.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
  // Board `board` has been put in (and perhaps taken out again) / taken out
  // (its memory file written).
  bool WaitForBoardIn(uint32_t board, std::chrono::milliseconds timeout) const;
  bool WaitForBoardOut(uint32_t board, std::chrono::milliseconds timeout) const;

private:
  using Clock = std::chrono::steady_clock;

  void Run();
  void ReadInput();
  void OnByte(uint8_t byte, Clock::time_point readTime);
  void DropPartialIfStale(Clock::time_point now);
  void HandleFrame(const std::vector<uint8_t> &frame, Clock::time_point lastArrival);
  // Carries out an accepted request to `board`; answers its status and data.
  // Appends to `note` what became of it.
  uint8_t Execute(Board &board, const std::vector<uint8_t> &frame, std::vector<uint8_t> &data,
                  std::string &note);
  void FlushDue(Clock::time_point now);
  bool ReplyTakenOrOverdue(Clock::time_point now);
  void HangUp();
  void CloseFds();
  // Callers hold FMutex.
  void AdvanceFixtureLocked(Clock::time_point now);
  void WriteBoardMemoryLocked(const Board &board);
  void AddLogLocked(bool fromHost, const std::vector<uint8_t> &bytes, const std::string &note,
                    std::optional<Clock::time_point> at = std::nullopt);
  double SinceStart(Clock::time_point at) const;
  const Board *BoardLocked(uint32_t number) const;

  const DeviceOptions FOptions;
  PseudoTerminal FTerminal;
  int FWakeRead = -1;
  int FWakeWrite = -1;
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
  Fixture FFixture;
  bool FStopRequested = false;
  bool FStopped = false; // a Stop has ended
  bool FHungUp = false;
  bool FFinishReceived = false;
  bool FFinishAnswered = false;
  bool FOutputIdle = true;
  std::map<uint8_t, uint32_t> FCommandCounts;
  std::vector<std::vector<uint8_t>> FRequests;
  std::vector<FrameRecord> FLog;
  std::vector<std::string> FMemoryFileErrors;
  uint32_t FAcceptedFrames = 0;
  uint32_t FIgnoredFrames = 0;
  uint32_t FDiscardedPartials = 0;
  uint32_t FRejectedCommands = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE *)> FLogFile{nullptr, &std::fclose};
};

} // namespace sim
