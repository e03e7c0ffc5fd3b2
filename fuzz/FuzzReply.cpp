// The link's reception, framing and typed reads against whatever a device may
// send. Input:
//   byte 0   line mode given to SetLineMode (low 2 bits: 3 must give 0)
//   byte 1   bit 0: the line echoes every write; bit 1: the device hangs up
//            once the script has run out
//   byte 2   ReplyTimeout / 4
//   byte 3   number of operations (low 4 bits), then one byte per operation:
//            low nibble the operation, high nibble its argument
//   rest     what the device sends, one chunk per write:
//            length, delay / 4 ms, index of a gap, gap / 2 ms, bytes
// An Exception is an answer the link may give; a crash, a sanitizer report,
// another exception, a hang or a broken promise below is a finding.
#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <typeinfo>

#include "FuzzFakes.h"
#include "link/Zor_RS232.h"
#include "runtime/Exceptions.h"

namespace {

enum Operation : uint8_t {
  kReceive,
  kTransact,
  kExecute,
  kSendCommand,
  kQueryAddress,
  kGetByte,
  kGetWord,
  kGetLong,
  kGetFloat,
  kGetString,
  kSetReadIndex,
  kSetLineMode,
  kOversizedFrame,
  kClosePortOrOpen,
  kSetReplyTimeout,
  kSetInterByteTimeout,
};

class Script {
public:
  Script(const uint8_t *data, size_t size) : Data(data), Size(size) {}

  // Queues the device's next chunk after a write.
  void NextChunk(FakeLine &line) {
    if (Position + 4 > Size) {
      line.HungUp = HangUpAtEnd;
      return;
    }
    const size_t length = Data[Position];
    const uint64_t delay = uint64_t{Data[Position + 1]} * 4;
    const size_t gapAt = Data[Position + 2];
    const uint64_t gap = uint64_t{Data[Position + 3]} * 2;
    Position += 4;
    const size_t count = std::min(length, Size - Position);
    for (size_t i = 0; i < count; ++i)
      line.Incoming.push_back(
          {line.Clock->Now + delay + (i >= gapAt ? gap : 0), Data[Position + i]});
    Position += count;
  }

  bool HangUpAtEnd = false;

private:
  const uint8_t *Data;
  size_t Size;
  size_t Position = 0;
};

bool IsRangeError(const Exception &failure) {
  return typeid(failure) == typeid(ERangeError);
}

// What a successful exchange promises about the frame in InBuffer.
void CheckReplyFrame(const TZor_RS &link) {
  const int length = link.InBuffer[0];
  FUZZ_CHECK(length >= kMinReplyLength);
  FUZZ_CHECK(ByteSum(link.InBuffer.data(), length) % 256 == 0);
}

// Where the line stood when an operation began.
struct LineMark {
  size_t Writes;
  size_t Read;
};

void CheckExchange(const TZor_RS &link, const FakeLine &line, LineMark before) {
  const size_t writesBefore = before.Writes;
  CheckReplyFrame(link);
  FUZZ_CHECK(link.ReadIndex == kReplyDataIndex);
  FUZZ_CHECK(link.InBuffer[1] != 0 || link.InBuffer[2] != 0 || link.InBuffer[3] != 0);
  FUZZ_CHECK(link.InBuffer[4] != kStatusBusy);
  // Every attempt sends the same complete frame.
  const int length = link.OutBuffer[0];
  FUZZ_CHECK(length == link.WriteIndex + 1);
  FUZZ_CHECK(ByteSum(link.OutBuffer.data(), length) % 256 == 0);
  if (link.IsOpen()) {
    FUZZ_CHECK(line.Writes.size() > writesBefore);
    FUZZ_CHECK(line.Writes.size() - writesBefore <= static_cast<size_t>(kAttempts));
    for (size_t i = writesBefore; i < line.Writes.size(); ++i)
      FUZZ_CHECK(line.Writes[i] == Bytes(link.OutBuffer.begin(), link.OutBuffer.begin() + length));
  }
  // In line mode 2 our own request comes back first. The reply taken is a
  // frame the device sent during the exchange, never our echo alone (a reply
  // equal to the request is a reply when the device sent it). Which copy the
  // link took is not asked: a late reply and the echo can be the same bytes.
  if (link.LineMode == 2 && link.IsOpen()) {
    Bytes fromDevice;
    for (size_t i = before.Read; i < line.Read.size(); ++i)
      if (!line.Read[i].Echoed)
        fromDevice.push_back(line.Read[i].Value);
    const auto reply = link.InBuffer.begin();
    FUZZ_CHECK(std::search(fromDevice.begin(), fromDevice.end(), reply, reply + link.InBuffer[0]) !=
               fromDevice.end());
  }
}

bool InRange(int64_t index) {
  return index >= 0 && index < kBufferSize;
}

// Runs a typed read and checks it against the buffer: the value on success,
// a range error with ReadIndex unchanged otherwise.
template <typename Read> void CheckGet(TZor_RS &link, int width, Read read) {
  const int32_t before = link.ReadIndex;
  const bool fits = InRange(before) && InRange(int64_t{before} + width - 1);
  uint32_t expected = 0;
  if (fits)
    for (int i = 0; i < width; ++i)
      expected |= uint32_t{link.InBuffer[before + i]} << (8 * i);
  try {
    const uint32_t got = read();
    FUZZ_CHECK(fits);
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(link.ReadIndex == before + width);
  } catch (const Exception &failure) {
    FUZZ_CHECK(!fits);
    FUZZ_CHECK(IsRangeError(failure));
    FUZZ_CHECK(link.ReadIndex == before);
  }
}

void CheckGetString(TZor_RS &link) {
  const int32_t before = link.ReadIndex;
  std::optional<int> zero;
  if (InRange(before))
    for (int i = before; i < kBufferSize && !zero; ++i)
      if (link.InBuffer[i] == 0)
        zero = i;
  try {
    const std::string text = link.GetString();
    FUZZ_CHECK(zero.has_value());
    FUZZ_CHECK(text.size() == static_cast<size_t>(*zero - before));
    FUZZ_CHECK(std::memcmp(text.data(), link.InBuffer.data() + before, text.size()) == 0);
    FUZZ_CHECK(link.ReadIndex == *zero + 1);
  } catch (const Exception &failure) {
    FUZZ_CHECK(!zero.has_value());
    FUZZ_CHECK(IsRangeError(failure));
  }
}

// An exchange that may fail: on failure ReadIndex keeps its value.
template <typename Exchange> bool Attempt(TZor_RS &link, Exchange exchange) {
  const int32_t readIndexBefore = link.ReadIndex;
  try {
    exchange();
    return true;
  } catch (const Exception &) {
    FUZZ_CHECK(link.ReadIndex == readIndexBefore);
    return false;
  }
}

void Run(const uint8_t *data, size_t size) {
  if (size < 4)
    return;
  const uint8_t mode = data[0] & 3;
  const uint8_t flags = data[1];
  const uint16_t replyTimeout = static_cast<uint16_t>(data[2] * 4);
  const size_t operations = std::min<size_t>(data[3] & 15, size - 4);
  const uint8_t *program = data + 4;
  Script script(program + operations, size - 4 - operations);
  script.HangUpAtEnd = (flags & 2) != 0;

  FakeClock clock;
  auto line = std::make_shared<FakeLine>();
  line->Clock = &clock;
  line->Echo = (flags & 1) != 0;
  line->Device = [&](const Bytes &) {
    script.NextChunk(*line);
    return Bytes();
  };
  FuzzPresenter presenter;
  SetMessagePresenter(&presenter);

  TZor_RS link(nullptr, nullptr, SinglePortPlatform(line), &clock);
  link.OpenPort(1);
  FUZZ_CHECK(link.IsOpen());
  link.SetLineMode(mode);
  FUZZ_CHECK(link.LineMode == (mode <= 2 ? mode : 0));
  link.ReplyTimeout = replyTimeout;

  for (size_t i = 0; i < operations; ++i) {
    const uint8_t kind = program[i] & 15;
    const uint8_t argument = program[i] >> 4;
    const size_t writesBefore = line->Writes.size();
    const LineMark mark{writesBefore, line->Read.size()};
    switch (kind) {
    case kReceive:
      if (Attempt(link, [&] { link.Receive(); }))
        CheckReplyFrame(link);
      break;
    case kTransact:
      if (Attempt(link, [&] { link.Transact(); })) {
        CheckReplyFrame(link);
        FUZZ_CHECK(link.InBuffer[4] != kStatusBusy);
      }
      break;
    case kExecute:
      if (Attempt(link, [&] {
            link.BeginCommand(251, argument);
            for (int b = 0; b < argument; ++b)
              link.PutByte(static_cast<uint8_t>(b * 37));
            link.Execute();
          }))
        CheckExchange(link, *line, mark);
      break;
    case kSendCommand:
      if (Attempt(link, [&] { link.SendCommand(251, argument); }))
        CheckExchange(link, *line, mark);
      break;
    case kQueryAddress: {
      presenter.Answer = (argument & 1) ? kYes : kNo;
      int address = -2;
      if (Attempt(link, [&] { address = link.QueryAddress(); })) {
        if (link.LineMode != 0 && presenter.Answer != kYes) {
          FUZZ_CHECK(address == -1);
          FUZZ_CHECK(line->Writes.size() == writesBefore);
        } else {
          CheckExchange(link, *line, mark);
          FUZZ_CHECK(address == link.InBuffer[1]);
        }
      }
      break;
    }
    case kGetByte:
      CheckGet(link, 1, [&] { return uint32_t{link.GetByte()}; });
      break;
    case kGetWord:
      CheckGet(link, 2, [&] { return uint32_t{link.GetWord()}; });
      break;
    case kGetLong:
      CheckGet(link, 4, [&] { return link.GetLong(); });
      break;
    case kGetFloat:
      CheckGet(link, 4, [&] { return std::bit_cast<uint32_t>(link.GetFloat()); });
      break;
    case kGetString:
      CheckGetString(link);
      break;
    case kSetReadIndex:
      link.ReadIndex = argument == 15 ? -1 : argument * 18; // 0 ... 252, 270 and -1
      break;
    case kSetLineMode:
      link.SetLineMode(argument);
      FUZZ_CHECK(link.LineMode == (argument <= 2 ? argument : 0));
      break;
    case kOversizedFrame: {
      // 250 parameter bytes and more do not fit a frame.
      const int parameters = 240 + argument;
      const bool fits = parameters <= 249;
      const bool done = Attempt(link, [&] {
        link.BeginCommand(251, 1);
        for (int b = 0; b < parameters; ++b)
          link.PutByte(static_cast<uint8_t>(b));
        link.Execute();
      });
      if (!fits) {
        FUZZ_CHECK(!done);
        FUZZ_CHECK(line->Writes.size() == writesBefore);
      } else if (done) {
        CheckExchange(link, *line, mark);
      }
      break;
    }
    case kClosePortOrOpen:
      if (argument & 1)
        link.ClosePort();
      else
        link.OpenPort(1);
      break;
    case kSetReplyTimeout:
      link.ReplyTimeout = static_cast<uint16_t>(argument * 70);
      break;
    case kSetInterByteTimeout:
      link.InterByteTimeout = static_cast<uint16_t>(argument * 16);
      break;
    }
  }
  FUZZ_CHECK(line->ZeroWaits == 0); // a wait of nothing would spin
  SetMessagePresenter(nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Run(data, size);
  return 0;
}
