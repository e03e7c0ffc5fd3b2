#include "link/Zor_RS232.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link/Priority.h"
#include "runtime/Exceptions.h"
#include "runtime/Hooks.h"

const char *const SNoLink = "RS232. Нет связи. Проверьте правильность соединения PC и устройства.";
const char *const SInterByteDelay = "RS232. Ошибка задержки приема внутри блока.";
const char *const SExchangeError = "RS232. Ошибка обмена.";
const char *const SDeviceBusy =
    "Устройство занято. Возможно, оно находится в режиме местного управления.";
const char *const SOnlyOneDevice = "ТОЛЬКО ОДНО устройство, подключенное к СОМ-порту, должно быть "
                                   "включено. Это действительно так?";
const char *const SRS232Caption = "RS232";
const char *const SPortNumberMenu = "Номер СОМ-порта";

namespace {
// With a user interface, the link lets it handle its messages this often
// while it waits or pauses, and no more often: often enough for a window that
// answers at once, seldom enough to cost almost no CPU. The port still wakes
// the link at the first byte.
constexpr uint64_t kPumpIntervalMs = 6;
// The same wait when no user interface is installed (the command line).
constexpr int kWaitWithoutUiMs = 1000;
// The fewest bits a byte takes on the line (start, 8 data, one stop), whatever
// the device's framing: no byte comes sooner than that after the one before.
// Counted in half bits, as one and a half stop bits are.
constexpr int64_t kMinHalfBitsPerByte = 20;
// Kept in hand when sleeping while a frame comes in, for a sleep that wakes late.
constexpr std::chrono::microseconds kSleepMargin{200};

// While a frame comes in, the bytes after the one awaited need their time on
// the line before the frame can end. Sleeping for most of that time, instead
// of waking for each byte as it comes, takes several bytes per wake-up and
// ends the frame no later.
std::chrono::microseconds TimeToCollect(int index, int length, uint32_t baudRate,
                                        int64_t halfBitsPerByte) {
  const int bytesAfter = length - 1 - index;
  if (index == 0 || baudRate == 0 || bytesAfter <= 0)
    return {};
  const std::chrono::microseconds lineTime(bytesAfter * halfBitsPerByte * 500'000 / baudRate);
  return lineTime - kSleepMargin;
}

// The attempt's failure for a port that answered a read with HungUp: how the
// port was lost, where that tells a person something more than a hang-up.
AttemptFailure FailureOfPort(const PortError &error) {
  switch (error.Fault) {
  case PortFault::InputOutput:
    return AttemptFailure::IoError;
  case PortFault::Permission:
    return AttemptFailure::NoPermission;
  default:
    return AttemptFailure::HungUp;
  }
}

// Restores RTS and the priority on every way out of the echo reception.
class RtsAndPriorityGuard {
public:
  explicit RtsAndPriorityGuard(TZor_RS &link) : FLink(link) {
    FLink.SetRTS();
    RaisePriority();
  }
  ~RtsAndPriorityGuard() {
    FLink.ClearRTS();
    RestorePriority();
  }
  RtsAndPriorityGuard(const RtsAndPriorityGuard &) = delete;
  RtsAndPriorityGuard &operator=(const RtsAndPriorityGuard &) = delete;

private:
  TZor_RS &FLink;
};
} // namespace

TZor_RS::TZor_RS(TMenuItem *primaryMenu, TMenuItem *secondaryMenu,
                 std::shared_ptr<SerialPlatform> platform, LinkClock *clock)
    : TZor_RS_Base(primaryMenu, secondaryMenu, std::move(platform)),
      FClock(clock ? *clock : SystemClock()) {
  BaudRate = 115200;
  ByteSize = 8;
  Parity = kParityNone;
  StopBits = kTwoStopBits;
  Caption = SRS232Caption;
  ShowInPrimaryMenu = true;
  ShowInSecondaryMenu = false;
  BuildMenus();
  if (primaryMenu)
    AddMenuCommand(SPortNumberMenu, "(None)", kPortNumberMenuHelpContext, [this] { ChoosePort(); });
  ReplyTimeout = kDefaultReplyTimeoutMs;
  InterByteTimeout = kDefaultInterByteTimeoutMs;
  DeviceName = "RS232";
}

void TZor_RS::SetLineMode(uint8_t mode) {
  LineMode = mode <= 2 ? mode : 0;
}

void TZor_RS::PutOctet(uint8_t value) {
  PutByte(value);
}

uint8_t TZor_RS::GetOctet() {
  return GetByte();
}

std::string TZor_RS::GetString() {
  std::string text;
  for (uint8_t c = GetByte(); c != 0; c = GetByte())
    text.push_back(static_cast<char>(c));
  return text;
}

void TZor_RS::BeginCommand(uint8_t address, uint8_t command) {
  BeginFrame();
  PutByte(address);
  PutWord(1);
  PutByte(command);
}

void TZor_RS::SendCommand(uint8_t address, uint8_t command) {
  BeginCommand(address, command);
  Execute();
}

void TZor_RS::Execute() {
  EndFrame();
  ++Statistics.Exchanges;
  if (LineMode != 0)
    Pause(kPauseBeforeFirstAttemptMs);
  for (int attempt = 1;; ++attempt) {
    FFailure.reset();
    FEchoWrongLength = false;
    FPortFailureNoted = false;
    ++Statistics.Attempts;
    try {
      Transact();
      ReadIndex = kReplyDataIndex;
      return;
    } catch (...) {
      const AttemptFailure failure = FailureOfAttempt();
      ++Statistics.FailedAttempts[static_cast<size_t>(failure)];
      if (attempt == kAttempts)
        ++Statistics.FailedExchanges;
      if (AttemptFailed)
        AttemptFailed(OutBuffer[4], failure, attempt);
      if (attempt == kAttempts)
        throw;
    }
    Pause(kPauseAfterFailedAttemptMs);
  }
}

AttemptFailure TZor_RS::FailureOfAttempt() const {
  // Whatever followed an echo of the wrong length was read out of step.
  if (FEchoWrongLength)
    return AttemptFailure::WrongLength;
  return FFailure.value_or(AttemptFailure::Other);
}

void TZor_RS::NotePortFailure(PortOperation operation) {
  if (!std::exchange(FPortFailureNoted, true))
    ReportPortFailure(operation);
}

void TZor_RS::Fail(AttemptFailure failure, const std::string &text) {
  FFailure = failure;
  throw Exception(text);
}

int TZor_RS::QueryAddress() {
  if (LineMode != 0 && AskYesNo(SOnlyOneDevice) != kYes)
    return -1;
  BeginFrame();
  for (int i = 0; i < 4; ++i)
    PutByte(0);
  Execute();
  return InBuffer[1];
}

void TZor_RS::Transact() {
  Transmit();
  Receive();
  if (InBuffer[1] == 0 && InBuffer[2] == 0 && InBuffer[3] == 0)
    Fail(AttemptFailure::BadHeader, std::string(SExchangeError) + "(4)");
  if (InBuffer[4] == kStatusBusy)
    Fail(AttemptFailure::Busy, SDeviceBusy);
}

void TZor_RS::Transmit() {
  std::optional<RtsAndPriorityGuard> lineTurnaround;
  if (LineMode == 2)
    lineTurnaround.emplace(*this);
  const int length = OutBuffer[0];
  FEchoBytesDue = 0;
  FEchoNotOurs = false;
  PurgeInput();
  PurgeOutput();
  FWriteStart = std::chrono::steady_clock::now();
  if (Handle && Handle->Write(OutBuffer.data(), length)) {
    Statistics.BytesSent += static_cast<uint64_t>(length);
    Trace(FrameDirection::Sent, OutBuffer.data(), length);
  } else if (Handle) {
    NotePortFailure(PortOperation::Write);
  }
  if (LineMode == 2) {
    // The half-duplex line returns our own request first: take it up and
    // drop it, whatever it turned out to be.
    FReceivingEcho = true;
    try {
      Receive();
    } catch (...) {
    }
    FReceivingEcho = false;
    // The echo's own failures are not the attempt's: only the reply's count.
    FFailure.reset();
    FEchoWrongLength = FReceivedBytes > 0 && InBuffer[0] != length;
    FEchoNotOurs = !IsPartOfRequest(InBuffer.data(), std::min(FReceivedBytes, length), 0);
    // What of the echo has not come yet will come before the reply. Taken up
    // as the reply it would pass every check (its status byte is the command
    // code), and a WriteBlock the device never answered would count as done.
    FEchoBytesDue = std::max(0, length - FReceivedBytes);
  }
}

uint32_t TZor_RS::TransmissionAllowanceMs(int32_t writeIndex, uint32_t baudRate) {
  // With no rate known there is no port either; the wait is ReplyTimeout alone.
  if (baudRate == 0 || writeIndex <= 0)
    return 0;
  return static_cast<uint32_t>(std::nearbyint(9600.0 * writeIndex / baudRate));
}

void TZor_RS::PumpIfDue() {
  const uint64_t now = FClock.TickCount();
  if (now - FLastPump < kPumpIntervalMs)
    return;
  ProcessMessages();
  FLastPump = FClock.TickCount();
}

void TZor_RS::Pause(uint32_t milliseconds) {
  if (!ProcessMessagesInstalled()) {
    FClock.Sleep(milliseconds);
    return;
  }
  // The slices add up to the whole pause: it never comes out shorter.
  for (uint32_t left = milliseconds; left > 0;) {
    PumpIfDue();
    const auto slice = static_cast<uint32_t>(std::min<uint64_t>(left, MsUntilPump()));
    FClock.Sleep(slice);
    left -= slice;
  }
  PumpIfDue();
}

uint64_t TZor_RS::MsUntilPump() {
  const uint64_t sincePump = FClock.TickCount() - FLastPump;
  return std::max<uint64_t>(1, kPumpIntervalMs - std::min(sincePump, kPumpIntervalMs));
}

bool TZor_RS::ReadByteBefore(int index, uint64_t deadline, bool pumpFirst) {
  bool collected = false;
  for (;;) {
    if (pumpFirst)
      PumpIfDue();
    ReadResult result = ReadResult::None;
    if (Handle)
      result = Handle->ReadByte(InBuffer[index]);
    if (result == ReadResult::Byte) {
      ++Statistics.BytesReceived;
      return true;
    }
    // A device that is gone will send nothing more: no reason to wait it out.
    if (result == ReadResult::HungUp) {
      NotePortFailure(PortOperation::Read);
      Fail(FailureOfPort(Handle->LastError()), SNoLink);
    }
    const uint64_t now = FClock.TickCount();
    if (!pumpFirst)
      PumpIfDue();
    if (now > deadline)
      return false;
    // With no user interface to serve, the wait may last until the deadline;
    // with one, until its next turn.
    const uint64_t longest = ProcessMessagesInstalled() ? MsUntilPump() : kWaitWithoutUiMs;
    const int wait = static_cast<int>(std::min<uint64_t>(longest, deadline - now + 1));
    if (!Handle) {
      FClock.Sleep(static_cast<uint32_t>(wait));
      continue;
    }
    // Once per byte at most: if the sleep brought nothing, the device is
    // slower than its line, and the link waits on the port as usual.
    // Our own request comes back exactly as our port frames it; a reply may
    // come with fewer stop bits than we send.
    const bool echoStart = FReceivingEcho && index == 0;
    const int length = echoStart ? OutBuffer[0] : InBuffer[0];
    const auto collect =
        echoStart ? EchoTimeLeft()
                  : TimeToCollect(index, length, BaudRate,
                                  FReceivingEcho ? HalfBitsPerByte() : kMinHalfBitsPerByte);
    if (!collected && collect.count() > 0) {
      collected = true;
      Handle->WaitForBytes(
          static_cast<size_t>(length - index),
          std::min<std::chrono::microseconds>(collect, std::chrono::milliseconds(wait)));
    } else {
      Handle->WaitReadable(wait);
    }
  }
}

std::chrono::microseconds TZor_RS::EchoTimeLeft() const {
  // Our request comes back at our port's pace: its echo cannot be whole
  // before the request's line time from the start of the write. Sleeping
  // until then takes the echo in one wake-up instead of two. A driver whose
  // write returns only once the bytes are out leaves nothing to sleep.
  if (BaudRate == 0)
    return {};
  const std::chrono::microseconds lineTime(OutBuffer[0] * HalfBitsPerByte() * 500'000 / BaudRate);
  const auto writing = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - FWriteStart);
  return lineTime - kSleepMargin - writing;
}

int64_t TZor_RS::HalfBitsPerByte() const {
  // Start bit, data bits, a parity bit unless there is none, and 1, 1.5 or 2
  // stop bits (codes 0, 1, 2).
  const int64_t halfBits = 2 * (1 + ByteSize + (Parity != 0 ? 1 : 0)) + 2 + StopBits;
  return std::max(halfBits, kMinHalfBitsPerByte);
}

void TZor_RS::SkipLateEcho(uint64_t deadline) {
  const int due = std::exchange(FEchoBytesDue, 0);
  std::vector<uint8_t> late;
  late.reserve(static_cast<size_t>(due));
  for (int i = 0; i < due; ++i) {
    if (!ReadByteBefore(0, deadline, false)) {
      Trace(FrameDirection::Echo, late.data(), late.size());
      Fail(AttemptFailure::LateEcho, SNoLink);
    }
    late.push_back(InBuffer[0]);
  }
  if (due == 0)
    return;
  Trace(FrameDirection::Echo, late.data(), late.size());
  // The skipped bytes should be the end of our request; when they are not,
  // our echo may still be on its way.
  if (!IsPartOfRequest(late.data(), due, OutBuffer[0] - due))
    FEchoNotOurs = true;
}

void TZor_RS::Receive() {
  const uint64_t firstByteDeadline =
      FClock.TickCount() + ReplyTimeout + TransmissionAllowanceMs(WriteIndex, BaudRate);
  FReceivedBytes = 0;
  // The rest of a late echo stands before the reply; the reply still has to
  // begin within the first-byte wait.
  SkipLateEcho(firstByteDeadline);
  if (!ReadByteBefore(0, firstByteDeadline, false))
    Fail(AttemptFailure::NoReply, SNoLink);
  FReceivedBytes = 1;
  if (InBuffer[0] < kMinReplyLength)
    Fail(AttemptFailure::TooShort, SNoLink);
  const int length = InBuffer[0];
  for (int i = 1; i < length; ++i) {
    if (!ReadByteBefore(i, FClock.TickCount() + InterByteTimeout, true)) {
      Trace(FReceivingEcho ? FrameDirection::Echo : FrameDirection::Received, InBuffer.data(), i);
      Fail(AttemptFailure::Gap, SInterByteDelay);
    }
    FReceivedBytes = i + 1;
  }
  Trace(FReceivingEcho ? FrameDirection::Echo : FrameDirection::Received, InBuffer.data(), length);
  if (!CheckReply())
    Fail(AttemptFailure::Checksum, std::string(SExchangeError) + "(0)");
  if (!FReceivingEcho && FEchoNotOurs && IsOurRequest())
    Fail(AttemptFailure::LateEcho, SNoLink);
}

bool TZor_RS::IsPartOfRequest(const uint8_t *bytes, int count, int from) const {
  return std::equal(bytes, bytes + count, OutBuffer.begin() + from);
}

bool TZor_RS::IsOurRequest() const {
  return InBuffer[0] == OutBuffer[0] && IsPartOfRequest(InBuffer.data(), OutBuffer[0], 0);
}

void TZor_RS::Trace(FrameDirection direction, const uint8_t *data, size_t count) {
  if (FrameTrace)
    FrameTrace(direction, data, count);
}
