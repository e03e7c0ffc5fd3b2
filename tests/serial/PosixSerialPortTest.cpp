#include "link/serial/PosixSerialPort.h"
#include "serial/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <grp.h>
#include <numeric>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Generous: these bound hangs, they do not time anything.
constexpr auto kNoHang = 10s;

std::vector<uint8_t> AllByteValues() {
  std::vector<uint8_t> bytes(256);
  std::iota(bytes.begin(), bytes.end(), uint8_t{0});
  return bytes;
}

// Reads until `count` bytes, a hang-up or the no-hang bound, waiting on the
// port between reads as the link does.
std::vector<uint8_t> ReadUpTo(SerialPort &port, size_t count, ReadResult *last = nullptr) {
  std::vector<uint8_t> bytes;
  ReadResult result = ReadResult::None;
  const auto deadline = SteadyClock::now() + kNoHang;
  while (bytes.size() < count && SteadyClock::now() < deadline) {
    uint8_t byte = 0;
    result = port.ReadByte(byte);
    if (result == ReadResult::Byte)
      bytes.push_back(byte);
    else if (result == ReadResult::HungUp)
      break;
    else
      port.WaitReadable(100);
  }
  if (last)
    *last = result;
  return bytes;
}

bool SameSettings(const termios &a, const termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         a.c_cflag == b.c_cflag && cfgetospeed(&a) == cfgetospeed(&b) &&
         std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

class PosixSerialPortTest : public ::testing::Test {
protected:
  PseudoTerminal FDevice;
  PosixSerialPlatform FPlatform{PortTable::Single(FDevice.SlavePath())};
};
} // namespace

TEST_F(PosixSerialPortTest, EveryByteValuePassesUnchangedBothWaysWithoutEcho) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  const std::vector<uint8_t> all = AllByteValues();

  FDevice.Send(all);
  EXPECT_EQ(ReadUpTo(*port, all.size()), all);
  EXPECT_FALSE(FDevice.HasInput()) << "the terminal echoed what the device sent";

  ASSERT_TRUE(port->Write(all.data(), all.size()));
  EXPECT_EQ(FDevice.Receive(all.size()), all);
  uint8_t byte = 0;
  EXPECT_EQ(port->ReadByte(byte), ReadResult::None);
}

TEST_F(PosixSerialPortTest, OpenIsExclusiveAndProbeSeesItHeld) {
  EXPECT_TRUE(FPlatform.Probe(1));
  // The probe neither takes nor leaves anything.
  EXPECT_TRUE(FPlatform.Probe(1));
  EXPECT_EQ(FPlatform.Status(1), PortStatus::Free);
  {
    auto port = FPlatform.Open(1);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(FPlatform.Open(1), nullptr);
    EXPECT_FALSE(FPlatform.Probe(1));
    EXPECT_EQ(FPlatform.Status(1), PortStatus::Busy);

    // The lock follows a symbolic link to the same device.
    TemporaryFolder folder;
    std::filesystem::create_symlink(FDevice.SlavePath(), folder.Path() / "COM3");
    PosixSerialPlatform throughLink(PortTable::FromFolder(folder.Path()));
    EXPECT_FALSE(throughLink.Probe(3));
    EXPECT_EQ(throughLink.Open(3), nullptr);
  }
  EXPECT_TRUE(FPlatform.Probe(1));
  EXPECT_NE(FPlatform.Open(1), nullptr);
}

TEST_F(PosixSerialPortTest, LineSettingsReadBackAsSet) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  LineSettings state;
  ASSERT_TRUE(port->GetState(state));
  EXPECT_EQ(state.ByteSize, 8); // made raw 8-bit by the open
  EXPECT_EQ(state.Parity, 0);

  const LineSettings cases[] = {
      {19200, 8, 0, 2},
      {9600, 8, 0, 0},
      {115200, 8, 0, 2},
      {1200, 8, 0, 0},
  };
  for (const LineSettings &wanted : cases) {
    ASSERT_TRUE(port->SetState(wanted)) << wanted.BaudRate;
    LineSettings got;
    ASSERT_TRUE(port->GetState(got));
    EXPECT_EQ(got.BaudRate, wanted.BaudRate);
    EXPECT_EQ(got.ByteSize, wanted.ByteSize);
    EXPECT_EQ(got.Parity, wanted.Parity);
    EXPECT_EQ(got.StopBits, wanted.StopBits);
  }

  // One and a half stop bits are held as two.
  ASSERT_TRUE(port->SetState({19200, 8, 0, 1}));
  ASSERT_TRUE(port->GetState(state));
  EXPECT_EQ(state.StopBits, 2);
}

TEST_F(PosixSerialPortTest, FrameTheDriverDoesNotHoldIsReported) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  // A pseudo-terminal always carries 8 bits without parity.
  EXPECT_FALSE(port->SetState({9600, 7, 2, 0}));
  EXPECT_FALSE(port->SetState({9600, 8, 3, 0}));
  const PortError notHeld = port->LastError();
  EXPECT_EQ(notHeld.Fault, PortFault::Other);
  EXPECT_EQ(notHeld.Code, 0) << "the port's own finding: " << notHeld.Describe();
  LineSettings state;
  ASSERT_TRUE(port->GetState(state));
  EXPECT_EQ(state.ByteSize, 8);
  EXPECT_EQ(state.Parity, 0);
  EXPECT_EQ(port->LastError().Describe(), notHeld.Describe()) << "a success leaves the reason";
}

TEST_F(PosixSerialPortTest, NonstandardRateIsKept) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetState({250000, 8, 0, 2}));
  LineSettings state;
  ASSERT_TRUE(port->GetState(state));
  EXPECT_EQ(state.BaudRate, 250000u);
  // Changing another field keeps the rate.
  ASSERT_TRUE(port->SetState({250000, 8, 0, 0}));
  ASSERT_TRUE(port->GetState(state));
  EXPECT_EQ(state.BaudRate, 250000u);
  EXPECT_EQ(state.StopBits, 0);
}

TEST_F(PosixSerialPortTest, InvalidRecordChangesNothing) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  const LineSettings before{19200, 8, 0, 2};
  ASSERT_TRUE(port->SetState(before));
  const LineSettings invalid[] = {
      {0, 8, 0, 2}, // rate 0 would hang the line up
      {9600, 9, 0, 2}, {9600, 4, 0, 2}, {9600, 8, 5, 2}, {9600, 8, 0, 3},
  };
  for (const LineSettings &record : invalid) {
    EXPECT_FALSE(port->SetState(record));
    LineSettings state;
    ASSERT_TRUE(port->GetState(state));
    EXPECT_EQ(state.BaudRate, before.BaudRate);
    EXPECT_EQ(state.ByteSize, before.ByteSize);
    EXPECT_EQ(state.Parity, before.Parity);
    EXPECT_EQ(state.StopBits, before.StopBits);
  }
}

TEST_F(PosixSerialPortTest, OpenSequenceOnADeviceWithoutModemLines) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  EXPECT_TRUE(port->SetQueues(1048576, 1048576));
  EXPECT_TRUE(port->SetReadsReturnAtOnce());
  EXPECT_TRUE(port->SetDTR());
  EXPECT_TRUE(port->SetRTS());
  EXPECT_TRUE(port->ClearRTS());
  EXPECT_TRUE(port->PurgeOutput());

  FDevice.Send({0x55});
  port->WaitReadable(5000);
  EXPECT_TRUE(port->PurgeInput());
  uint8_t byte = 0;
  EXPECT_EQ(port->ReadByte(byte), ReadResult::None);

  // Still a working port after all that.
  FDevice.Send({0xA5});
  EXPECT_EQ(ReadUpTo(*port, 1), std::vector<uint8_t>{0xA5});
}

TEST_F(PosixSerialPortTest, PurgeInputAlsoDropsBytesAlreadyTakenFromTheDriver) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  // A stale reply: the port takes it from the driver in one read, hands out
  // one byte, and keeps the rest. Emptying the receive queue must drop that
  // rest too, or it would be read as the start of the next reply.
  FDevice.Send({0x12, 0x34, 0x56, 0x78});
  port->WaitReadable(5000);
  std::this_thread::sleep_for(50ms);
  uint8_t byte = 0;
  ASSERT_EQ(port->ReadByte(byte), ReadResult::Byte);
  EXPECT_EQ(byte, 0x12);
  EXPECT_TRUE(port->PurgeInput());
  EXPECT_EQ(port->ReadByte(byte), ReadResult::None);
  FDevice.Send({0x9A});
  EXPECT_EQ(ReadUpTo(*port, 1), std::vector<uint8_t>{0x9A});
}

TEST_F(PosixSerialPortTest, WaitReadableWaitsForDataWithoutReturningBefore) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  const auto start = SteadyClock::now();
  port->WaitReadable(200);
  EXPECT_GE(SteadyClock::now() - start, 150ms);

  auto sender = std::async(std::launch::async, [this] {
    std::this_thread::sleep_for(300ms);
    FDevice.Send({0x42});
  });
  const auto waitStart = SteadyClock::now();
  port->WaitReadable(60000);
  const auto waited = SteadyClock::now() - waitStart;
  sender.get();
  EXPECT_GE(waited, 250ms);
  EXPECT_LT(waited, kNoHang);
  uint8_t byte = 0;
  EXPECT_EQ(port->ReadByte(byte), ReadResult::Byte);
  EXPECT_EQ(byte, 0x42);
}

TEST_F(PosixSerialPortTest, DeviceThatHangsUpMidReplyIsReportedPromptly) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  const std::vector<uint8_t> reply{0x07, 0xFB, 0x01, 0x00};
  FDevice.Send(reply);
  FDevice.CloseMaster();

  ReadResult last = ReadResult::None;
  const std::vector<uint8_t> got = ReadUpTo(*port, 1000, &last);
  EXPECT_EQ(last, ReadResult::HungUp);
  // Whatever came before the hang-up is a true prefix of the reply.
  ASSERT_LE(got.size(), reply.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), reply.begin()));

  uint8_t byte = 0;
  EXPECT_EQ(port->ReadByte(byte), ReadResult::HungUp);
  const auto start = SteadyClock::now();
  port->WaitReadable(60000);
  EXPECT_FALSE(port->Write(reply.data(), reply.size()));
  EXPECT_LT(SteadyClock::now() - start, kNoHang);
}

TEST_F(PosixSerialPortTest, WaitReadableWakesWhenTheDeviceGoes) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  auto closer = std::async(std::launch::async, [this] {
    std::this_thread::sleep_for(200ms);
    FDevice.CloseMaster();
  });
  const auto start = SteadyClock::now();
  port->WaitReadable(60000);
  EXPECT_LT(SteadyClock::now() - start, kNoHang);
  closer.get();
  uint8_t byte = 0;
  EXPECT_EQ(port->ReadByte(byte), ReadResult::HungUp);
}

TEST_F(PosixSerialPortTest, WriteToADeviceThatTakesNothingGivesUp) {
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  // Fast line, so the bound is the two-second stall, not the line time.
  ASSERT_TRUE(port->SetState({4000000, 8, 0, 2}));
  // The device never reads: the terminal's queue fills and stays full.
  const std::vector<uint8_t> flood(256 * 1024, 0x5A);
  const auto start = SteadyClock::now();
  EXPECT_FALSE(port->Write(flood.data(), flood.size()));
  EXPECT_LT(SteadyClock::now() - start, 30s);
  EXPECT_EQ(port->LastError().Fault, PortFault::Other);
  EXPECT_EQ(port->LastError().Code, 0) << "the port gave up, the system refused nothing";
  uint8_t byte = 0;
  EXPECT_EQ(port->ReadByte(byte), ReadResult::None) << "and the port stays open";
}

// However the port learns that the device is gone (a read, a wait, a write),
// it says so with the system's reason, keeps saying it, and stays gone.
TEST_F(PosixSerialPortTest, AHangUpKeepsTheSystemsReasonHoweverItIsSeen) {
  const std::vector<uint8_t> request{0x06, 0xFB, 0x01, 0x00, 0x01, 0xFD};
  const std::vector<std::pair<const char *, std::function<void(SerialPort &)>>> seenBy = {
      {"a read",
       [](SerialPort &port) {
         uint8_t byte = 0;
         port.ReadByte(byte);
       }},
      {"a wait", [](SerialPort &port) { port.WaitReadable(1000); }},
      {"a write", [&](SerialPort &port) { EXPECT_FALSE(port.Write(request.data(), 6)); }},
  };
  for (const auto &[name, see] : seenBy) {
    SCOPED_TRACE(name);
    PseudoTerminal device;
    PosixSerialPlatform platform{PortTable::Single(device.SlavePath())};
    auto port = platform.Open(1);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->LastError().Fault, PortFault::None);
    device.CloseMaster();
    see(*port);
    uint8_t byte = 0;
    EXPECT_EQ(port->ReadByte(byte), ReadResult::HungUp);
    const PortError reason = port->LastError();
    EXPECT_EQ(reason.Fault, PortFault::Gone) << reason.Describe();
    EXPECT_FALSE(reason.Name.empty());
    EXPECT_FALSE(reason.Text.empty());
    EXPECT_EQ(port->ReadByte(byte), ReadResult::HungUp);
    EXPECT_FALSE(port->Write(request.data(), request.size()));
    EXPECT_EQ(port->LastError().Describe(), reason.Describe()) << "the reason stays";
  }
}

TEST(PosixSerialPlatformTest, MissingDeviceIsNeitherPresentNorOpened) {
  TemporaryFolder folder;
  PosixSerialPlatform platform(PortTable::Single((folder.Path() / "ttyNone").string()));
  EXPECT_FALSE(platform.Probe(1));
  EXPECT_EQ(platform.Status(1), PortStatus::Absent);
  EXPECT_EQ(platform.Open(1), nullptr);
  EXPECT_FALSE(platform.Probe(2));
  EXPECT_EQ(platform.DevicePath(2), "");
}

TEST_F(PosixSerialPortTest, ClosingPutsTheTerminalBackAsItWas) {
  const termios cooked = FDevice.SlaveSettings();
  {
    auto port = FPlatform.Open(1);
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(port->SetState({250000, 8, 0, 2}));
    EXPECT_FALSE(SameSettings(FDevice.SlaveSettings(), cooked)) << "open makes it raw";
  }
  EXPECT_TRUE(SameSettings(FDevice.SlaveSettings(), cooked));
}

TEST_F(PosixSerialPortTest, PortsStillOpenArePutBackForAProgramThatEndsAtOnce) {
  const termios cooked = FDevice.SlaveSettings();
  auto port = FPlatform.Open(1);
  ASSERT_NE(port, nullptr);
  RestoreOpenPortSettings();
  EXPECT_TRUE(SameSettings(FDevice.SlaveSettings(), cooked));
  port.reset();
  // A closed port is no longer among them: nothing is put back twice.
  auto again = FPlatform.Open(1);
  ASSERT_NE(again, nullptr);
  again.reset();
  RestoreOpenPortSettings();
  EXPECT_TRUE(SameSettings(FDevice.SlaveSettings(), cooked));
}

// A port the user may not open is there, but not free: the desktop program
// does not offer it, the command line says why.
TEST_F(PosixSerialPortTest, APortThisUserMayNotOpenIsPresentButNotFree) {
  ASSERT_EQ(chmod(FDevice.SlavePath().c_str(), 0600), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Root opens anything: look as an ordinary user who is not in the group.
    const bool root = geteuid() == 0;
    if (root && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(10);
    if (!root && chmod(FDevice.SlavePath().c_str(), 0) != 0)
      _exit(11);
    PosixSerialPlatform platform{PortTable::Single(FDevice.SlavePath())};
    if (platform.Status(1) != PortStatus::NoPermission)
      _exit(1);
    _exit(!platform.Probe(1) && platform.Open(1) == nullptr && IsPresent(platform.Status(1)) ? 0
                                                                                             : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

namespace {
// A driver that knows the low-latency flag, as a USB adapter's does: the flag
// of each descriptor, and every write of it in order.
struct FakeLatencyDriver {
  static inline bool Known = true;
  static inline bool Flag = false;
  static inline std::vector<bool> Writes;
  static bool Read(int, bool &on) {
    on = Flag;
    return Known;
  }
  static bool Write(int, bool on) {
    Writes.push_back(on);
    Flag = on;
    return Known;
  }
};
} // namespace

// Opening asks the driver for low latency, closing puts the flag back as it
// was; a driver that does not know the request opens all the same.
TEST_F(PosixSerialPortTest, OpenAsksForLowLatencyAndCloseRestoresTheFlag) {
  struct Case {
    const char *Name;
    bool Known, FlagBefore;
    std::vector<bool> WritesWhileOpen, WritesInAll;
  };
  const std::vector<Case> cases = {
      {"flag off before", true, false, {true}, {true, false}},
      {"flag already on", true, true, {}, {}},
      {"driver without the request", false, false, {}, {}},
  };
  PosixPortSeams seams;
  seams.ReadLowLatency = FakeLatencyDriver::Read;
  seams.WriteLowLatency = FakeLatencyDriver::Write;
  PosixSerialPlatform platform(PortTable::Single(FDevice.SlavePath()), ConsoleAccess::Refused,
                               seams);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Name);
    FakeLatencyDriver::Known = c.Known;
    FakeLatencyDriver::Flag = c.FlagBefore;
    FakeLatencyDriver::Writes.clear();
    auto port = platform.Open(1);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(FakeLatencyDriver::Writes, c.WritesWhileOpen);
    const std::vector<uint8_t> bytes = {6, 251, 1, 0, 1, 253};
    ASSERT_TRUE(port->Write(bytes.data(), bytes.size()));
    EXPECT_EQ(FDevice.Receive(bytes.size()), bytes);
    port.reset();
    EXPECT_EQ(FakeLatencyDriver::Writes, c.WritesInAll);
    EXPECT_EQ(FakeLatencyDriver::Flag, c.FlagBefore);
  }

  // A program that ends at once puts the flag back too.
  FakeLatencyDriver::Known = true;
  FakeLatencyDriver::Flag = false;
  auto port = platform.Open(1);
  ASSERT_NE(port, nullptr);
  RestoreOpenPortSettings();
  EXPECT_FALSE(FakeLatencyDriver::Flag);
}
