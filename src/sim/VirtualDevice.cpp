#include "sim/VirtualDevice.h"

#include "sim/PosixCalls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr std::chrono::milliseconds kHangupGrace{1000};
constexpr std::chrono::milliseconds kHangupCheck{5};

void Sooner(std::optional<std::chrono::steady_clock::time_point> &deadline,
            std::optional<std::chrono::steady_clock::time_point> candidate) {
  if (candidate && (!deadline || *candidate < *deadline)) {
    deadline = candidate;
  }
}

} // namespace

VirtualDevice::VirtualDevice(DeviceOptions options)
    : FOptions(std::move(options)), FPacing(FOptions), FFrames(FPacing.ResyncGap()),
      FFaults(FOptions), FFixture(FOptions.Fixture) {}

VirtualDevice::~VirtualDevice() {
  Stop();
}

void VirtualDevice::Start() {
  if (!FTerminal.SlavePath().empty() || FThread.joinable() || FStopRequested) {
    throw std::logic_error("a virtual device starts only once");
  }
  FStarted = Clock::now();
  try {
    FTerminal.Open();
    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
      ThrowErrno("pipe2");
    }
    FWakeRead = wake[0];
    FWakeWrite = wake[1];

    if (!FOptions.LogPath.empty()) {
      // "e": close-on-exec, like every descriptor the device holds.
      FLogFile.reset(std::fopen(FOptions.LogPath.c_str(), "we"));
      if (!FLogFile) {
        ThrowErrno("cannot write the log " + FOptions.LogPath);
      }
    }
    if (!FOptions.LinkPath.empty()) {
      FTerminal.MakeLink(FOptions.LinkPath);
    }
  } catch (...) {
    CloseFds();
    FLogFile.reset();
    throw;
  }
  {
    std::lock_guard lock(FMutex);
    FFixture.Begin(FStarted);
    AdvanceFixtureLocked(FStarted);
  }
  if (FOptions.HangupAfter && *FOptions.HangupAfter == 0) {
    HangUp();
  }
  // The device thread must not take the program's SIGINT/SIGTERM.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  FThread = std::thread(&VirtualDevice::Run, this);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void VirtualDevice::Stop() {
  {
    std::lock_guard lock(FMutex);
    FStopRequested = true;
  }
  if (FWakeWrite >= 0) {
    const char b = 1;
    [[maybe_unused]] auto n = ::write(FWakeWrite, &b, 1);
  }
  if (FThread.joinable()) {
    FThread.join();
  }
  CloseFds();
  std::lock_guard lock(FMutex);
  const Board *board = FFixture.Present();
  if (board && FFixture.IsFixture() && !FStopped) {
    WriteBoardMemoryLocked(*board);
  }
  FStopped = true;
  FLogFile.reset();
  FChanged.notify_all();
}

void VirtualDevice::CloseFds() {
  FTerminal.Close();
  CloseFd(FWakeRead);
  CloseFd(FWakeWrite);
}

std::string VirtualDevice::SlavePath() const {
  return FTerminal.SlavePath();
}

double VirtualDevice::SinceStart(Clock::time_point at) const {
  return std::chrono::duration<double, std::milli>(at - FStarted).count();
}

void VirtualDevice::Run() {
  // Bytes leave when the wire model says, not up to the default 50 us later:
  // the device must add no delay of its own to what the line takes.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  for (;;) {
    auto now = Clock::now();
    std::optional<Clock::time_point> fixtureChange;
    {
      std::lock_guard lock(FMutex);
      if (FStopRequested) {
        return;
      }
      AdvanceFixtureLocked(now);
      fixtureChange = FFixture.NextChange();
    }
    if (FTerminal.Master() >= 0 && !FOutBlocked) {
      FlushDue(now);
    }
    if (FHangupPending && FPacing.Idle() && FTerminal.Master() >= 0 && ReplyTakenOrOverdue(now)) {
      HangUp();
    }
    {
      std::lock_guard lock(FMutex);
      const bool idle = FPacing.Idle();
      bool changed = idle != FOutputIdle;
      if (FFinishPending && idle) {
        FFinishPending = false;
        FFinishAnswered = true;
        FFixture.FinishAnswered(now);
        fixtureChange = FFixture.NextChange();
        changed = true;
      }
      if (changed) {
        FOutputIdle = idle;
        FChanged.notify_all();
      }
    }

    std::optional<Clock::time_point> deadline;
    if (!FOutBlocked) {
      deadline = FPacing.NextHandover();
    }
    if (FHangupPending && FTerminal.Master() >= 0) {
      Sooner(deadline, now + kHangupCheck);
    }
    if (FFrames.HasPartial()) {
      Sooner(deadline, FFrames.StaleAfter() + std::chrono::milliseconds(1));
    }
    Sooner(deadline, fixtureChange);
    pollfd fds[2] = {{FWakeRead, POLLIN, 0}, {FTerminal.Master(), POLLIN, 0}};
    nfds_t count = 1;
    if (FTerminal.Master() >= 0) {
      if (FOutBlocked) {
        fds[1].events |= POLLOUT;
      }
      count = 2;
    }
    timespec ts{};
    timespec *timeout = nullptr;
    if (deadline) {
      auto wait = std::max<Clock::duration>(*deadline - Clock::now(), Clock::duration::zero());
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      timeout = &ts;
    }
    int ready = ::ppoll(fds, count, timeout, nullptr);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      // Nothing sensible to do but not spin.
      ::usleep(10'000);
      continue;
    }
    if (fds[0].revents & POLLIN) {
      char drain[16];
      while (::read(FWakeRead, drain, sizeof drain) > 0) {
      }
    }
    if (count == 2) {
      if (fds[1].revents & POLLOUT) {
        FOutBlocked = false;
      }
      if (fds[1].revents & POLLIN) {
        ReadInput();
      } else {
        // Only on real silence: bytes already waiting were in time, however
        // late this thread got to them.
        DropPartialIfStale(Clock::now());
      }
      if (!(fds[1].revents & POLLIN) && (fds[1].revents & (POLLHUP | POLLERR))) {
        // Cannot happen while we hold the slave side; never spin on it.
        ::usleep(10'000);
      }
    }
  }
}

void VirtualDevice::ReadInput() {
  uint8_t buffer[512];
  ssize_t n = ::read(FTerminal.Master(), buffer, sizeof buffer);
  if (n <= 0) {
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      ::usleep(10'000);
    }
    return;
  }
  // The host sends again only once it has read the reply: the moment to go,
  // before anything of the new request is taken.
  if (FHangupPending && FPacing.Idle()) {
    HangUp();
    return;
  }
  auto now = Clock::now();
  for (ssize_t i = 0; i < n; ++i) {
    OnByte(buffer[i], now);
  }
}

void VirtualDevice::OnByte(uint8_t byte, Clock::time_point readTime) {
  const auto arrival = FPacing.Arrival(readTime);
  if (FOptions.Echo) {
    FPacing.Echo(arrival, byte);
  }
  DropPartialIfStale(readTime);
  std::vector<uint8_t> frame;
  switch (FFrames.Add(byte, readTime, frame)) {
  case FrameAssembler::Step::Partial:
    break;
  case FrameAssembler::Step::LengthTooLow: {
    std::lock_guard lock(FMutex);
    ++FIgnoredFrames;
    AddLogLocked(true, {byte}, "ignored: length byte below 6");
    break;
  }
  case FrameAssembler::Step::FrameComplete:
    HandleFrame(frame, arrival);
    break;
  }
}

void VirtualDevice::DropPartialIfStale(Clock::time_point now) {
  const auto dropped = FFrames.DropIfStale(now);
  if (dropped.empty()) {
    return;
  }
  std::lock_guard lock(FMutex);
  ++FDiscardedPartials;
  AddLogLocked(true, dropped, "discarded: pause inside the frame");
}

void VirtualDevice::HandleFrame(const std::vector<uint8_t> &frame, Clock::time_point lastArrival) {
  std::lock_guard lock(FMutex);
  FRequests.push_back(frame);
  // Waiters see the frame only together with what it put on the line.
  struct IdleOnExit {
    VirtualDevice &Device;
    ~IdleOnExit() {
      Device.FOutputIdle = Device.FPacing.Idle();
      Device.FChanged.notify_all();
    }
  } idleOnExit{*this};
  const FrameKind kind = ClassifyFrame(frame);
  if (kind == FrameKind::BadChecksum) {
    ++FIgnoredFrames;
    AddLogLocked(true, frame, "ignored: checksum");
    return;
  }
  if (kind == FrameKind::OtherAddress) {
    ++FIgnoredFrames;
    AddLogLocked(true, frame, "ignored: address " + std::to_string(frame[1]));
    return;
  }
  Board *board = FFixture.Present();
  if (!board) {
    AddLogLocked(true, frame, "no board in the fixture");
    return;
  }
  const std::string boardName =
      FFixture.IsFixture() ? "board " + std::to_string(board->Number) + ": " : "";
  if (!FFixture.Answers()) {
    AddLogLocked(true, frame, boardName + "runs its program");
    return;
  }
  const bool isQuery = kind == FrameKind::AddressQuery;
  const uint32_t number = ++board->Frames;
  ++FAcceptedFrames;
  const uint8_t command = frame[4];
  ++FCommandCounts[command];
  ++board->CommandCounts[command];
  if (board->FinishDone) {
    ++board->FramesAfterFinish;
  }

  std::string note = boardName + CommandName(command) + " #" + std::to_string(number);
  const FaultDecision fault = FFaults.Decide(number, command, isQuery);
  note += fault.Note;
  FHangupPending = FHangupPending || fault.HangUp;

  uint8_t status = kStatusBusy;
  std::vector<uint8_t> data;
  if (!fault.Busy) {
    status = isQuery ? kStatusOk : Execute(*board, frame, data, note);
    if (status == kStatusOk && !isQuery && FOptions.StatusIsCommandCode) {
      status = command;
    }
  }
  AddLogLocked(true, frame, note, lastArrival);
  if (fault.Silent) {
    return;
  }
  if (command == kCommandIdentify && !isQuery && !fault.Busy) {
    FFixture.IdentifyAnswered(Clock::now());
  }

  const std::vector<uint8_t> reply = BuildReply(status, data, fault.Damaged);
  std::string replyNote =
      boardName + CommandName(command) + " #" + std::to_string(number) + " reply";
  if (fault.Damaged) {
    replyNote += ", checksum damaged";
  }
  const auto start =
      FPacing.ReplyStart(lastArrival, command == kCommandWritePage && !fault.Busy && !isQuery);
  AddLogLocked(false, reply, replyNote, start);
  FPacing.Reply(start, reply);
}

uint8_t VirtualDevice::Execute(Board &board, const std::vector<uint8_t> &frame,
                               std::vector<uint8_t> &data, std::string &note) {
  const uint8_t command = frame[4];
  const std::vector<uint8_t> payload(frame.begin() + 5, frame.end() - 1);
  uint8_t status = kStatusOk;
  switch (command) {
  case kCommandIdentify: {
    const uint16_t code =
        board.Rejected ? FOptions.Fixture.RejectedDeviceCode : FOptions.DeviceCode;
    data = {static_cast<uint8_t>(code & 0xFF),
            static_cast<uint8_t>(code >> 8),
            FOptions.DataByte2,
            FOptions.DataByte3,
            FOptions.DataByte4,
            FOptions.DataByte5};
    data.insert(data.end(), FOptions.ResetVector.begin(), FOptions.ResetVector.end());
    break;
  }
  case kCommandWriteBlock:
    status = board.Memory.WriteBlock(payload, note);
    break;
  case kCommandWritePage:
    status = board.Memory.WritePage(payload, note);
    break;
  case kCommandFinish:
    FFinishReceived = true;
    FFinishPending = true;
    board.FinishDone = true;
    break;
  default:
    status = kStatusUnknownCommand;
    note += ", refused: unknown command";
    break;
  }
  if (status != kStatusOk) {
    ++FRejectedCommands;
  }
  return status;
}

void VirtualDevice::FlushDue(Clock::time_point now) {
  const std::vector<uint8_t> due = FPacing.Due(now);
  if (due.empty()) {
    return;
  }
  ssize_t n = ::write(FTerminal.Master(), due.data(), due.size());
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      FOutBlocked = true;
      return;
    }
    if (errno == EINTR) {
      return;
    }
    n = static_cast<ssize_t>(due.size()); // the line is gone: the bytes are lost
  } else if (static_cast<size_t>(n) < due.size()) {
    FOutBlocked = true;
  }
  FPacing.Handed(static_cast<size_t>(n));
}

bool VirtualDevice::ReplyTakenOrOverdue(Clock::time_point now) {
  // Closing the master at once would flush the last reply before the host
  // could read it: wait until the host has taken what is queued for it (seen
  // queued, then seen empty), or give up after a grace period.
  if (!FHangupSince) {
    FHangupSince = now;
  }
  if (const auto queued = FTerminal.QueuedForHost()) {
    if (*queued > 0) {
      FSawQueued = true;
    } else if (FSawQueued) {
      return true;
    }
  }
  return now - *FHangupSince >= kHangupGrace;
}

void VirtualDevice::HangUp() {
  // Under the lock, so HungUp() is true by the time the host can see it.
  std::lock_guard lock(FMutex);
  FTerminal.HangUp();
  FPacing.Clear();
  FFrames.Clear();
  FHungUp = true;
  FHangupPending = false;
  FFixture.Hold();
  AddLogLocked(false, {}, "hang-up");
  FChanged.notify_all();
}

void VirtualDevice::AdvanceFixtureLocked(Clock::time_point now) {
  const auto changes = FFixture.Advance(now);
  for (const Fixture::Change &change : changes) {
    const Board &board = FFixture.Boards()[change.Board - 1];
    if (change.In) {
      FFaults.NewBoard(board.Number);
    } else {
      WriteBoardMemoryLocked(board);
    }
    if (FFixture.IsFixture()) {
      const std::string name = "board " + std::to_string(board.Number);
      AddLogLocked(false, {},
                   change.In ? name + " in, memory erased" + (board.Rejected ? ", rejected" : "")
                             : name + " out",
                   change.In ? board.In : *board.Out);
    }
  }
  if (!changes.empty()) {
    FChanged.notify_all();
  }
}

void VirtualDevice::WriteBoardMemoryLocked(const Board &board) {
  if (FOptions.Fixture.MemoryOut.empty()) {
    return;
  }
  const std::string path = FOptions.Fixture.MemoryOut + "." + std::to_string(board.Number);
  try {
    WriteMemoryFile(path, FlatImage(board.Memory.Pages()));
  } catch (const std::exception &e) {
    FMemoryFileErrors.emplace_back(e.what());
    AddLogLocked(false, {}, e.what());
  }
}

void VirtualDevice::AddLogLocked(bool fromHost, const std::vector<uint8_t> &bytes,
                                 const std::string &note, std::optional<Clock::time_point> at) {
  FrameRecord record;
  record.TimeMs = SinceStart(at.value_or(Clock::now()));
  record.FromHost = fromHost;
  record.Bytes = bytes;
  record.Note = note;
  if (FLogFile) {
    std::fprintf(FLogFile.get(), "%12.3f ms  %s  %-40s %s\n", record.TimeMs,
                 fromHost ? "host->dev" : "dev->host", note.c_str(), HexBytes(bytes).c_str());
    std::fflush(FLogFile.get());
  }
  FLog.push_back(std::move(record));
}

const Board *VirtualDevice::BoardLocked(uint32_t number) const {
  const auto &boards = FFixture.Boards();
  return number >= 1 && number <= boards.size() ? &boards[number - 1] : nullptr;
}

PageMap VirtualDevice::Pages() const {
  std::lock_guard lock(FMutex);
  const auto &boards = FFixture.Boards();
  return boards.empty() ? PageMap{} : boards.back().Memory.Pages();
}

std::vector<uint8_t> VirtualDevice::MemoryImage() const {
  return FlatImage(Pages());
}

void VirtualDevice::WriteMemory(const std::string &path) const {
  WriteMemoryFile(path, MemoryImage());
}

uint32_t VirtualDevice::CommandCount(uint8_t command) const {
  std::lock_guard lock(FMutex);
  auto it = FCommandCounts.find(command);
  return it == FCommandCounts.end() ? 0 : it->second;
}

bool VirtualDevice::FinishReceived() const {
  std::lock_guard lock(FMutex);
  return FFinishReceived;
}

std::vector<std::vector<uint8_t>> VirtualDevice::Requests() const {
  std::lock_guard lock(FMutex);
  return FRequests;
}

std::vector<FrameRecord> VirtualDevice::Log() const {
  std::lock_guard lock(FMutex);
  return FLog;
}

uint32_t VirtualDevice::AcceptedFrames() const {
  std::lock_guard lock(FMutex);
  return FAcceptedFrames;
}

uint32_t VirtualDevice::IgnoredFrames() const {
  std::lock_guard lock(FMutex);
  return FIgnoredFrames;
}

uint32_t VirtualDevice::DiscardedPartials() const {
  std::lock_guard lock(FMutex);
  return FDiscardedPartials;
}

uint32_t VirtualDevice::RejectedCommands() const {
  std::lock_guard lock(FMutex);
  return FRejectedCommands;
}

uint32_t VirtualDevice::IncompletePages() const {
  std::lock_guard lock(FMutex);
  uint32_t total = 0;
  for (const Board &board : FFixture.Boards()) {
    total += board.Memory.IncompletePages();
  }
  return total;
}

bool VirtualDevice::HungUp() const {
  std::lock_guard lock(FMutex);
  return FHungUp;
}

std::vector<BoardRecord> VirtualDevice::Boards() const {
  std::lock_guard lock(FMutex);
  const auto ms = [this](const std::optional<Clock::time_point> &at) {
    return at ? std::optional<double>(SinceStart(*at)) : std::nullopt;
  };
  std::vector<BoardRecord> records;
  for (const Board &board : FFixture.Boards()) {
    BoardRecord &r = records.emplace_back();
    r.Number = board.Number;
    r.Rejected = board.Rejected;
    r.Present = !board.Out;
    r.InMs = SinceStart(board.In);
    r.OutMs = ms(board.Out);
    r.FirstAnswerMs = ms(board.FirstAnswer);
    r.FinishAnsweredMs = ms(board.FinishAnswered);
    r.Frames = board.Frames;
    r.FramesAfterFinish = board.FramesAfterFinish;
    r.CommandCounts = board.CommandCounts;
    r.Pages = board.Memory.Pages();
  }
  return records;
}

uint32_t VirtualDevice::BoardsSoFar() const {
  std::lock_guard lock(FMutex);
  return static_cast<uint32_t>(FFixture.Boards().size());
}

uint32_t VirtualDevice::PresentBoard() const {
  std::lock_guard lock(FMutex);
  const auto &boards = FFixture.Boards();
  return !boards.empty() && !boards.back().Out ? boards.back().Number : 0;
}

std::vector<uint8_t> VirtualDevice::BoardMemoryImage(uint32_t board) const {
  std::lock_guard lock(FMutex);
  const Board *found = BoardLocked(board);
  return found ? FlatImage(found->Memory.Pages()) : std::vector<uint8_t>{};
}

bool VirtualDevice::FixtureDone() const {
  std::lock_guard lock(FMutex);
  return FFixture.Done();
}

std::vector<std::string> VirtualDevice::MemoryFileErrors() const {
  std::lock_guard lock(FMutex);
  return FMemoryFileErrors;
}

bool VirtualDevice::WaitForFinish(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(FMutex);
  return FChanged.wait_for(lock, timeout, [this] { return FFinishReceived && FFinishAnswered; });
}

bool VirtualDevice::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(FMutex);
  return FChanged.wait_for(lock, timeout,
                           [&] { return FRequests.size() >= count && (FOutputIdle || FHungUp); });
}

bool VirtualDevice::WaitForBoardIn(uint32_t board, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(FMutex);
  return FChanged.wait_for(lock, timeout, [&] { return BoardLocked(board) != nullptr; });
}

bool VirtualDevice::WaitForBoardOut(uint32_t board, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(FMutex);
  return FChanged.wait_for(lock, timeout, [&] {
    const Board *found = BoardLocked(board);
    return found && found->Out;
  });
}

} // namespace sim
