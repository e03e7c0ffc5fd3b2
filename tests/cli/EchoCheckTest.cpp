// The echo advice from the frames alone, including the frames that must not
// set it off.
#include <gtest/gtest.h>

#include "cli/EchoCheck.h"

namespace {
using Bytes = std::vector<uint8_t>;

Bytes Frame(Bytes body) {
  body.insert(body.begin(), static_cast<uint8_t>(body.size() + 2));
  uint8_t sum = 0;
  for (uint8_t b : body)
    sum = static_cast<uint8_t>(sum + b);
  body.push_back(static_cast<uint8_t>(0x100 - sum));
  return body;
}

std::optional<std::string> See(EchoCheck &check, FrameDirection direction, const Bytes &frame) {
  return check.See(direction, frame.data(), frame.size());
}

const Bytes kIdentify = Frame({0xFB, 0x01, 0x00, 0x01});
const Bytes kFinish = Frame({0xFB, 0x01, 0x00, 0x06});
const Bytes kIdentifyReply =
    Frame({0xFB, 0x01, 0x00, 0x00, 0x61, 0, 0, 0, 0x30, 0, 4, 2, 0, 0, 0, 0});
} // namespace

TEST(EchoCheck, ARequestReturnedWhereNoEchoBelongsIsAnEcho) {
  EchoCheck check(0);
  EXPECT_FALSE(See(check, FrameDirection::Sent, kIdentify));
  EXPECT_EQ(See(check, FrameDirection::Received, kIdentify), SDeviceEchoes);
  // Once only.
  See(check, FrameDirection::Sent, kIdentify);
  EXPECT_FALSE(See(check, FrameDirection::Received, kIdentify));
}

TEST(EchoCheck, AFinishAnsweredWithItsOwnBytesIsAReply) {
  // A device may answer a command without parameters with status = command
  // code, which makes the reply equal to the request.
  EchoCheck check(1);
  See(check, FrameDirection::Sent, kFinish);
  EXPECT_FALSE(See(check, FrameDirection::Received, kFinish));
  See(check, FrameDirection::Sent, kIdentify);
  EXPECT_FALSE(See(check, FrameDirection::Received, kIdentifyReply));
}

TEST(EchoCheck, AReplyWhereTheEchoBelongsMeansNoEcho) {
  EchoCheck check(2);
  See(check, FrameDirection::Sent, kIdentify);
  EXPECT_FALSE(See(check, FrameDirection::Echo, kIdentify)) << "a true echo";
  Bytes damaged = kIdentify;
  damaged[3] ^= 0x10;
  See(check, FrameDirection::Sent, kIdentify);
  EXPECT_FALSE(See(check, FrameDirection::Echo, damaged)) << "an echo the line damaged";
  EXPECT_FALSE(
      See(check, FrameDirection::Echo, Bytes(kIdentifyReply.begin(), kIdentifyReply.begin() + 7)))
      << "part of a frame";
  See(check, FrameDirection::Sent, kIdentify);
  EXPECT_EQ(See(check, FrameDirection::Echo, kIdentifyReply), SDeviceDoesNotEcho);
}
