#include "cli/EchoCheck.h"

#include <algorithm>
#include <numeric>

#include "loader/LoadSequence.h"

const char *const SDeviceEchoes = "the device echoes: use --line-mode 2";
const char *const SDeviceDoesNotEcho = "the device does not echo: use --line-mode 0";

namespace {
bool IsWholeFrame(const uint8_t *data, size_t count) {
  return count >= kMinReplyLength && data[0] == count &&
         std::accumulate(data, data + count, 0u) % 256 == 0;
}
} // namespace

std::optional<std::string> EchoCheck::See(FrameDirection direction, const uint8_t *data,
                                          size_t count) {
  if (direction == FrameDirection::Sent) {
    FRequest.assign(data, data + count);
    return std::nullopt;
  }
  if (FSaid || FRequest.size() < kMinReplyLength || !IsWholeFrame(data, count))
    return std::nullopt;
  const bool ownRequest = std::equal(data, data + count, FRequest.begin(), FRequest.end());
  std::optional<std::string> advice;
  if (FLineMode == 2 && direction == FrameDirection::Echo && !ownRequest) {
    // Where the echo belongs came a frame of the device's: its reply.
    advice = SDeviceDoesNotEcho;
  } else if (FLineMode != 2 && direction == FrameDirection::Received && ownRequest) {
    // A reply may equal a request without parameters (status = command code),
    // but never Identify's, which carries twelve data bytes: only a returned
    // request looks like that.
    const bool mayBeAReply = FRequest.size() == kMinReplyLength && FRequest[4] != kCommandIdentify;
    if (!mayBeAReply)
      advice = SDeviceEchoes;
  }
  FSaid = advice.has_value();
  return advice;
}
