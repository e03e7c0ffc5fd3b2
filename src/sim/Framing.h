// The device side of the bootloader's framing: frame assembly, the checksum,
// the address rules and the replies. Written from the protocol rules alone (it
// shares no code with the host's link), so a framing mistake of the host
// cannot be mirrored here and hidden.
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
// The host accepts every status but 0xFF, so a refusal is seen only on the
// device's side: VirtualDevice::RejectedCommands() counts them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
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
// The shortest frame: length, address, 01 00, command, checksum.
constexpr size_t kMinFrame = 6;
// A pause inside a frame longer than this discards the partial frame.
constexpr std::chrono::milliseconds kResyncGap{50};

// Sum of the bytes modulo 256; a frame is whole when it is 0.
uint8_t ByteSum(const std::vector<uint8_t> &bytes);
// Hex bytes separated by spaces, upper case: "06 FB 01 00 01 FD".
std::string HexBytes(const std::vector<uint8_t> &bytes);
// The name of a command code for logs ("Identify", "WriteBlock", ...).
std::string CommandName(uint8_t command);

// What a complete frame is to the device.
enum class FrameKind {
  BadChecksum,  // does not sum to 0: ignored
  OtherAddress, // for another device: ignored
  AddressQuery, // 06 00 00 00 00 FA: answered with status 0
  Request,      // addressed to 251: carried out
};
// `frame` is complete: frame[0] == frame.size() >= kMinFrame.
FrameKind ClassifyFrame(const std::vector<uint8_t> &frame);

// The reply frame 251 sends: length, 251, 01 00, status, data, checksum. A
// damaged reply has its checksum off by one.
std::vector<uint8_t> BuildReply(uint8_t status, const std::vector<uint8_t> &data,
                                bool damaged = false);

// Collects the bytes from the line into frames. Not thread-safe: one owner.
class FrameAssembler {
public:
  using Clock = std::chrono::steady_clock;

  // `gap`: the longest pause inside a frame.
  explicit FrameAssembler(Clock::duration gap) : FGap(gap) {}

  enum class Step {
    Partial,       // the byte belongs to a frame not yet complete
    LengthTooLow,  // a first byte below 6: dropped alone
    FrameComplete, // `frame` holds the whole frame
  };
  // Takes one byte, read at `readTime`. A partial frame older than the gap
  // must have been dropped with DropIfStale first.
  Step Add(uint8_t byte, Clock::time_point readTime, std::vector<uint8_t> &frame);
  // Drops the partial frame when nothing came for longer than the gap before
  // `now`; returns its bytes (empty: nothing dropped).
  std::vector<uint8_t> DropIfStale(Clock::time_point now);
  bool HasPartial() const { return !FPartial.empty(); }
  // From when DropIfStale drops the partial frame (if one is being collected).
  Clock::time_point StaleAfter() const { return FLastRead + FGap; }
  void Clear() { FPartial.clear(); }

private:
  const Clock::duration FGap;
  std::vector<uint8_t> FPartial;
  Clock::time_point FLastRead{};
};

} // namespace sim
