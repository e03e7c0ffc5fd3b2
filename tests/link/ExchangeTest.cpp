// The bootloader exchange: frames on the wire, reply checks, deadlines,
// retries and pauses, echo handling, against a scripted port and clock.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <tuple>

#include "ScriptedLink.h"
#include "link/Zor_RS232.h"
#include "runtime/Exceptions.h"

namespace {
const Bytes kIdentify{0x06, 0xFB, 0x01, 0x00, 0x01, 0xFD};

class Exchange : public ScriptedLink {};
} // namespace

TEST_F(Exchange, RequestsAreFramedByteForByte) {
  Line->Device = [](const Bytes &) { return ReplyFrame(0); };
  Link->SendCommand(251, 1);
  ASSERT_EQ(Line->Writes.size(), 1u);
  EXPECT_EQ(Line->Writes[0], kIdentify);

  Link->SetLineMode(0);
  EXPECT_EQ(Link->QueryAddress(), 251);
  EXPECT_TRUE(FPresenter.Questions.empty()) << "line mode 0 sends at once";
  EXPECT_EQ(Line->Writes.back(), (Bytes{0x06, 0x00, 0x00, 0x00, 0x00, 0xFA}));
}

TEST_F(Exchange, QueryAddressAsksFirstOnASharedLine) {
  Line->Device = [](const Bytes &) { return ReplyFrame(0, {}, 17); };
  Link->SetLineMode(1);
  FPresenter.Answers = {kNo};
  EXPECT_EQ(Link->QueryAddress(), -1);
  EXPECT_TRUE(Line->Writes.empty()) << "a declined confirmation sends nothing";
  ASSERT_EQ(FPresenter.Questions.size(), 1u);
  EXPECT_EQ(FPresenter.Questions[0], SOnlyOneDevice);

  FPresenter.Answers = {kYes};
  EXPECT_EQ(Link->QueryAddress(), 17);
  EXPECT_EQ(Line->Writes.size(), 1u);
}

TEST_F(Exchange, AfterExecuteTheFirstGetByteIsReplyByte5) {
  Line->Device = [](const Bytes &) { return ReplyFrame(0, {0x61, 0x00, 0x77}); };
  Link->SendCommand(251, 1);
  EXPECT_EQ(Link->ReadIndex, 5);
  EXPECT_EQ(Link->GetWord(), 0x61);
  EXPECT_EQ(Link->GetByte(), 0x77);
}

TEST_F(Exchange, FirstByteDeadlineAllowsForTheRequestOnTheWire) {
  EXPECT_EQ(TZor_RS::TransmissionAllowanceMs(5, 19200), 2u) << "round(2.5) goes to the even 2";
  EXPECT_EQ(TZor_RS::TransmissionAllowanceMs(7, 19200), 4u) << "round(3.5) goes to the even 4";
  EXPECT_EQ(TZor_RS::TransmissionAllowanceMs(134, 19200), 67u);
  EXPECT_EQ(TZor_RS::TransmissionAllowanceMs(5, 0), 0u) << "no rate, no division by zero";

  // With ReplyTimeout 100 a 6-byte request may be answered up to 102 ms later.
  Link->ReplyTimeout = 100;
  Line->Device = [](const Bytes &) { return ReplyFrame(0); };
  Line->ReplyDelayMs = 102;
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), "");
  EXPECT_EQ(Line->Writes.size(), 1u);

  Line->Writes.clear();
  Line->ReplyDelayMs = 104;
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SNoLink);
  EXPECT_EQ(Line->Writes.size(), 3u);
}

TEST_F(Exchange, ReplyChecks) {
  // A length byte below 6 means no link, even with more bytes waiting.
  Line->Device = [](const Bytes &) { return Bytes{0x05, 0xFB, 0x01, 0x00, 0x00, 0xFF}; };
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SNoLink);

  // A header of zeros passes the checksum but is an exchange error (4).
  Line->Device = [](const Bytes &) { return Bytes{0x06, 0x00, 0x00, 0x00, 0x00, 0xFA}; };
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), std::string(SExchangeError) + "(4)");

  Bytes damaged = ReplyFrame(0, {1, 2, 3});
  damaged[6] ^= 0xFF;
  Line->Device = [&](const Bytes &) { return damaged; };
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), std::string(SExchangeError) + "(0)");

  // A reply that stops half way: the inter-byte wait runs out.
  Line->Device = [](const Bytes &) { return Bytes{0x08, 0xFB, 0x01}; };
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SInterByteDelay);
}

TEST_F(Exchange, ABusyDeviceIsTriedThreeTimesWithTwoPauses) {
  Link->SetLineMode(1);
  Line->Device = [](const Bytes &) { return ReplyFrame(kStatusBusy); };
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SDeviceBusy);
  EXPECT_EQ(Line->Writes.size(), 3u);
  EXPECT_EQ(Clock.Pauses, (std::vector<uint32_t>{20, 50, 50}));

  Clock.Pauses.clear();
  Link->SetLineMode(0);
  Line->Writes.clear();
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SDeviceBusy);
  EXPECT_EQ(Clock.Pauses, (std::vector<uint32_t>{50, 50})) << "no pause before the first attempt";
}

TEST_F(Exchange, EveryAttemptSendsTheSameBytesAndASecondGoodReplyWins) {
  int calls = 0;
  Line->Device = [&](const Bytes &) {
    Bytes reply = ReplyFrame(0, {9});
    if (++calls == 1)
      reply.back() ^= 1;
    return reply;
  };
  Link->BeginCommand(251, 10);
  Link->PutByte(3);
  EXPECT_EQ(Failure([&] { Link->Execute(); }), "");
  ASSERT_EQ(Line->Writes.size(), 2u);
  EXPECT_EQ(Line->Writes[0], Line->Writes[1]);
  EXPECT_EQ(Link->GetByte(), 9);
}

TEST_F(Exchange, ARangeErrorOfTheFrameComesBeforeAnyAttempt) {
  Link->BeginFrame();
  Link->WriteIndex = 255;
  EXPECT_EQ(Failure([&] { Link->Execute(); }), "Range check error");
  EXPECT_TRUE(Line->Writes.empty());
}

TEST_F(Exchange, LineModes) {
  Link->SetLineMode(3);
  EXPECT_EQ(Link->LineMode, 0);
  Link->SetLineMode(2);
  EXPECT_EQ(Link->LineMode, 2);
}

TEST_F(Exchange, LineMode2DiscardsTheEchoAndReadsTheReply) {
  Link->SetLineMode(2);
  Line->Echo = true;
  Line->Device = [](const Bytes &) { return ReplyFrame(0, {0x61, 0x00}); };
  std::vector<FrameDirection> traced;
  Link->FrameTrace = [&](FrameDirection d, const uint8_t *, size_t) { traced.push_back(d); };
  Link->SendCommand(251, 1);
  EXPECT_EQ(Link->GetWord(), 0x61);
  EXPECT_EQ(Line->RTSRaised, 1);
  EXPECT_EQ(Line->RTSCleared, 1);
  EXPECT_EQ(traced, (std::vector<FrameDirection>{FrameDirection::Sent, FrameDirection::Echo,
                                                 FrameDirection::Received}));
}

TEST_F(Exchange, LineMode2WithoutEchoLosesTheReplyAsTheEcho) {
  Link->SetLineMode(2);
  Line->Echo = false;
  Line->Device = [](const Bytes &) { return ReplyFrame(0); };
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SNoLink);
  EXPECT_EQ(Line->Writes.size(), 3u);
  EXPECT_EQ(Line->RTSRaised, 3);
  EXPECT_EQ(Line->RTSCleared, 3) << "RTS is dropped on every path";
}

TEST_F(Exchange, ALateEchoIsNeverTakenForTheReply) {
  // The echo comes after its wait has run out, so the reply wait finds it
  // first; the device's answer never comes. Success here would mean a block
  // counted as written that the device never acknowledged.
  Link->SetLineMode(2);
  Link->ReplyTimeout = 100;
  Line->Echo = true;
  Line->EchoDelayMs = 150;
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 10); }), SNoLink);
  EXPECT_EQ(Line->Writes.size(), 3u);

  // With the echo in time the same exchange succeeds.
  Line->EchoDelayMs = 0;
  Line->Device = [](const Bytes &) { return ReplyFrame(0); };
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 10); }), "");
}

TEST_F(Exchange, OurRequestBehindBytesNotOursIsNeverTakenForTheReply) {
  // The device's late garbage from one attempt comes in after the next
  // attempt's purge, ahead of its echo; our own request then follows where the
  // reply should be. The device never answers, so the exchange must fail.
  Link->SetLineMode(2);
  Link->ReplyTimeout = 100;
  Line->Echo = true;
  Line->Device = [](const Bytes &) { return Bytes{0x01, 0xFD, 0xA7, 0xA7, 0xA7, 0xA7}; };
  // 250 ms: the garbage comes during the echo's wait and is taken as a wrong
  // echo; 350 ms: it comes after that wait and is skipped as the echo's rest.
  for (const uint64_t delay : {250, 350}) {
    SCOPED_TRACE(delay);
    Line->Writes.clear();
    Line->Incoming.clear();
    Line->ReplyDelayMs = delay;
    EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SNoLink);
    EXPECT_EQ(Line->Writes.size(), 3u);
  }
}

TEST_F(Exchange, ALateEchoIsSkippedAndTheReplyBehindItTaken) {
  // A device that answers with its command code as the status: its reply to
  // Finish is the request itself, byte for byte.
  const Bytes finish{0x06, 0xFB, 0x01, 0x00, 0x06, 0xF8};
  Link->SetLineMode(2);
  Link->ReplyTimeout = 100;
  Line->Echo = true;
  Line->Device = [](const Bytes &request) { return request; };
  std::vector<std::pair<FrameDirection, Bytes>> traced;
  Link->FrameTrace = [&](FrameDirection d, const uint8_t *data, size_t count) {
    traced.emplace_back(d, Bytes(data, data + count));
  };
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 6); }), "");
  EXPECT_EQ(Line->Writes, std::vector<Bytes>{finish}) << "sent once";
  EXPECT_EQ(traced.back(), std::make_pair(FrameDirection::Received, finish));

  // The whole echo after its wait: skipped, and the device's reply behind it
  // (the same bytes) is the reply.
  Line->Writes.clear();
  traced.clear();
  Line->EchoDelayMs = 150;
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 6); }), "");
  EXPECT_EQ(Line->Writes.size(), 1u);
  EXPECT_EQ(traced,
            (std::vector<std::pair<FrameDirection, Bytes>>{{FrameDirection::Sent, finish},
                                                           {FrameDirection::Echo, finish},
                                                           {FrameDirection::Received, finish}}));

  // Part of the echo in time, the rest after the inter-byte wait: exactly
  // the three bytes still due are skipped.
  Line->Writes.clear();
  Line->Echo = false;
  Line->ReplyDelayMs = 300;
  Line->Device = [&](const Bytes &request) {
    for (size_t i = 0; i < request.size(); ++i)
      Line->Incoming.push_back({Clock.Now + (i < 3 ? 0 : 300), request[i]});
    return ReplyFrame(0, {0x42});
  };
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 10); }), "");
  EXPECT_EQ(Line->Writes.size(), 1u);
  EXPECT_EQ(Link->GetByte(), 0x42);
}

TEST_F(Exchange, EachTransmissionEmptiesBothQueuesFirst) {
  Line->Device = [](const Bytes &) { return ReplyFrame(0); };
  const int before = Line->InputPurges;
  Link->SendCommand(251, 1);
  EXPECT_EQ(Line->InputPurges, before + 1);
  EXPECT_EQ(Line->OutputPurges, 1);
}

TEST_F(Exchange, AHungUpDeviceFailsPromptlyWithNoLink) {
  Line->Device = [&](const Bytes &) {
    Line->HungUp = true;
    return Bytes{0x12, 0xFB, 0x01};
  };
  Link->ReplyTimeout = 60000;
  const uint64_t start = Clock.Now;
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SNoLink);
  EXPECT_LT(Clock.Now - start, 1000u) << "no waiting out the reply time-out";
}

// A port that fails says why: the first failed port call of each attempt is
// told with the port's reason, a refused write is not traced as sent, and the
// attempt is named for how the port was lost. Watching changes nothing: the
// same request is offered each time, with the same pauses, and a port that is
// gone is not waited on.
TEST_F(Exchange, APortThatFailsIsToldWithItsReasonAndNamedForIt) {
  struct Case {
    const char *Name;
    uint8_t LineMode;
    bool RefuseWrites; // else the device hangs up on taking the request
    PortError Error;
    PortOperation Told;
    AttemptFailure Named;
    std::string Text;
  };
  const PortError ioError{PortFault::InputOutput, EIO, "EIO", "Input/output error"};
  const PortError denied{PortFault::Permission, EACCES, "EACCES", "Permission denied"};
  const PortError stalled{PortFault::Other, 0, "", "the driver took no byte in the time allowed"};
  const PortError hungUp{PortFault::Gone, 0, "POLLHUP", "the line hung up"};
  const std::string gone = "read failed, the device is gone: the line hung up (POLLHUP)";
  const std::vector<Case> cases = {
      {"write refused, I/O error", 0, true, ioError, PortOperation::Write, AttemptFailure::IoError,
       "write refused by the system: Input/output error (EIO)"},
      {"write refused, no permission, line mode 2", 2, true, denied, PortOperation::Write,
       AttemptFailure::NoPermission, "write refused by the system: Permission denied (EACCES)"},
      {"write the port gave up on", 0, true, stalled, PortOperation::Write, AttemptFailure::NoReply,
       "write failed: the driver took no byte in the time allowed"},
      {"hang-up after the request", 0, false, hungUp, PortOperation::Read, AttemptFailure::HungUp,
       gone},
      {"hang-up before the echo, line mode 2", 2, false, hungUp, PortOperation::Read,
       AttemptFailure::HungUp, gone},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    const auto converse = [&](bool watched) {
      LinkOverScriptedLine parts;
      FakeLine &line = *parts.Line;
      TZor_RS &link = *parts.Link;
      link.SetLineMode(c.LineMode);
      link.ReplyTimeout = 100;
      line.Error = c.Error;
      line.RefuseWrites = c.RefuseWrites;
      line.Device = [&](const Bytes &) {
        line.HungUp = true;
        return Bytes{};
      };
      std::vector<std::string> told;
      std::vector<AttemptFailure> named;
      int sent = 0;
      if (watched) {
        link.PortFailed = [&](PortOperation operation, const PortError &error) {
          EXPECT_EQ(operation, c.Told);
          told.push_back(PortFailureText(operation, error));
        };
        link.AttemptFailed = [&](uint8_t, AttemptFailure failure, int) {
          named.push_back(failure);
        };
        link.FrameTrace = [&](FrameDirection direction, const uint8_t *, size_t) {
          sent += direction == FrameDirection::Sent;
        };
      }
      const uint64_t start = parts.Clock.Now;
      EXPECT_EQ(Failure([&] { link.SendCommand(251, 1); }), SNoLink);
      const uint64_t took = parts.Clock.Now - start;
      if (watched) {
        EXPECT_EQ(told, std::vector<std::string>(3, c.Text)) << "once in each attempt";
        EXPECT_EQ(named, std::vector<AttemptFailure>(3, c.Named));
        EXPECT_EQ(sent, c.RefuseWrites ? 0 : 3);
        const std::vector<Bytes> &offered = c.RefuseWrites ? line.Refused : line.Writes;
        EXPECT_EQ(offered, std::vector<Bytes>(3, kIdentify));
        if (c.Named == AttemptFailure::NoReply)
          EXPECT_GE(took, 3 * 100u) << "the port is still there: its reply is awaited";
        else
          EXPECT_EQ(took, (c.LineMode != 0 ? 20u : 0u) + 2 * 50u) << "the pauses alone";
      }
      return std::make_tuple(line.Writes, line.Refused, parts.Clock.Pauses, took, link.Statistics);
    };
    EXPECT_EQ(converse(true), converse(false));
  }
}

TEST_F(Exchange, WithNoPortOpenEveryAttemptEndsWithNoLinkAfterTheDeadline) {
  Link->ClosePort();
  Link->ReplyTimeout = 100;
  const uint64_t start = Clock.Now;
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SNoLink);
  EXPECT_GE(Clock.Now - start, 300u);
}

TEST_F(Exchange, ASilentDeviceIsAwaitedWithoutSpinning) {
  Link->ReplyTimeout = 100;
  {
    // With a user interface the link wakes only as often as it serves it...
    const ScopedProcessMessages pump([] {});
    EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SNoLink);
    EXPECT_GE(Line->Waits, 300 / 10);
    EXPECT_LE(Line->Waits, 300 / 4);
    EXPECT_EQ(Line->ZeroWaits, 0);
  }
  // ...without one it sleeps on the port until a byte or the deadline comes.
  Line->Waits = 0;
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SNoLink);
  EXPECT_LE(Line->Waits, 6);
}

TEST_F(Exchange, GetStringReadsUpToAZeroByte) {
  Line->Device = [](const Bytes &) { return ReplyFrame(0, {'P', 'I', 'C', 0, 'x'}); };
  Link->SendCommand(251, 1);
  EXPECT_EQ(Link->GetString(), "PIC");
  EXPECT_EQ(Link->GetByte(), 'x');

  Link->InBuffer.fill(0x41);
  Link->ReadIndex = 5;
  EXPECT_THROW(Link->GetString(), ERangeError);
}

// The window stays answering through a whole exchange: the pause before it,
// the echo, the wait for the reply and the pauses between attempts.
TEST_F(Exchange, TheUserInterfaceRunsAtLeastEveryTenMilliseconds) {
  std::vector<uint64_t> pumps;
  std::optional<ScopedProcessMessages> pump;
  pump.emplace([&] { pumps.push_back(Clock.Now); });
  const auto longestGap = [&](uint64_t start) {
    uint64_t longest = 0;
    for (uint64_t at : pumps) {
      longest = std::max(longest, at - start);
      start = at;
    }
    return std::max(longest, Clock.Now - start);
  };
  const auto times = [&] {
    std::string text;
    for (uint64_t at : pumps)
      text += std::to_string(at) + " ";
    return text + "end " + std::to_string(Clock.Now);
  };
  Link->SetLineMode(2);
  Line->Echo = true;
  Line->Device = [](const Bytes &) { return ReplyFrame(0); };
  Line->ReplyDelayMs = 30;
  uint64_t start = Clock.Now;
  Link->SendCommand(251, 1);
  EXPECT_LE(longestGap(start), 10u) << "from " << start << ": " << times();
  EXPECT_LE(pumps.size(), 50u / 4) << "served, not flooded";

  pumps.clear();
  Link->ReplyTimeout = 40;
  Line->Device = nullptr; // silent: three attempts with the pauses between them
  start = Clock.Now;
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SNoLink);
  EXPECT_LE(longestGap(start), 10u) << "from " << start << ": " << times();
  pump.reset();

  // The pauses keep their length: cut into slices, never shortened.
  Link->SetLineMode(1);
  Line->Echo = false;
  Line->Device = [](const Bytes &) { return ReplyFrame(kStatusBusy); };
  Clock.Pauses.clear();
  pump.emplace([] {});
  EXPECT_EQ(Failure([&] { Link->SendCommand(251, 1); }), SDeviceBusy);
  pump.reset();
  uint64_t paused = 0;
  for (uint32_t slice : Clock.Pauses) {
    EXPECT_LE(slice, 10u);
    paused += slice;
  }
  EXPECT_EQ(paused, 20u + 50u + 50u);
}
