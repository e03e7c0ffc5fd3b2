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
  line->Device = [](const Bytes &) { return ReplyFrame(0); };
  link->SendCommand(251, 1);
  ASSERT_EQ(line->Writes.size(), 1u);
  EXPECT_EQ(line->Writes[0], kIdentify);

  link->SetLineMode(0);
  EXPECT_EQ(link->QueryAddress(), 251);
  EXPECT_TRUE(presenter.Questions.empty()) << "line mode 0 sends at once";
  EXPECT_EQ(line->Writes.back(), (Bytes{0x06, 0x00, 0x00, 0x00, 0x00, 0xFA}));
}

TEST_F(Exchange, QueryAddressAsksFirstOnASharedLine) {
  line->Device = [](const Bytes &) { return ReplyFrame(0, {}, 17); };
  link->SetLineMode(1);
  presenter.Answers = {kNo};
  EXPECT_EQ(link->QueryAddress(), -1);
  EXPECT_TRUE(line->Writes.empty()) << "a declined confirmation sends nothing";
  ASSERT_EQ(presenter.Questions.size(), 1u);
  EXPECT_EQ(presenter.Questions[0], SOnlyOneDevice);

  presenter.Answers = {kYes};
  EXPECT_EQ(link->QueryAddress(), 17);
  EXPECT_EQ(line->Writes.size(), 1u);
}

TEST_F(Exchange, AfterExecuteTheFirstGetByteIsReplyByte5) {
  line->Device = [](const Bytes &) { return ReplyFrame(0, {0x61, 0x00, 0x77}); };
  link->SendCommand(251, 1);
  EXPECT_EQ(link->ReadIndex, 5);
  EXPECT_EQ(link->GetWord(), 0x61);
  EXPECT_EQ(link->GetByte(), 0x77);
}

TEST_F(Exchange, FirstByteDeadlineAllowsForTheRequestOnTheWire) {
  EXPECT_EQ(TZor_RS::TransmissionAllowanceMs(5, 19200), 2u) << "round(2.5) goes to the even 2";
  EXPECT_EQ(TZor_RS::TransmissionAllowanceMs(7, 19200), 4u) << "round(3.5) goes to the even 4";
  EXPECT_EQ(TZor_RS::TransmissionAllowanceMs(134, 19200), 67u);
  EXPECT_EQ(TZor_RS::TransmissionAllowanceMs(5, 0), 0u) << "no rate, no division by zero";

  // With ReplyTimeout 100 a 6-byte request may be answered up to 102 ms later.
  link->ReplyTimeout = 100;
  line->Device = [](const Bytes &) { return ReplyFrame(0); };
  line->ReplyDelayMs = 102;
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), "");
  EXPECT_EQ(line->Writes.size(), 1u);

  line->Writes.clear();
  line->ReplyDelayMs = 104;
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SNoLink);
  EXPECT_EQ(line->Writes.size(), 3u);
}

TEST_F(Exchange, ReplyChecks) {
  // A length byte below 6 means no link, even with more bytes waiting.
  line->Device = [](const Bytes &) { return Bytes{0x05, 0xFB, 0x01, 0x00, 0x00, 0xFF}; };
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SNoLink);

  // A header of zeros passes the checksum but is an exchange error (4).
  line->Device = [](const Bytes &) { return Bytes{0x06, 0x00, 0x00, 0x00, 0x00, 0xFA}; };
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), std::string(SExchangeError) + "(4)");

  Bytes damaged = ReplyFrame(0, {1, 2, 3});
  damaged[6] ^= 0xFF;
  line->Device = [&](const Bytes &) { return damaged; };
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), std::string(SExchangeError) + "(0)");

  // A reply that stops half way: the inter-byte wait runs out.
  line->Device = [](const Bytes &) { return Bytes{0x08, 0xFB, 0x01}; };
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SInterByteDelay);
}

TEST_F(Exchange, ABusyDeviceIsTriedThreeTimesWithTwoPauses) {
  link->SetLineMode(1);
  line->Device = [](const Bytes &) { return ReplyFrame(kStatusBusy); };
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SDeviceBusy);
  EXPECT_EQ(line->Writes.size(), 3u);
  EXPECT_EQ(clock.Pauses, (std::vector<uint32_t>{20, 50, 50}));

  clock.Pauses.clear();
  link->SetLineMode(0);
  line->Writes.clear();
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SDeviceBusy);
  EXPECT_EQ(clock.Pauses, (std::vector<uint32_t>{50, 50})) << "no pause before the first attempt";
}

TEST_F(Exchange, EveryAttemptSendsTheSameBytesAndASecondGoodReplyWins) {
  int calls = 0;
  line->Device = [&](const Bytes &) {
    Bytes reply = ReplyFrame(0, {9});
    if (++calls == 1)
      reply.back() ^= 1;
    return reply;
  };
  link->BeginCommand(251, 10);
  link->PutByte(3);
  EXPECT_EQ(Failure([&] { link->Execute(); }), "");
  ASSERT_EQ(line->Writes.size(), 2u);
  EXPECT_EQ(line->Writes[0], line->Writes[1]);
  EXPECT_EQ(link->GetByte(), 9);
}

TEST_F(Exchange, ARangeErrorOfTheFrameComesBeforeAnyAttempt) {
  link->BeginFrame();
  link->WriteIndex = 255;
  EXPECT_EQ(Failure([&] { link->Execute(); }), "Range check error");
  EXPECT_TRUE(line->Writes.empty());
}

TEST_F(Exchange, LineModes) {
  link->SetLineMode(3);
  EXPECT_EQ(link->LineMode, 0);
  link->SetLineMode(2);
  EXPECT_EQ(link->LineMode, 2);
}

TEST_F(Exchange, LineMode2DiscardsTheEchoAndReadsTheReply) {
  link->SetLineMode(2);
  line->Echo = true;
  line->Device = [](const Bytes &) { return ReplyFrame(0, {0x61, 0x00}); };
  std::vector<FrameDirection> traced;
  link->FrameTrace = [&](FrameDirection d, const uint8_t *, size_t) { traced.push_back(d); };
  link->SendCommand(251, 1);
  EXPECT_EQ(link->GetWord(), 0x61);
  EXPECT_EQ(line->RTSRaised, 1);
  EXPECT_EQ(line->RTSCleared, 1);
  EXPECT_EQ(traced, (std::vector<FrameDirection>{FrameDirection::Sent, FrameDirection::Echo,
                                                 FrameDirection::Received}));
}

TEST_F(Exchange, LineMode2WithoutEchoLosesTheReplyAsTheEcho) {
  link->SetLineMode(2);
  line->Echo = false;
  line->Device = [](const Bytes &) { return ReplyFrame(0); };
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SNoLink);
  EXPECT_EQ(line->Writes.size(), 3u);
  EXPECT_EQ(line->RTSRaised, 3);
  EXPECT_EQ(line->RTSCleared, 3) << "RTS is dropped on every path";
}

TEST_F(Exchange, ALateEchoIsNeverTakenForTheReply) {
  // The echo comes after its wait has run out, so the reply wait finds it
  // first; the device's answer never comes. Success here would mean a block
  // counted as written that the device never acknowledged.
  link->SetLineMode(2);
  link->ReplyTimeout = 100;
  line->Echo = true;
  line->EchoDelayMs = 150;
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 10); }), SNoLink);
  EXPECT_EQ(line->Writes.size(), 3u);

  // With the echo in time the same exchange succeeds.
  line->EchoDelayMs = 0;
  line->Device = [](const Bytes &) { return ReplyFrame(0); };
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 10); }), "");
}

TEST_F(Exchange, OurRequestBehindBytesNotOursIsNeverTakenForTheReply) {
  // The device's late garbage from one attempt comes in after the next
  // attempt's purge, ahead of its echo; our own request then follows where the
  // reply should be. The device never answers, so the exchange must fail.
  link->SetLineMode(2);
  link->ReplyTimeout = 100;
  line->Echo = true;
  line->Device = [](const Bytes &) { return Bytes{0x01, 0xFD, 0xA7, 0xA7, 0xA7, 0xA7}; };
  // 250 ms: the garbage comes during the echo's wait and is taken as a wrong
  // echo; 350 ms: it comes after that wait and is skipped as the echo's rest.
  for (const uint64_t delay : {250, 350}) {
    SCOPED_TRACE(delay);
    line->Writes.clear();
    line->Incoming.clear();
    line->ReplyDelayMs = delay;
    EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SNoLink);
    EXPECT_EQ(line->Writes.size(), 3u);
  }
}

TEST_F(Exchange, ALateEchoIsSkippedAndTheReplyBehindItTaken) {
  // A device that answers with its command code as the status: its reply to
  // Finish is the request itself, byte for byte.
  const Bytes finish{0x06, 0xFB, 0x01, 0x00, 0x06, 0xF8};
  link->SetLineMode(2);
  link->ReplyTimeout = 100;
  line->Echo = true;
  line->Device = [](const Bytes &request) { return request; };
  std::vector<std::pair<FrameDirection, Bytes>> traced;
  link->FrameTrace = [&](FrameDirection d, const uint8_t *data, size_t count) {
    traced.emplace_back(d, Bytes(data, data + count));
  };
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 6); }), "");
  EXPECT_EQ(line->Writes, std::vector<Bytes>{finish}) << "sent once";
  EXPECT_EQ(traced.back(), std::make_pair(FrameDirection::Received, finish));

  // The whole echo after its wait: skipped, and the device's reply behind it
  // (the same bytes) is the reply.
  line->Writes.clear();
  traced.clear();
  line->EchoDelayMs = 150;
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 6); }), "");
  EXPECT_EQ(line->Writes.size(), 1u);
  EXPECT_EQ(traced,
            (std::vector<std::pair<FrameDirection, Bytes>>{{FrameDirection::Sent, finish},
                                                           {FrameDirection::Echo, finish},
                                                           {FrameDirection::Received, finish}}));

  // Part of the echo in time, the rest after the inter-byte wait: exactly
  // the three bytes still due are skipped.
  line->Writes.clear();
  line->Echo = false;
  line->ReplyDelayMs = 300;
  line->Device = [&](const Bytes &request) {
    for (size_t i = 0; i < request.size(); ++i)
      line->Incoming.push_back({clock.Now + (i < 3 ? 0 : 300), request[i]});
    return ReplyFrame(0, {0x42});
  };
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 10); }), "");
  EXPECT_EQ(line->Writes.size(), 1u);
  EXPECT_EQ(link->GetByte(), 0x42);
}

TEST_F(Exchange, EachTransmissionEmptiesBothQueuesFirst) {
  line->Device = [](const Bytes &) { return ReplyFrame(0); };
  const int before = line->InputPurges;
  link->SendCommand(251, 1);
  EXPECT_EQ(line->InputPurges, before + 1);
  EXPECT_EQ(line->OutputPurges, 1);
}

TEST_F(Exchange, AHungUpDeviceFailsPromptlyWithNoLink) {
  line->Device = [&](const Bytes &) {
    line->HungUp = true;
    return Bytes{0x12, 0xFB, 0x01};
  };
  link->ReplyTimeout = 60000;
  const uint64_t start = clock.Now;
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SNoLink);
  EXPECT_LT(clock.Now - start, 1000u) << "no waiting out the reply time-out";
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
      FakeLine &line = *parts.line;
      TZor_RS &link = *parts.link;
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
      const uint64_t start = parts.clock.Now;
      EXPECT_EQ(Failure([&] { link.SendCommand(251, 1); }), SNoLink);
      const uint64_t took = parts.clock.Now - start;
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
      return std::make_tuple(line.Writes, line.Refused, parts.clock.Pauses, took, link.Statistics);
    };
    EXPECT_EQ(converse(true), converse(false));
  }
}

TEST_F(Exchange, WithNoPortOpenEveryAttemptEndsWithNoLinkAfterTheDeadline) {
  link->ClosePort();
  link->ReplyTimeout = 100;
  const uint64_t start = clock.Now;
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SNoLink);
  EXPECT_GE(clock.Now - start, 300u);
}

TEST_F(Exchange, ASilentDeviceIsAwaitedWithoutSpinning) {
  link->ReplyTimeout = 100;
  {
    // With a user interface the link wakes only as often as it serves it...
    const ScopedProcessMessages pump([] {});
    EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SNoLink);
    EXPECT_GE(line->Waits, 300 / 10);
    EXPECT_LE(line->Waits, 300 / 4);
    EXPECT_EQ(line->ZeroWaits, 0);
  }
  // ...without one it sleeps on the port until a byte or the deadline comes.
  line->Waits = 0;
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SNoLink);
  EXPECT_LE(line->Waits, 6);
}

TEST_F(Exchange, GetStringReadsUpToAZeroByte) {
  line->Device = [](const Bytes &) { return ReplyFrame(0, {'P', 'I', 'C', 0, 'x'}); };
  link->SendCommand(251, 1);
  EXPECT_EQ(link->GetString(), "PIC");
  EXPECT_EQ(link->GetByte(), 'x');

  link->InBuffer.fill(0x41);
  link->ReadIndex = 5;
  EXPECT_THROW(link->GetString(), ERangeError);
}

// The window stays answering through a whole exchange: the pause before it,
// the echo, the wait for the reply and the pauses between attempts.
TEST_F(Exchange, TheUserInterfaceRunsAtLeastEveryTenMilliseconds) {
  std::vector<uint64_t> pumps;
  std::optional<ScopedProcessMessages> pump;
  pump.emplace([&] { pumps.push_back(clock.Now); });
  const auto longestGap = [&](uint64_t start) {
    uint64_t longest = 0;
    for (uint64_t at : pumps) {
      longest = std::max(longest, at - start);
      start = at;
    }
    return std::max(longest, clock.Now - start);
  };
  const auto times = [&] {
    std::string text;
    for (uint64_t at : pumps)
      text += std::to_string(at) + " ";
    return text + "end " + std::to_string(clock.Now);
  };
  link->SetLineMode(2);
  line->Echo = true;
  line->Device = [](const Bytes &) { return ReplyFrame(0); };
  line->ReplyDelayMs = 30;
  uint64_t start = clock.Now;
  link->SendCommand(251, 1);
  EXPECT_LE(longestGap(start), 10u) << "from " << start << ": " << times();
  EXPECT_LE(pumps.size(), 50u / 4) << "served, not flooded";

  pumps.clear();
  link->ReplyTimeout = 40;
  line->Device = nullptr; // silent: three attempts with the pauses between them
  start = clock.Now;
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SNoLink);
  EXPECT_LE(longestGap(start), 10u) << "from " << start << ": " << times();
  pump.reset();

  // The pauses keep their length: cut into slices, never shortened.
  link->SetLineMode(1);
  line->Echo = false;
  line->Device = [](const Bytes &) { return ReplyFrame(kStatusBusy); };
  clock.Pauses.clear();
  pump.emplace([] {});
  EXPECT_EQ(Failure([&] { link->SendCommand(251, 1); }), SDeviceBusy);
  pump.reset();
  uint64_t paused = 0;
  for (uint32_t slice : clock.Pauses) {
    EXPECT_LE(slice, 10u);
    paused += slice;
  }
  EXPECT_EQ(paused, 20u + 50u + 50u);
}
