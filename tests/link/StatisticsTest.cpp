// The link's counts: exchanges, attempts, failed attempts by reason, bytes
// each way, against a scripted port and clock.
#include <gtest/gtest.h>

#include <tuple>

#include "ScriptedLink.h"
#include "link/Zor_RS232.h"
#include "runtime/Exceptions.h"

namespace {
class Statistics : public ScriptedLink {
protected:
  struct Seen {
    uint8_t Command;
    AttemptFailure Failure;
    int Attempt;
    bool operator==(const Seen &) const = default;
  };
  void Observe() {
    Link->AttemptFailed = [this](uint8_t command, AttemptFailure failure, int attempt) {
      FSeen.push_back({command, failure, attempt});
    };
  }
  std::vector<Seen> FSeen;
};

// A reply that fails its first attempt for one reason, then a good one.
struct FirstAttemptFault {
  const char *Name;
  Bytes FirstReply;
  AttemptFailure Expected;
  size_t BytesRead; // of the first reply, before the link gave up on it
};

const Bytes kGood = ReplyFrame(0, {0x61, 0x00});

Bytes Damaged() {
  Bytes reply = kGood;
  reply.back() ^= 1;
  return reply;
}
} // namespace

TEST_F(Statistics, ACleanExchangeCountsOneAttemptAndItsBytes) {
  Line->Device = [](const Bytes &) { return kGood; };
  Link->SendCommand(251, 1);
  const LinkStatistics &s = Link->Statistics;
  EXPECT_EQ(s.Exchanges, 1u);
  EXPECT_EQ(s.Attempts, 1u);
  EXPECT_EQ(s.FailedExchanges, 0u);
  EXPECT_EQ(s.FailedAttemptsTotal(), 0u);
  EXPECT_EQ(s.BytesSent, 6u);
  EXPECT_EQ(s.BytesReceived, kGood.size());
}

TEST_F(Statistics, EachReasonIsCountedOnceForTheAttemptItEnded) {
  const std::vector<FirstAttemptFault> faults = {
      {"no reply", {}, AttemptFailure::NoReply, 0},
      {"length byte 5", {0x05, 0xFB, 0x01, 0x00, 0x00, 0xFF}, AttemptFailure::TooShort, 1},
      {"damaged checksum", Damaged(), AttemptFailure::Checksum, kGood.size()},
      {"header of zeros", {0x06, 0x00, 0x00, 0x00, 0x00, 0xFA}, AttemptFailure::BadHeader, 6},
      {"busy", ReplyFrame(kStatusBusy), AttemptFailure::Busy, 6},
      {"reply stops half way", {0x08, 0xFB, 0x01}, AttemptFailure::Gap, 3},
  };
  Observe();
  for (const auto &fault : faults) {
    SCOPED_TRACE(fault.Name);
    int calls = 0;
    Line->Device = [&](const Bytes &) { return ++calls == 1 ? fault.FirstReply : kGood; };
    FSeen.clear();
    const LinkStatistics before = Link->Statistics;
    EXPECT_EQ(Failure([&] { Link->SendCommand(251, 10); }), "");
    const LinkStatistics d = Link->Statistics.Since(before);
    EXPECT_EQ(d.Exchanges, 1u);
    EXPECT_EQ(d.Attempts, 2u);
    EXPECT_EQ(d.FailedExchanges, 0u);
    EXPECT_EQ(d.Failed(fault.Expected), 1u);
    EXPECT_EQ(d.FailedAttemptsTotal(), 1u);
    EXPECT_EQ(d.BytesSent, 12u);
    EXPECT_EQ(d.BytesReceived, fault.BytesRead + kGood.size());
    EXPECT_EQ(FSeen, (std::vector<Seen>{{10, fault.Expected, 1}}));
  }
}

TEST_F(Statistics, AnExchangeWhoseEveryAttemptFailsCountsAsFailed) {
  Observe();
  Link->ReplyTimeout = 100;
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 6); }), SNoLink);
  EXPECT_EQ(Link->Statistics.Exchanges, 1u);
  EXPECT_EQ(Link->Statistics.Attempts, 3u);
  EXPECT_EQ(Link->Statistics.FailedExchanges, 1u);
  EXPECT_EQ(Link->Statistics.Failed(AttemptFailure::NoReply), 3u);
  EXPECT_EQ(Link->Statistics.BytesReceived, 0u);
  EXPECT_EQ(FSeen, (std::vector<Seen>{{6, AttemptFailure::NoReply, 1},
                                      {6, AttemptFailure::NoReply, 2},
                                      {6, AttemptFailure::NoReply, 3}}));

  // A frame refused before any attempt is no exchange at all.
  Link->BeginFrame();
  Link->WriteIndex = 255;
  EXPECT_THROW(Link->Execute(), ERangeError);
  EXPECT_EQ(Link->Statistics.Exchanges, 1u);
}

TEST_F(Statistics, TheEchoCountsAsReceivedAndItsTroublesByTheirOwnNames) {
  Link->SetLineMode(2);
  Link->ReplyTimeout = 100;
  Line->Echo = true;
  Line->Device = [](const Bytes &) { return kGood; };
  Link->SendCommand(251, 1);
  EXPECT_EQ(Link->Statistics.BytesReceived, 6 + kGood.size()) << "the echo is read off the line";
  EXPECT_EQ(Link->Statistics.FailedAttemptsTotal(), 0u);

  // A line that does not echo: the device's reply comes back where the echo
  // was awaited, 6 bytes for a 135-byte request.
  Line->Echo = false;
  LinkStatistics before = Link->Statistics;
  Link->BeginCommand(251, 10);
  for (int i = 0; i < 129; ++i)
    Link->PutByte(0);
  EXPECT_EQ(Failure([&] { Link->Execute(); }), SNoLink);
  EXPECT_EQ(Link->Statistics.Since(before).Failed(AttemptFailure::WrongLength), 3u);

  // The echo comes long after the reply's deadline: the late echo never ends.
  Line->Echo = true;
  Line->EchoDelayMs = 5000;
  Line->Device = nullptr;
  before = Link->Statistics;
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 6); }), SNoLink);
  EXPECT_EQ(Link->Statistics.Since(before).Failed(AttemptFailure::LateEcho), 3u);
}

TEST_F(Statistics, AHangUpIsNamed) {
  Line->Device = [&](const Bytes &) {
    Line->HungUp = true;
    return Bytes{};
  };
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SNoLink);
  EXPECT_EQ(Link->Statistics.Failed(AttemptFailure::HungUp), 3u);
}

TEST_F(Statistics, CountingAndItsObserverLeaveTheWireAsItWas) {
  // The same faulty conversation, once watched and once not: the same frames
  // at the same times, the same pauses, the same outcome.
  auto converse = [](bool watched) {
    LinkOverScriptedLine parts;
    FakeClock &clock = parts.Clock;
    FakeLine &line = *parts.Line;
    TZor_RS &link = *parts.Link;
    line.Echo = true;
    link.SetLineMode(2);
    int uses = 0;
    if (watched) {
      link.AttemptFailed = [&](uint8_t, AttemptFailure, int) { ++uses; };
      link.FrameTrace = [&](FrameDirection, const uint8_t *, size_t) { ++uses; };
    }
    int calls = 0;
    line.Device = [&](const Bytes &) {
      switch (++calls % 4) {
      case 1:
        return Damaged();
      case 2:
        return ReplyFrame(kStatusBusy);
      default:
        return kGood;
      }
    };
    std::vector<std::string> outcomes;
    for (uint8_t command : {1, 10, 20, 6}) {
      try {
        link.SendCommand(251, command);
        outcomes.emplace_back("ok");
      } catch (const std::exception &e) {
        outcomes.emplace_back(e.what());
      }
    }
    EXPECT_EQ(uses > 0, watched);
    return std::make_tuple(line.Writes, clock.Pauses, clock.Now, outcomes, link.Statistics);
  };
  EXPECT_EQ(converse(true), converse(false));
}

TEST(LinkStatisticsNames, AreStableForMachineReaders) {
  EXPECT_EQ(AttemptFailureName(AttemptFailure::NoReply), "no_reply");
  EXPECT_EQ(AttemptFailureName(AttemptFailure::WrongLength), "wrong_length");
  EXPECT_EQ(AttemptFailureName(AttemptFailure::LateEcho), "late_echo");
  EXPECT_EQ(AttemptFailureName(AttemptFailure::IoError), "io_error");
  EXPECT_EQ(AttemptFailureName(AttemptFailure::NoPermission), "no_permission");
  EXPECT_EQ(AttemptFailureName(AttemptFailure::Other), "other");
}
