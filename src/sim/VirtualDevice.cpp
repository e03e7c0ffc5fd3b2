#include "sim/VirtualDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr std::chrono::milliseconds kResyncGap{50};
constexpr size_t kMinFrame = 6;
constexpr int kBitsPerByte = 11; // start, 8 data, 2 stop
constexpr std::chrono::milliseconds kHangupGrace{1000};
constexpr std::chrono::milliseconds kHangupCheck{5};

[[noreturn]] void ThrowErrno(const std::string &what) {
  throw std::system_error(errno, std::generic_category(), what);
}

uint8_t ByteSum(const std::vector<uint8_t> &bytes) {
  return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

void CloseFd(int &fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

} // namespace

std::string HexBytes(const std::vector<uint8_t> &bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (uint8_t b : bytes) {
    if (!text.empty()) {
      text += ' ';
    }
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

std::string CommandName(uint8_t command) {
  switch (command) {
  case 0:
    return "AddressQuery";
  case kCommandIdentify:
    return "Identify";
  case kCommandFinish:
    return "Finish";
  case kCommandWriteBlock:
    return "WriteBlock";
  case kCommandWritePage:
    return "WritePage";
  default:
    return "Command" + std::to_string(command);
  }
}

VirtualDevice::VirtualDevice(DeviceOptions options)
    : options_(std::move(options)), random_(options_.Seed) {
  pageBuffer_.fill(0xFF);
}

VirtualDevice::~VirtualDevice() {
  Stop();
}

void VirtualDevice::Start() {
  if (!slavePath_.empty() || thread_.joinable() || stopRequested_) {
    throw std::logic_error("a virtual device starts only once");
  }
  started_ = Clock::now();
  try {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
      ThrowErrno("posix_openpt");
    }
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      ThrowErrno("grantpt/unlockpt");
    }
    char name[256] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) {
      ThrowErrno("ptsname");
    }
    slavePath_ = name;
    // Held open for the whole run: the host may close and reopen its side,
    // and the master must not see a hang-up in between. Raw at once, so no
    // byte of the host is ever echoed or translated by the terminal driver.
    slaveHold_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveHold_ < 0) {
      ThrowErrno("open " + slavePath_);
    }
    termios tio{};
    if (::tcgetattr(slaveHold_, &tio) != 0) {
      ThrowErrno("tcgetattr");
    }
    ::cfmakeraw(&tio);
    if (::tcsetattr(slaveHold_, TCSANOW, &tio) != 0) {
      ThrowErrno("tcsetattr");
    }
    int flags = ::fcntl(master_, F_GETFL);
    if (flags < 0 || ::fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
      ThrowErrno("fcntl");
    }
    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
      ThrowErrno("pipe2");
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];

    if (!options_.LogPath.empty()) {
      // "e": close-on-exec, like every descriptor the device holds.
      logFile_.reset(std::fopen(options_.LogPath.c_str(), "we"));
      if (!logFile_) {
        ThrowErrno("cannot write the log " + options_.LogPath);
      }
    }
    if (!options_.LinkPath.empty()) {
      struct stat st {};
      if (::lstat(options_.LinkPath.c_str(), &st) == 0) {
        // A link left by an earlier run (dangling, or to some pseudo-terminal)
        // is replaced; a file or a link to a real port is someone else's.
        if (!S_ISLNK(st.st_mode)) {
          throw std::runtime_error(options_.LinkPath + " exists and is not a symbolic link");
        }
        char target[256] = {};
        const ssize_t length = ::readlink(options_.LinkPath.c_str(), target, sizeof target - 1);
        struct stat pointed {};
        const bool dangling = ::stat(options_.LinkPath.c_str(), &pointed) != 0;
        const bool toPty = length > 0 && std::string(target).rfind("/dev/pts/", 0) == 0;
        if (!dangling && !toPty) {
          throw std::runtime_error(options_.LinkPath + " links to " + target +
                                   "; it is not replaced");
        }
        if (::unlink(options_.LinkPath.c_str()) != 0) {
          ThrowErrno("cannot replace " + options_.LinkPath);
        }
      }
      if (::symlink(slavePath_.c_str(), options_.LinkPath.c_str()) != 0) {
        ThrowErrno("cannot make the link " + options_.LinkPath);
      }
      linkMade_ = true;
    }
  } catch (...) {
    CloseFds();
    logFile_.reset();
    throw;
  }
  if (options_.HangupAfter && *options_.HangupAfter == 0) {
    HangUp();
  }
  // The device thread must not take the program's SIGINT/SIGTERM.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  thread_ = std::thread(&VirtualDevice::Run, this);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void VirtualDevice::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  if (wakeWrite_ >= 0) {
    const char b = 1;
    [[maybe_unused]] auto n = ::write(wakeWrite_, &b, 1);
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  CloseFds();
  if (linkMade_) {
    // Only our own link: another run may have taken the name meanwhile.
    char target[256] = {};
    ssize_t n = ::readlink(options_.LinkPath.c_str(), target, sizeof target - 1);
    if (n >= 0 && slavePath_ == std::string(target, static_cast<size_t>(n))) {
      ::unlink(options_.LinkPath.c_str());
    }
    linkMade_ = false;
  }
  std::lock_guard lock(mutex_);
  logFile_.reset();
  changed_.notify_all();
}

void VirtualDevice::CloseFds() {
  CloseFd(master_);
  CloseFd(slaveHold_);
  CloseFd(wakeRead_);
  CloseFd(wakeWrite_);
}

std::string VirtualDevice::SlavePath() const {
  return slavePath_;
}

VirtualDevice::Clock::duration VirtualDevice::ByteTime() const {
  if (options_.PaceBaud == 0) {
    return Clock::duration::zero();
  }
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(int64_t{kBitsPerByte} * 1'000'000'000 / options_.PaceBaud));
}

void VirtualDevice::Run() {
  // Bytes leave when the wire model says, not up to the default 50 us later:
  // the device must add no delay of its own to what the line takes.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const auto gap = std::max<Clock::duration>(kResyncGap, 2 * ByteTime());
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopRequested_) {
        return;
      }
    }
    auto now = Clock::now();
    if (master_ >= 0 && !outBlocked_) {
      FlushDue(now);
    }
    if (hangupPending_ && out_.empty() && master_ >= 0 && ReplyTakenOrOverdue(now)) {
      HangUp();
    }
    {
      std::lock_guard lock(mutex_);
      const bool idle = out_.empty();
      bool changed = idle != outputIdle_;
      if (finishPending_ && idle) {
        finishPending_ = false;
        finishAnswered_ = true;
        changed = true;
      }
      if (changed) {
        outputIdle_ = idle;
        changed_.notify_all();
      }
    }

    std::optional<Clock::time_point> deadline;
    if (!out_.empty() && !outBlocked_) {
      size_t count = 0;
      deadline.emplace();
      NextHandover(out_.begin(), *deadline, count);
    }
    if (hangupPending_ && master_ >= 0) {
      auto check = now + kHangupCheck;
      deadline = deadline ? std::min(*deadline, check) : check;
    }
    if (!partial_.empty()) {
      auto resync = lastRead_ + gap + std::chrono::milliseconds(1);
      deadline = deadline ? std::min(*deadline, resync) : resync;
    }
    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {master_, POLLIN, 0}};
    nfds_t count = 1;
    if (master_ >= 0) {
      if (outBlocked_) {
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
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    if (count == 2) {
      if (fds[1].revents & POLLOUT) {
        outBlocked_ = false;
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
  ssize_t n = ::read(master_, buffer, sizeof buffer);
  if (n <= 0) {
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      ::usleep(10'000);
    }
    return;
  }
  // The host sends again only once it has read the reply: the moment to go,
  // before anything of the new request is taken.
  if (hangupPending_ && out_.empty()) {
    HangUp();
    return;
  }
  auto now = Clock::now();
  for (ssize_t i = 0; i < n; ++i) {
    OnByte(buffer[i], now);
  }
}

void VirtualDevice::OnByte(uint8_t byte, Clock::time_point readTime) {
  // A byte has arrived once the line has carried all of it: one byte time
  // after the line was free, which is when it was written (read here) or when
  // the byte before it had arrived, whichever is later.
  auto arrival = readTime;
  if (options_.PaceBaud != 0) {
    arrival = std::max(readTime, lastArrival_) + ByteTime();
  }
  lastArrival_ = arrival;
  if (options_.Echo) {
    out_.emplace(arrival, byte);
  }
  DropPartialIfStale(readTime);
  lastRead_ = readTime;
  if (partial_.empty() && byte < kMinFrame) {
    std::lock_guard lock(mutex_);
    ++ignoredFrames_;
    AddLogLocked(true, {byte}, "ignored: length byte below 6");
    return;
  }
  partial_.push_back(byte);
  if (partial_.size() == partial_[0]) {
    std::vector<uint8_t> frame;
    frame.swap(partial_);
    HandleFrame(frame, arrival);
  }
}

void VirtualDevice::DropPartialIfStale(Clock::time_point now) {
  if (partial_.empty()) {
    return;
  }
  const auto gap = std::max<Clock::duration>(kResyncGap, 2 * ByteTime());
  if (now - lastRead_ <= gap) {
    return;
  }
  std::lock_guard lock(mutex_);
  ++discardedPartials_;
  AddLogLocked(true, partial_, "discarded: pause inside the frame");
  partial_.clear();
}

void VirtualDevice::HandleFrame(const std::vector<uint8_t> &frame, Clock::time_point lastArrival) {
  std::lock_guard lock(mutex_);
  requests_.push_back(frame);
  // Waiters see the frame only together with what it put on the line.
  struct IdleOnExit {
    VirtualDevice &device;
    ~IdleOnExit() {
      device.outputIdle_ = device.out_.empty();
      device.changed_.notify_all();
    }
  } idleOnExit{*this};
  if (ByteSum(frame) != 0) {
    ++ignoredFrames_;
    AddLogLocked(true, frame, "ignored: checksum");
    return;
  }
  const bool isQuery =
      frame.size() == kMinFrame && frame[1] == 0 && frame[2] == 0 && frame[3] == 0 && frame[4] == 0;
  if (!isQuery && frame[1] != kDeviceAddress) {
    ++ignoredFrames_;
    AddLogLocked(true, frame, "ignored: address " + std::to_string(frame[1]));
    return;
  }
  const uint32_t number = ++acceptedFrames_;
  const uint8_t command = frame[4];
  ++commandCounts_[command];
  const uint32_t occurrence = ++occurrences_[command];

  std::string note = CommandName(command) + " #" + std::to_string(number);
  bool silent = false;
  if (command == kCommandIdentify && !isQuery && ++identifyPolls_ <= options_.SilentPolls) {
    silent = true;
    note += ", silent poll";
  }
  if (options_.NoReply && options_.NoReply->Command == command &&
      (options_.NoReply->Occurrence == 0 ||
       (occurrence >= options_.NoReply->Occurrence &&
        occurrence - options_.NoReply->Occurrence < options_.NoReply->Count))) {
    silent = true;
    note += ", no reply";
  }
  if (options_.HangupAfter && number >= *options_.HangupAfter) {
    hangupPending_ = true;
  }

  // One draw per rate per accepted frame, so a seed gives the same faults on
  // the same traffic.
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const bool busyDraw = options_.BusyRate > 0.0 && unit(random_) < options_.BusyRate;
  const bool damageDraw = options_.DamageRate > 0.0 && unit(random_) < options_.DamageRate;
  const bool busy =
      !silent && (busyDraw || options_.BusyFrames.count(number) != 0 ||
                  (options_.BusyBurstLength > 0 && number >= options_.BusyBurstStart &&
                   number - options_.BusyBurstStart < options_.BusyBurstLength));
  const bool damaged = damageDraw || options_.DamageFrames.count(number) != 0;

  uint8_t status = kStatusBusy;
  std::vector<uint8_t> data;
  if (busy) {
    note += ", busy";
  } else {
    status = isQuery ? kStatusOk : Execute(frame, data, note);
    if (status == kStatusOk && !isQuery && options_.StatusIsCommandCode) {
      status = command;
    }
  }
  AddLogLocked(true, frame, note, lastArrival);
  if (silent) {
    return;
  }

  std::vector<uint8_t> reply(kMinFrame + data.size());
  reply[0] = static_cast<uint8_t>(reply.size());
  reply[1] = kDeviceAddress;
  reply[2] = 0x01;
  reply[3] = 0x00;
  reply[4] = status;
  std::copy(data.begin(), data.end(), reply.begin() + 5);
  reply.back() = static_cast<uint8_t>(0x100 - ByteSum(reply));
  std::string replyNote = CommandName(command) + " #" + std::to_string(number) + " reply";
  if (damaged) {
    ++reply.back();
    replyNote += ", checksum damaged";
  }
  auto start = lastArrival;
  if (options_.PaceBaud == 0) {
    start = std::max(start, Clock::now());
  }
  if (command == kCommandWritePage && !busy && !isQuery) {
    start += std::chrono::milliseconds(options_.WriteDelayMs);
  }
  AddLogLocked(false, reply, replyNote, start);
  for (size_t j = 0; j < reply.size(); ++j) {
    auto at = options_.PaceBaud == 0
                  ? start
                  : start + static_cast<Clock::duration::rep>(j + 1) * ByteTime();
    out_.emplace(at, reply[j]);
  }
}

uint8_t VirtualDevice::Execute(const std::vector<uint8_t> &frame, std::vector<uint8_t> &data,
                               std::string &note) {
  const uint8_t command = frame[4];
  const std::vector<uint8_t> payload(frame.begin() + 5, frame.end() - 1);
  auto refuse = [&](uint8_t status, const std::string &why) {
    ++rejectedCommands_;
    note += ", refused: " + why;
    return status;
  };
  switch (command) {
  case kCommandIdentify:
    data = {static_cast<uint8_t>(options_.DeviceCode & 0xFF),
            static_cast<uint8_t>(options_.DeviceCode >> 8),
            options_.DataByte2,
            options_.DataByte3,
            options_.DataByte4,
            options_.DataByte5};
    data.insert(data.end(), options_.ResetVector.begin(), options_.ResetVector.end());
    return kStatusOk;
  case kCommandWriteBlock: {
    if (payload.size() != 1 + kBlockBytes) {
      return refuse(kStatusRefused, "payload of " + std::to_string(payload.size()) + " bytes");
    }
    const uint8_t index = payload[0];
    if (index >= kBlocksPerPage) {
      return refuse(kStatusRefused, "block index " + std::to_string(index));
    }
    if (pageCommitted_) {
      // A new page begins: missing blocks of it show as erased memory.
      pageBuffer_.fill(0xFF);
      blockArrived_.fill(false);
      pageCommitted_ = false;
    }
    std::copy(payload.begin() + 1, payload.end(), pageBuffer_.begin() + index * kBlockBytes);
    blockArrived_[index] = true;
    note += ", block " + std::to_string(index);
    return kStatusOk;
  }
  case kCommandWritePage: {
    if (payload.size() != 3) {
      return refuse(kStatusRefused, "payload of " + std::to_string(payload.size()) + " bytes");
    }
    const uint32_t address = payload[0] | (payload[1] << 8) | (payload[2] << 16);
    if (address % kPageAddressStep != 0) {
      return refuse(kStatusRefused, "address " + std::to_string(address) + " off a page boundary");
    }
    note += ", page " + std::to_string(address / kPageAddressStep + 1);
    if (!std::all_of(blockArrived_.begin(), blockArrived_.end(), [](bool b) { return b; })) {
      ++incompletePages_;
      note += ", blocks missing";
    }
    pages_[address].assign(pageBuffer_.begin(), pageBuffer_.end());
    // The buffer stays until the next WriteBlock: a WritePage sent again
    // because its reply was lost writes the same page again, as the host's
    // retry means it to.
    pageCommitted_ = true;
    return kStatusOk;
  }
  case kCommandFinish:
    finishReceived_ = true;
    finishPending_ = true;
    return kStatusOk;
  default:
    return refuse(kStatusUnknownCommand, "unknown command");
  }
}

void VirtualDevice::NextHandover(std::multimap<Clock::time_point, uint8_t>::const_iterator first,
                                 Clock::time_point &at, size_t &count) const {
  at = first->first;
  count = 1;
  if (options_.AdapterLatencyMs == 0) {
    return;
  }
  // Full when its last byte arrives, else when the latency timer runs out.
  const auto timerEnd = first->first + std::chrono::milliseconds(options_.AdapterLatencyMs);
  auto it = std::next(first);
  while (count < kAdapterPacketBytes && it != out_.end() && it->first <= timerEnd) {
    ++count;
    ++it;
  }
  at = count == kAdapterPacketBytes ? std::prev(it)->first : timerEnd;
}

void VirtualDevice::FlushDue(Clock::time_point now) {
  std::vector<uint8_t> due;
  for (auto it = out_.cbegin(); it != out_.cend();) {
    Clock::time_point at;
    size_t count = 0;
    NextHandover(it, at, count);
    if (at > now) {
      break;
    }
    for (; count > 0; --count, ++it) {
      due.push_back(it->second);
    }
  }
  if (due.empty()) {
    return;
  }
  ssize_t n = ::write(master_, due.data(), due.size());
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      outBlocked_ = true;
      return;
    }
    if (errno == EINTR) {
      return;
    }
    n = static_cast<ssize_t>(due.size()); // the line is gone: the bytes are lost
  } else if (static_cast<size_t>(n) < due.size()) {
    outBlocked_ = true;
  }
  out_.erase(out_.begin(), std::next(out_.begin(), n));
}

bool VirtualDevice::ReplyTakenOrOverdue(Clock::time_point now) {
  // Closing the master at once would flush the last reply before the host
  // could read it: wait until the host has taken what is queued for it (seen
  // queued, then seen empty), or give up after a grace period.
  if (!hangupSince_) {
    hangupSince_ = now;
  }
  int queued = 0;
  if (::ioctl(slaveHold_, FIONREAD, &queued) == 0) {
    if (queued > 0) {
      sawQueued_ = true;
    } else if (sawQueued_) {
      return true;
    }
  }
  return now - *hangupSince_ >= kHangupGrace;
}

void VirtualDevice::HangUp() {
  // Under the lock, so HungUp() is true by the time the host can see it.
  std::lock_guard lock(mutex_);
  CloseFd(master_);
  CloseFd(slaveHold_);
  out_.clear();
  partial_.clear();
  hungUp_ = true;
  hangupPending_ = false;
  AddLogLocked(false, {}, "hang-up");
  changed_.notify_all();
}

void VirtualDevice::AddLogLocked(bool fromHost, const std::vector<uint8_t> &bytes,
                                 const std::string &note, std::optional<Clock::time_point> at) {
  FrameRecord record;
  record.TimeMs =
      std::chrono::duration<double, std::milli>(at.value_or(Clock::now()) - started_).count();
  record.FromHost = fromHost;
  record.Bytes = bytes;
  record.Note = note;
  if (logFile_) {
    std::fprintf(logFile_.get(), "%12.3f ms  %s  %-40s %s\n", record.TimeMs,
                 fromHost ? "host->dev" : "dev->host", note.c_str(), HexBytes(bytes).c_str());
    std::fflush(logFile_.get());
  }
  log_.push_back(std::move(record));
}

std::map<uint32_t, std::vector<uint8_t>> VirtualDevice::Pages() const {
  std::lock_guard lock(mutex_);
  return pages_;
}

std::vector<uint8_t> VirtualDevice::MemoryImage() const {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> image;
  if (pages_.empty()) {
    return image;
  }
  const size_t highestPage = pages_.rbegin()->first / kPageAddressStep + 1;
  image.assign(highestPage * kPageBytes, 0xFF);
  for (const auto &[address, bytes] : pages_) {
    std::copy(bytes.begin(), bytes.end(),
              image.begin() + (address / kPageAddressStep) * kPageBytes);
  }
  return image;
}

void VirtualDevice::WriteMemory(const std::string &path) const {
  const auto image = MemoryImage();
  std::FILE *file = std::fopen(path.c_str(), "wbe");
  // An empty memory is an empty file; fwrite must not see a null buffer.
  const bool written =
      file && (image.empty() || std::fwrite(image.data(), 1, image.size(), file) == image.size());
  if (!file || std::fclose(file) != 0 || !written) {
    throw std::runtime_error("cannot write the memory file " + path);
  }
}

uint32_t VirtualDevice::CommandCount(uint8_t command) const {
  std::lock_guard lock(mutex_);
  auto it = commandCounts_.find(command);
  return it == commandCounts_.end() ? 0 : it->second;
}

bool VirtualDevice::FinishReceived() const {
  std::lock_guard lock(mutex_);
  return finishReceived_;
}

std::vector<std::vector<uint8_t>> VirtualDevice::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<FrameRecord> VirtualDevice::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

uint32_t VirtualDevice::AcceptedFrames() const {
  std::lock_guard lock(mutex_);
  return acceptedFrames_;
}

uint32_t VirtualDevice::IgnoredFrames() const {
  std::lock_guard lock(mutex_);
  return ignoredFrames_;
}

uint32_t VirtualDevice::DiscardedPartials() const {
  std::lock_guard lock(mutex_);
  return discardedPartials_;
}

uint32_t VirtualDevice::RejectedCommands() const {
  std::lock_guard lock(mutex_);
  return rejectedCommands_;
}

uint32_t VirtualDevice::IncompletePages() const {
  std::lock_guard lock(mutex_);
  return incompletePages_;
}

bool VirtualDevice::HungUp() const {
  std::lock_guard lock(mutex_);
  return hungUp_;
}

bool VirtualDevice::WaitForFinish(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return finishReceived_ && finishAnswered_; });
}

bool VirtualDevice::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&] { return requests_.size() >= count && (outputIdle_ || hungUp_); });
}

} // namespace sim
