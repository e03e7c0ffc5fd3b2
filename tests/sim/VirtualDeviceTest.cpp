// The virtual device driven through its pseudo-terminal with hand-built frames.
#include "sim/VirtualDevice.h"
#include "sim/HostSide.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using sim::DeviceOptions;
using sim::VirtualDevice;

namespace {

const Bytes kIdentify{0x06, 0xFB, 0x01, 0x00, 0x01, 0xFD};
const Bytes kFinish{0x06, 0xFB, 0x01, 0x00, 0x06, 0xF8};
const Bytes kQuery{0x06, 0x00, 0x00, 0x00, 0x00, 0xFA};
const Bytes kOkReply{0x06, 0xFB, 0x01, 0x00, 0x00, 0xFE};
const Bytes kBusyReply{0x06, 0xFB, 0x01, 0x00, 0xFF, 0xFF};

DeviceOptions Quiet() {
  DeviceOptions o;
  o.Echo = false;
  return o;
}

// Sends one request and takes one reply of `replyLength` bytes (echo off).
Bytes Exchange(HostSide &host, const Bytes &request, size_t replyLength = 6) {
  host.Send(request);
  return host.Read(replyLength);
}

void SendPage(HostSide &host, uint32_t address, uint8_t fill) {
  for (uint8_t i = 0; i < 12; ++i) {
    ASSERT_EQ(Exchange(host, Block(i, fill)), kOkReply);
  }
  ASSERT_EQ(Exchange(host, WritePage(address)), kOkReply);
}

class Running {
public:
  explicit Running(DeviceOptions o) : Echo(o.Echo), Device(std::move(o)) {
    Device.Start();
    Host = std::make_unique<HostSide>(Device.SlavePath(), Echo);
  }
  const bool Echo;
  VirtualDevice Device;
  std::unique_ptr<HostSide> Host;
};

} // namespace

TEST(VirtualDeviceFraming, IdentifyReplyIsExactAndFollowsTheEcho) {
  Running r{DeviceOptions{}};
  ASSERT_EQ(Frame(0xFB, 1), kIdentify);
  r.Host->Send(kIdentify);
  Bytes expected = kIdentify;
  const Bytes reply{0x12, 0xFB, 0x01, 0x00, 0x00, 0x61, 0x00, 0x00, 0x00,
                    0x30, 0x00, 0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x5B};
  expected.insert(expected.end(), reply.begin(), reply.end());
  EXPECT_EQ(r.Host->Read(expected.size()), expected);
  EXPECT_EQ(r.Device.CommandCount(1), 1u);
}

TEST(VirtualDeviceFraming, IdentifyCarriesTheConfiguredData) {
  DeviceOptions o = Quiet();
  o.DeviceCode = 0x01F5;
  o.DataByte2 = 0x12;
  o.DataByte3 = 0x34;
  o.DataByte4 = 0x3F;
  o.DataByte5 = 0x56;
  o.ResetVector = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
  Running r{o};
  Bytes reply = Exchange(*r.Host, kIdentify, 18);
  ASSERT_EQ(reply.size(), 18u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 17),
            (Bytes{0x12, 0xFB, 0x01, 0x00, 0x00, 0xF5, 0x01, 0x12, 0x34, 0x3F, 0x56, 0xA1, 0xA2,
                   0xA3, 0xA4, 0xA5, 0xA6}));
  EXPECT_EQ(Sum(reply), 0);
}

TEST(VirtualDeviceFraming, AddressQueryIsAnsweredWithOwnAddress) {
  Running r{Quiet()};
  EXPECT_EQ(Exchange(*r.Host, kQuery), kOkReply);
}

TEST(VirtualDeviceFraming, IgnoresBadChecksumOtherAddressAndShortLength) {
  Running r{Quiet()};
  Bytes badSum = kIdentify;
  badSum.back() ^= 0x01;
  r.Host->Send(badSum);
  r.Host->Send(Frame(250, 1));
  r.Host->Send({0x05});            // a length below 6 is dropped alone
  r.Host->Send(Frame(0x00, 0x01)); // address 0, but not the query
  r.Host->Send(kFinish);
  ASSERT_TRUE(r.Device.WaitForRequests(4, 5s));
  // The only reply is Finish's: nothing went out for the others.
  EXPECT_EQ(r.Host->ReadFor(300ms), kOkReply);
  EXPECT_EQ(r.Device.IgnoredFrames(), 4u);
  EXPECT_EQ(r.Device.AcceptedFrames(), 1u);
  // Every complete frame is kept byte for byte, in order.
  EXPECT_EQ(r.Device.Requests(), (std::vector<Bytes>{badSum, Frame(250, 1), Frame(0, 1), kFinish}));
}

TEST(VirtualDeviceFraming, PauseInsideFrameDiscardsThePartialFrame) {
  Running r{Quiet()};
  // Split without a pause: still one frame.
  r.Host->Send({0x06, 0xFB, 0x01});
  r.Host->Send({0x00, 0x06, 0xF8});
  EXPECT_EQ(r.Host->Read(6), kOkReply);
  r.Host->Send({0x06, 0xFB, 0x01});
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Exchange(*r.Host, kIdentify, 18).size(), 18u);
  EXPECT_EQ(r.Device.DiscardedPartials(), 1u);
  EXPECT_EQ(r.Device.CommandCount(1), 1u);
  EXPECT_EQ(r.Device.CommandCount(6), 1u);
}

TEST(VirtualDeviceFraming, EchoOffSendsOnlyTheReply) {
  Running r{Quiet()};
  r.Host->Send(kFinish);
  EXPECT_EQ(r.Host->Read(6), kOkReply);
  EXPECT_TRUE(r.Device.WaitForFinish(5s));
  EXPECT_TRUE(r.Device.FinishReceived());
}

TEST(VirtualDeviceFraming, HostMayCloseAndReopen) {
  Running r{Quiet()};
  r.Host->Close();
  HostSide again(r.Device.SlavePath());
  EXPECT_EQ(Exchange(again, kQuery), kOkReply);
}

TEST(VirtualDeviceMemory, PagesLandAtTheirAddressesAndInTheMemoryFile) {
  Running r{Quiet()};
  SendPage(*r.Host, 0x0000, 0x10);
  SendPage(*r.Host, 0x1000, 0x50); // page 5
  auto pages = r.Device.Pages();
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages.at(0x0000), PageContent(0x10));
  EXPECT_EQ(pages.at(0x1000), PageContent(0x50));
  EXPECT_EQ(r.Device.IncompletePages(), 0u);
  EXPECT_EQ(r.Device.CommandCount(10), 24u);
  EXPECT_EQ(r.Device.CommandCount(20), 2u);

  // Flat layout: page p at (p-1)*1536, pages 2 to 4 erased.
  Bytes expected(5 * 1536, 0xFF);
  Bytes p1 = PageContent(0x10), p5 = PageContent(0x50);
  std::copy(p1.begin(), p1.end(), expected.begin());
  std::copy(p5.begin(), p5.end(), expected.begin() + 4 * 1536);
  EXPECT_EQ(r.Device.MemoryImage(), expected);

  const auto path = std::filesystem::temp_directory_path() /
                    ("korvalen-sim-memory-" + std::to_string(::getpid()) + ".bin");
  r.Device.WriteMemory(path.string());
  std::ifstream in(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(path);
  EXPECT_EQ(file, expected);
  EXPECT_THROW(r.Device.WriteMemory("/nonexistent-dir/x.bin"), std::runtime_error);
}

TEST(VirtualDeviceMemory, PageWithMissingBlocksIsCountedAndShowsErased) {
  Running r{Quiet()};
  ASSERT_EQ(Exchange(*r.Host, Block(0, 0x20)), kOkReply);
  ASSERT_EQ(Exchange(*r.Host, Block(11, 0x20)), kOkReply);
  ASSERT_EQ(Exchange(*r.Host, WritePage(0x10000)), kOkReply); // page 65: 00 00 01
  EXPECT_EQ(r.Device.IncompletePages(), 1u);
  Bytes page = r.Device.Pages().at(0x10000);
  Bytes full = PageContent(0x20);
  EXPECT_TRUE(std::equal(full.begin(), full.begin() + 128, page.begin()));
  EXPECT_TRUE(std::all_of(page.begin() + 128, page.begin() + 11 * 128,
                          [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(full.begin() + 11 * 128, full.end(), page.begin() + 11 * 128));
  // The record of arrived blocks starts afresh after each WritePage.
  ASSERT_EQ(Exchange(*r.Host, WritePage(0x0000)), kOkReply);
  EXPECT_EQ(r.Device.IncompletePages(), 2u);
  EXPECT_EQ(r.Device.MemoryImage().size(), 65u * 1536);
}

TEST(VirtualDeviceMemory, MalformedRequestsAreRefusedWithoutBusy) {
  Running r{Quiet()};
  const Bytes refused{0x06, 0xFB, 0x01, 0x00, 0x01, 0xFD};
  Bytes badIndex = Block(12, 0);
  EXPECT_EQ(Exchange(*r.Host, badIndex), refused);
  EXPECT_EQ(Exchange(*r.Host, Frame(0xFB, 10, Bytes(10, 0))), refused);
  EXPECT_EQ(Exchange(*r.Host, Frame(0xFB, 20, {0x00, 0x10})), refused);
  EXPECT_EQ(Exchange(*r.Host, WritePage(0x0200)), refused); // off a page boundary
  EXPECT_EQ(Exchange(*r.Host, Frame(0xFB, 0x33)), (Bytes{0x06, 0xFB, 0x01, 0x00, 0x02, 0xFC}));
  EXPECT_EQ(r.Device.RejectedCommands(), 5u);
  EXPECT_TRUE(r.Device.Pages().empty());
}

TEST(VirtualDeviceFaults, BusyFramesAndBurstAreNotCarriedOut) {
  DeviceOptions o = Quiet();
  o.BusyFrames = {2};
  o.BusyBurstStart = 4;
  o.BusyBurstLength = 2;
  Running r{o};
  EXPECT_EQ(Exchange(*r.Host, kQuery), kOkReply);    // 1
  EXPECT_EQ(Exchange(*r.Host, kFinish), kBusyReply); // 2
  EXPECT_FALSE(r.Device.FinishReceived());
  EXPECT_EQ(Exchange(*r.Host, kQuery), kOkReply);   // 3
  EXPECT_EQ(Exchange(*r.Host, kQuery), kBusyReply); // 4
  EXPECT_EQ(Exchange(*r.Host, kQuery), kBusyReply); // 5
  EXPECT_EQ(Exchange(*r.Host, kFinish), kOkReply);  // 6
  EXPECT_TRUE(r.Device.FinishReceived());
}

TEST(VirtualDeviceFaults, RandomFaultsRepeatWithTheSeed) {
  auto pattern = [](uint32_t seed) {
    DeviceOptions o = Quiet();
    o.BusyRate = 0.5;
    o.DamageRate = 0.3;
    o.Seed = seed;
    Running r{o};
    std::string marks;
    for (int i = 0; i < 40; ++i) {
      Bytes reply = Exchange(*r.Host, kQuery);
      marks += reply.size() != 6 ? '?' : reply[4] == 0xFF ? 'B' : Sum(reply) != 0 ? 'D' : '.';
    }
    return marks;
  };
  const std::string first = pattern(7);
  EXPECT_EQ(first, pattern(7));
  EXPECT_NE(first.find('B'), std::string::npos);
  EXPECT_NE(first.find('D'), std::string::npos);
  EXPECT_NE(first.find('.'), std::string::npos);
  EXPECT_EQ(first.find('?'), std::string::npos);
}

TEST(VirtualDeviceFaults, DamagedChecksumStillCarriesTheCommandOut) {
  DeviceOptions o = Quiet();
  o.DamageFrames = {2};
  Running r{o};
  EXPECT_EQ(Exchange(*r.Host, kQuery), kOkReply);
  Bytes damaged = Exchange(*r.Host, kFinish);
  ASSERT_EQ(damaged.size(), 6u);
  EXPECT_NE(Sum(damaged), 0);
  EXPECT_EQ(Bytes(damaged.begin(), damaged.end() - 1), Bytes(kOkReply.begin(), kOkReply.end() - 1));
  EXPECT_TRUE(r.Device.FinishReceived());
}

TEST(VirtualDeviceFaults, SilentPollsAndWithheldReplies) {
  DeviceOptions o = Quiet();
  o.SilentPolls = 2;
  o.NoReply = sim::NoReplyFault{10, 2};
  Running r{o};
  r.Host->Send(kIdentify);
  r.Host->Send(kIdentify);
  ASSERT_TRUE(r.Device.WaitForRequests(2, 5s));
  EXPECT_TRUE(r.Host->ReadFor(200ms).empty());
  EXPECT_EQ(Exchange(*r.Host, kIdentify, 18).size(), 18u);

  EXPECT_EQ(Exchange(*r.Host, Block(0, 1)), kOkReply);
  r.Host->Send(Block(1, 1)); // the second WriteBlock: stored, not answered
  ASSERT_TRUE(r.Device.WaitForRequests(5, 5s));
  EXPECT_TRUE(r.Host->ReadFor(200ms).empty());
  EXPECT_EQ(Exchange(*r.Host, Block(2, 1)), kOkReply);
  EXPECT_EQ(r.Device.CommandCount(10), 3u);
  EXPECT_EQ(r.Device.CommandCount(1), 3u);
}

TEST(VirtualDeviceFaults, HangupClosesTheLineAfterTheReply) {
  DeviceOptions o = Quiet();
  o.HangupAfter = 2;
  Running r{o};
  EXPECT_EQ(Exchange(*r.Host, kQuery), kOkReply);
  EXPECT_EQ(Exchange(*r.Host, kQuery), kOkReply); // the reply still goes out
  EXPECT_TRUE(r.Host->SeesHangup(5s));
  EXPECT_TRUE(r.Device.HungUp());
  r.Device.Stop(); // and stops cleanly afterwards
}

TEST(VirtualDevicePacing, ReplyNeverComesBeforeTheRequestsLineTime) {
  DeviceOptions o;
  o.PaceBaud = 9600;
  Running r{o};
  const Bytes request = Frame(0xFB, 0x33, Bytes(94, 0xA5)); // 100 bytes
  ASSERT_EQ(request.size(), 100u);
  const auto sent = std::chrono::steady_clock::now();
  r.Host->Send(request);
  EXPECT_EQ(r.Host->Read(100), request); // echo first
  Bytes reply = r.Host->Read(6);
  const auto elapsed = std::chrono::steady_clock::now() - sent;
  EXPECT_EQ(reply.size(), 6u);
  // 106 bytes of 11 bits at 9600 bit/s: 121 ms on the wire at the least.
  EXPECT_GE(elapsed, 120ms);
}

TEST(VirtualDevicePacing, WritePageWaitsForTheDeviceDelay) {
  DeviceOptions o = Quiet();
  o.WriteDelayMs = 300;
  Running r{o};
  const auto sent = std::chrono::steady_clock::now();
  EXPECT_EQ(Exchange(*r.Host, WritePage(0)), kOkReply);
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 300ms);
}

// Through the adapter model nothing reaches the host before its packet is
// full or the latency timer of its first byte has run out; every byte comes.
TEST(VirtualDevicePacing, AnAdapterHoldsWhatTheDeviceSendsInPackets) {
  struct Case {
    const char *Name;
    uint32_t Baud, LatencyMs;
    Bytes Request;
    size_t ReplyBytes;
    std::chrono::milliseconds FirstByteNotBefore;
  };
  const Bytes block = Block(0, 0x11); // 135 bytes: echoed in three packets
  const std::vector<Case> cases = {
      // 6 echoed + 18 reply bytes, all within one timer: one packet at 16 ms.
      {"identify, unpaced", 0, 16, kIdentify, 18, 16ms},
      // The first packet is full when its 62nd byte has crossed the line:
      // 62 x 11 bits at 19200 bit/s = 35.5 ms, before the 100 ms timer.
      {"write block, packet full first", 19200, 100, block, 6, 35ms},
      {"write block, no adapter", 0, 0, block, 6, 0ms},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    DeviceOptions o;
    o.PaceBaud = c.Baud;
    o.AdapterLatencyMs = c.LatencyMs;
    Running r{o};
    const auto sent = std::chrono::steady_clock::now();
    r.Host->Send(c.Request);
    const Bytes first = r.Host->Read(1);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, c.FirstByteNotBefore);
    Bytes rest = r.Host->Read(c.Request.size() + c.ReplyBytes - 1);
    rest.insert(rest.begin(), first.begin(), first.end());
    ASSERT_EQ(rest.size(), c.Request.size() + c.ReplyBytes);
    EXPECT_EQ(Bytes(rest.begin(), rest.begin() + static_cast<long>(c.Request.size())), c.Request);
    EXPECT_EQ(Sum(Bytes(rest.begin() + static_cast<long>(c.Request.size()), rest.end())), 0);
  }
}

TEST(VirtualDeviceLifecycle, LinkIsMadeReplacedAndRemoved) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("korvalen-sim-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path link = dir / "COM3";
  fs::create_symlink("/nonexistent/stale", link);
  DeviceOptions o = Quiet();
  o.LinkPath = link.string();
  {
    VirtualDevice device(o);
    device.Start();
    EXPECT_EQ(fs::read_symlink(link).string(), device.SlavePath());
    HostSide host(link.string());
    EXPECT_EQ(Exchange(host, kQuery), kOkReply);
    device.Stop();
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  }
  {
    // A second device takes over a link to a pseudo-terminal; the first then
    // leaves it alone on Stop.
    VirtualDevice first(o), second(o);
    first.Start();
    second.Start();
    EXPECT_EQ(fs::read_symlink(link).string(), second.SlavePath());
    first.Stop();
    EXPECT_EQ(fs::read_symlink(link).string(), second.SlavePath());
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  // A link to a live device that is not a pseudo-terminal, or a plain file,
  // is somebody else's.
  fs::create_symlink("/dev/null", link);
  VirtualDevice toDevice(o);
  EXPECT_THROW(toDevice.Start(), std::runtime_error);
  EXPECT_EQ(fs::read_symlink(link), "/dev/null");
  fs::remove(link);
  std::ofstream(link.string()) << "not ours";
  VirtualDevice refused(o);
  EXPECT_THROW(refused.Start(), std::runtime_error);
  EXPECT_TRUE(fs::is_regular_file(link));
  fs::remove_all(dir);
}

namespace {

namespace fs = std::filesystem;

// The device keeps each fixture change at its scheduled moment, so the
// pauses between its records are exact.
constexpr double kExactMs = 0.01;

fs::path FixtureDir() {
  const fs::path dir =
      fs::temp_directory_path() / ("korvalen-sim-fixture-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// Board k's memory after LoadPageAndFinish(host, (k-1)*1024, k).
Bytes BoardImage(uint32_t board) {
  Bytes image((board - 1) * 1536, 0xFF);
  const Bytes page = PageContent(static_cast<uint8_t>(board));
  image.insert(image.end(), page.begin(), page.end());
  return image;
}

sim::FixtureOptions Boards(uint32_t count, uint32_t outAfterMs, uint32_t gapMs) {
  sim::FixtureOptions f;
  f.Boards = count;
  f.OutAfterMs = outAfterMs;
  f.GapMs = gapMs;
  return f;
}

} // namespace

// The host loads every board that reports code 97 with a page of its own and
// polls until it is gone, as its repeat mode does; the device's records then
// show each board's clock, memory and memory file.
TEST(VirtualDeviceFixture, BoardsComeAndGoOnTheirClock) {
  struct Case {
    const char *Name;
    sim::FixtureOptions Fixture;
    bool Echo;
    uint32_t SilentPolls;
  };
  sim::FixtureOptions late = Boards(3, 300, 200);
  late.FirstAfterMs = 200;
  late.StayMs = 400;
  late.RejectedBoards = {2};
  sim::FixtureOptions answering = Boards(2, 300, 200);
  answering.AnswersAfterFinish = true;
  const std::vector<Case> cases = {
      {"loaded one after the other", Boards(3, 300, 250), false, 0},
      {"late first board, a rejected one, echo, silent polls per board", late, true, 2},
      {"boards answer after Finish", answering, false, 0},
  };
  const fs::path dir = FixtureDir();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    DeviceOptions o;
    o.Echo = c.Echo;
    o.SilentPolls = c.SilentPolls;
    o.Fixture = c.Fixture;
    o.Fixture.MemoryOut = (dir / "memory").string();
    Running r{o};
    if (c.Fixture.FirstAfterMs > 0) {
      EXPECT_TRUE(r.Host->Ask(kIdentify, 18, 100ms).empty()) << "no board yet";
    }
    for (uint32_t k = 1; k <= c.Fixture.Boards; ++k) {
      SCOPED_TRACE("board " + std::to_string(k));
      ASSERT_TRUE(r.Device.WaitForBoardIn(k, 5s));
      int polls = 0;
      const Bytes identify = PollUntilAnswered(*r.Host, 5s, &polls);
      ASSERT_EQ(identify.size(), 18u);
      EXPECT_EQ(polls, static_cast<int>(c.SilentPolls) + 1) << "polls count afresh per board";
      const bool rejected = c.Fixture.RejectedBoards.count(k) != 0;
      EXPECT_EQ(identify[5], rejected ? 0 : 97);
      if (!rejected) {
        ASSERT_TRUE(LoadPageAndFinish(*r.Host, (k - 1) * 1024, static_cast<uint8_t>(k)));
        EXPECT_EQ(r.Host->Ask(kIdentify, 18, 100ms).size(), c.Fixture.AnswersAfterFinish ? 18u : 0u)
            << "after Finish a board runs its program";
        EXPECT_EQ(r.Device.PresentBoard(), k) << "and is still in";
      }
      EXPECT_TRUE(PollUntilSilent(*r.Host, 10s));
      ASSERT_TRUE(r.Device.WaitForBoardOut(k, 10s));
    }
    EXPECT_TRUE(r.Device.FixtureDone());
    EXPECT_EQ(r.Device.PresentBoard(), 0u);
    // Nothing answers, but the line still echoes (Ask checks the echo).
    EXPECT_TRUE(r.Host->Ask(kIdentify, 18, 200ms).empty());

    const auto boards = r.Device.Boards();
    ASSERT_EQ(boards.size(), c.Fixture.Boards);
    EXPECT_NEAR(boards[0].InMs, c.Fixture.FirstAfterMs, kExactMs);
    for (const sim::BoardRecord &b : boards) {
      SCOPED_TRACE("record of board " + std::to_string(b.Number));
      ASSERT_TRUE(b.OutMs && b.FirstAnswerMs);
      const bool rejected = c.Fixture.RejectedBoards.count(b.Number) != 0;
      EXPECT_EQ(b.Rejected, rejected);
      if (b.Number > 1) {
        EXPECT_NEAR(b.InMs - *boards[b.Number - 2].OutMs, c.Fixture.GapMs, kExactMs);
      }
      const fs::path file = dir / ("memory." + std::to_string(b.Number));
      if (rejected) {
        EXPECT_NEAR(*b.OutMs - *b.FirstAnswerMs, c.Fixture.StayMs, kExactMs);
        EXPECT_TRUE(fs::exists(file));
        EXPECT_TRUE(ReadFile(file).empty());
        continue;
      }
      ASSERT_TRUE(b.FinishAnsweredMs);
      EXPECT_NEAR(*b.OutMs - *b.FinishAnsweredMs, c.Fixture.OutAfterMs, kExactMs);
      EXPECT_EQ(b.FramesAfterFinish > 0, c.Fixture.AnswersAfterFinish);
      // Each board came in erased: it holds its own page and nothing before.
      EXPECT_EQ(r.Device.BoardMemoryImage(b.Number), BoardImage(b.Number));
      EXPECT_EQ(ReadFile(file), BoardImage(b.Number));
    }
  }
  fs::remove_all(dir);
}
