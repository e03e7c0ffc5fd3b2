#include "sim/Framing.h"

#include <algorithm>
#include <numeric>

namespace sim {

uint8_t ByteSum(const std::vector<uint8_t> &bytes) {
  return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

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

FrameKind ClassifyFrame(const std::vector<uint8_t> &frame) {
  if (ByteSum(frame) != 0) {
    return FrameKind::BadChecksum;
  }
  if (frame.size() == kMinFrame && frame[1] == 0 && frame[2] == 0 && frame[3] == 0 &&
      frame[4] == 0) {
    return FrameKind::AddressQuery;
  }
  return frame[1] == kDeviceAddress ? FrameKind::Request : FrameKind::OtherAddress;
}

std::vector<uint8_t> BuildReply(uint8_t status, const std::vector<uint8_t> &data, bool damaged) {
  std::vector<uint8_t> reply(kMinFrame + data.size());
  reply[0] = static_cast<uint8_t>(reply.size());
  reply[1] = kDeviceAddress;
  reply[2] = 0x01;
  reply[3] = 0x00;
  reply[4] = status;
  std::copy(data.begin(), data.end(), reply.begin() + 5);
  reply.back() = static_cast<uint8_t>(0x100 - ByteSum(reply));
  if (damaged) {
    ++reply.back();
  }
  return reply;
}

FrameAssembler::Step FrameAssembler::Add(uint8_t byte, Clock::time_point readTime,
                                         std::vector<uint8_t> &frame) {
  FLastRead = readTime;
  if (FPartial.empty() && byte < kMinFrame) {
    return Step::LengthTooLow;
  }
  FPartial.push_back(byte);
  if (FPartial.size() < FPartial[0]) {
    return Step::Partial;
  }
  frame.clear();
  frame.swap(FPartial);
  return Step::FrameComplete;
}

std::vector<uint8_t> FrameAssembler::DropIfStale(Clock::time_point now) {
  std::vector<uint8_t> dropped;
  if (!FPartial.empty() && now - FLastRead > FGap) {
    dropped.swap(FPartial);
  }
  return dropped;
}

} // namespace sim
