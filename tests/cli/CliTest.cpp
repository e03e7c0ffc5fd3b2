// korvalen-cli as a production line runs it: real processes, real
// pseudo-terminals, the virtual device on the other side.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "sim/VirtualDevice.h"

extern char **environ;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {
struct Outcome {
  int Code = -1;
  std::string Out, Err;
};

fs::path BinDir() {
  return KORVALEN_BIN_DIR;
}

std::string Slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Runs a program to its end, with stdout and stderr captured in files.
// `interruptAfter` sends SIGINT once that much time has passed.
Outcome RunProgram(const fs::path &program, std::vector<std::string> args, const fs::path &folder,
                   std::optional<std::chrono::milliseconds> interruptAfter = std::nullopt) {
  args.insert(args.begin(), program.string());
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  const fs::path out = folder / "stdout.txt", err = folder / "stderr.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  pid_t pid = 0;
  Outcome outcome;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
    return outcome;
  posix_spawn_file_actions_destroy(&actions);
  if (interruptAfter) {
    std::this_thread::sleep_for(*interruptAfter);
    kill(pid, SIGINT);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.Out = Slurp(out);
  outcome.Err = Slurp(err);
  return outcome;
}

class Cli : public ::testing::Test {
protected:
  void SetUp() override {
    folder = fs::temp_directory_path() /
             ("korvalen-cli-" +
              std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  void TearDown() override {
    if (device)
      device->Stop();
    fs::remove_all(folder);
  }
  void StartDevice(sim::DeviceOptions options = {}) {
    device = std::make_unique<sim::VirtualDevice>(options);
    device->Start();
  }
  Outcome RunCli(std::vector<std::string> args,
                 std::optional<std::chrono::milliseconds> interruptAfter = std::nullopt) {
    return RunProgram(BinDir() / "korvalen-cli", std::move(args), folder, interruptAfter);
  }
  std::string Image(size_t pages, std::optional<Bytes> trailer = std::nullopt) {
    std::mt19937 random(static_cast<uint32_t>(pages));
    Bytes bytes(pages * 1536);
    for (auto &b : bytes)
      b = static_cast<uint8_t>(random());
    if (trailer)
      bytes.insert(bytes.end(), trailer->begin(), trailer->end());
    const fs::path path = folder / "image.rom";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    image = bytes;
    return path.string();
  }

  fs::path folder;
  std::unique_ptr<sim::VirtualDevice> device;
  Bytes image;
};
} // namespace

TEST_F(Cli, IdentifyPrintsWhatTheDeviceReports) {
  sim::DeviceOptions options;
  options.ResetVector = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  options.DataByte4 = 0x3C;
  StartDevice(options);
  const Outcome run = RunCli({"identify", "--device", device->SlavePath(), "--verbose"});
  EXPECT_EQ(run.Code, 0) << run.Err;
  EXPECT_NE(run.Out.find("97 (0x61)"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("0x3C"), std::string::npos);
  EXPECT_NE(run.Out.find("A0 A1 A2 A3 A4 A5"), std::string::npos);
  EXPECT_NE(run.Out.find("Accepted: yes"), std::string::npos);
  // The first request on the wire, traced with its name.
  EXPECT_EQ(run.Err.find("-> Identify: 06 FB 01 00 01 FD"), 0u) << run.Err;
  EXPECT_NE(run.Err.find("<~ echo of Identify"), std::string::npos);
  EXPECT_EQ(device->Requests().front(), (Bytes{0x06, 0xFB, 0x01, 0x00, 0x01, 0xFD}));
}

TEST_F(Cli, IdentifyRejectsAForeignDevice) {
  sim::DeviceOptions options;
  options.DeviceCode = 98;
  StartDevice(options);
  const Outcome run = RunCli({"identify", "--device", device->SlavePath()});
  EXPECT_EQ(run.Code, 1);
  EXPECT_NE(run.Err.find("В устройстве неверный микроконтроллер."), std::string::npos);
}

TEST_F(Cli, WaitingEndsWithTheLimitOrCtrlC) {
  sim::DeviceOptions options;
  options.SilentPolls = 100000;
  StartDevice(options);
  EXPECT_EQ(RunCli({"identify", "--device", device->SlavePath(), "--wait", "0.5"}).Code, 3);
  EXPECT_EQ(RunCli({"load", "--device", device->SlavePath(), "--wait", "0.5", Image(1)}).Code, 3);
  const Outcome interrupted =
      RunCli({"load", "--device", device->SlavePath(), Image(1)}, std::chrono::milliseconds(400));
  EXPECT_EQ(interrupted.Code, 3);
  EXPECT_NE(interrupted.Err.find("Cancelled."), std::string::npos);
  EXPECT_EQ(device->CommandCount(sim::kCommandWriteBlock), 0u);
}

TEST_F(Cli, LoadInBothLineModes) {
  for (const bool rs485 : {true, false}) {
    SCOPED_TRACE(rs485 ? "line mode 2 with echo" : "line mode 0 without");
    sim::DeviceOptions options;
    options.Echo = rs485;
    StartDevice(options);
    const std::string file = Image(6, Bytes{0x61, 0x65, 0x00});
    const Outcome run = RunCli({"load", "--device", device->SlavePath(), "--line-mode",
                                rs485 ? "2" : "0", "--baud", "115200", file});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("Загрузка окончена."), std::string::npos);
    const auto pages = device->Pages();
    ASSERT_EQ(pages.size(), 3u);
    Bytes page1(image.begin(), image.begin() + 1536);
    std::copy(options.ResetVector.begin(), options.ResetVector.end(), page1.begin());
    EXPECT_EQ(pages.at(0), page1);
    EXPECT_EQ(pages.at(0x1400), Bytes(image.begin() + 5 * 1536, image.begin() + 6 * 1536));
    device->Stop();
  }
}

TEST_F(Cli, OutcomesAndExitCodes) {
  StartDevice();
  const Outcome missing =
      RunCli({"load", "--device", device->SlavePath(), (folder / "no.rom").string()});
  EXPECT_EQ(missing.Code, 4);
  EXPECT_NE(missing.Err.find("Файл не найден"), std::string::npos);
  EXPECT_EQ(RunCli({"load", "--device", device->SlavePath(), folder.string()}).Code, 4)
      << "a folder cannot be read as an image";

  const Outcome mismatch =
      RunCli({"load", "--device", device->SlavePath(), Image(2, Bytes{0xF5, 0x65, 0x00})});
  EXPECT_EQ(mismatch.Code, 1);
  EXPECT_NE(mismatch.Err.find("Тип микроконтроллера не совпадает с версией ПО."),
            std::string::npos);

  EXPECT_EQ(RunCli({"identify"}).Code, 64) << "a port or a device is required";
  EXPECT_EQ(RunCli({"identify", "--port", "3", "--device", "/dev/null"}).Code, 64);
  EXPECT_EQ(RunCli({"identify", "--device", device->SlavePath(), "--line-mode", "5"}).Code, 64);
  EXPECT_EQ(RunCli({"frobnicate"}).Code, 64);
  EXPECT_EQ(RunCli({"identify", "--device", (folder / "nothing").string(), "--wait", "1"}).Code, 2);
}

TEST_F(Cli, AHangUpInTheMiddleOfAPageIsALinkFailure) {
  sim::DeviceOptions options;
  options.HangupAfter = 8; // Identify, then blocks 0 ... 6 of page 1
  StartDevice(options);
  const Outcome run = RunCli({"load", "--device", device->SlavePath(), Image(5)});
  EXPECT_EQ(run.Code, 2);
  EXPECT_NE(run.Err.find("RS232. Нет связи."), std::string::npos) << run.Err;
  EXPECT_FALSE(device->FinishReceived());
}

TEST_F(Cli, InfoShowsTheLayout) {
  const Outcome run = RunCli({"info", Image(5, Bytes{0x61, 0x65, 0x07})});
  EXPECT_EQ(run.Code, 0);
  EXPECT_NE(run.Out.find("page 5: sent, program address 0x001000"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("page 3: not sent"), std::string::npos);
  EXPECT_NE(run.Out.find("device code 97 (0x61)"), std::string::npos);
}

TEST_F(Cli, PortsListsTheTableBesideTheProgram) {
  // A copy of the program in a folder of its own, with its own ports folder.
  fs::copy_file(BinDir() / "korvalen-cli", folder / "korvalen-cli");
  fs::create_directories(folder / "ports");
  StartDevice();
  fs::create_symlink(device->SlavePath(), folder / "ports" / "COM3");
  fs::create_symlink(folder / "gone", folder / "ports" / "COM7");
  const Outcome run = RunProgram(folder / "korvalen-cli", {"ports"}, folder);
  EXPECT_EQ(run.Code, 0);
  EXPECT_EQ(run.Out, "COM3\t" + (folder / "ports" / "COM3").string() + "\tfree\n");
}
