// korvalen-sim as a program: its first line, its options, its files, its exit.
#include "sim/HostSide.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class SimProcess {
public:
  explicit SimProcess(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char *> argv;
      std::string program = KORVALEN_SIM_PROGRAM;
      argv.push_back(program.data());
      for (auto &a : args) {
        argv.push_back(a.data());
      }
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    FStdout = out[0];
  }
  ~SimProcess() {
    if (FPid > 0 && !FExited) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    ::close(FStdout);
  }

  // The first line of stdout, or empty after 10 s.
  std::string FirstLine() {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{FStdout, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) {
        continue;
      }
      char c;
      if (::read(FStdout, &c, 1) != 1 || c == '\n') {
        break;
      }
      line += c;
    }
    return line;
  }

  void Signal(int signal) { ::kill(FPid, signal); }

  // The exit code, or -1 when the program has not ended within 10 s.
  int Wait() {
    for (int i = 0; i < 200; ++i) {
      int status = 0;
      if (::waitpid(FPid, &status, WNOHANG) == FPid) {
        FExited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
      }
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }

private:
  pid_t FPid = -1;
  int FStdout = -1;
  bool FExited = false;
};

fs::path TempDir(const std::string &name) {
  fs::path dir =
      fs::temp_directory_path() / ("korvalen-simprog-" + name + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

} // namespace

TEST(SimProgram, BadOptionsAreUsageErrors) {
  for (const char *bad : {"00112233445", "0011223344556", "00112233445G"}) {
    SimProcess sim({"--reset-vector", bad});
    EXPECT_EQ(sim.Wait(), 64) << bad;
  }
  SimProcess echo({"--echo", "maybe"});
  EXPECT_EQ(echo.Wait(), 64);
  SimProcess noReply({"--no-reply-command", "10:x"});
  EXPECT_EQ(noReply.Wait(), 64);
  // The fixture's options: only with --boards, boards within it, frames from 1.
  for (const std::vector<std::string> &bad :
       std::vector<std::vector<std::string>>{{"--stay", "100"},
                                             {"--exit-when-empty"},
                                             {"--boards", "0"},
                                             {"--boards", "2", "--reject-board", "3"},
                                             {"--boards", "2", "--hangup-board", "1:0"},
                                             {"--boards", "2", "--hangup-board", "3:1"},
                                             {"--boards", "2", "--exit-after-finish"}}) {
    SimProcess sim(bad);
    EXPECT_EQ(sim.Wait(), 64) << bad[0] << " " << bad.back();
  }
  SimProcess help({"--help"});
  EXPECT_EQ(help.Wait(), 0);
}

TEST(SimProgram, LoadsThroughTheLinkAndExitsAfterFinish) {
  const fs::path dir = TempDir("load");
  fs::create_directories(dir / "ports");
  SimProcess sim({"--link", (dir / "ports/COM3").string(), "--echo", "off", "--reset-vector",
                  "0A0B0C0D0E0F", "--memory-out", (dir / "memory.bin").string(), "--log",
                  (dir / "frames.log").string(), "--exit-after-finish"});
  const std::string path = sim.FirstLine();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(fs::read_symlink(dir / "ports/COM3").string(), path);
  {
    HostSide host((dir / "ports/COM3").string());
    host.Send(Frame(0xFB, 1));
    Bytes reply = host.Read(18);
    ASSERT_EQ(reply.size(), 18u);
    EXPECT_EQ(Bytes(reply.begin() + 11, reply.end() - 1),
              (Bytes{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}));
    Bytes page(1536);
    for (size_t i = 0; i < page.size(); ++i) {
      page[i] = static_cast<uint8_t>(i * 13);
    }
    for (uint8_t b = 0; b < 12; ++b) {
      Bytes payload(1 + 128, b);
      std::copy(page.begin() + b * 128, page.begin() + (b + 1) * 128, payload.begin() + 1);
      host.Send(Frame(0xFB, 10, payload));
      ASSERT_EQ(host.Read(6).size(), 6u);
    }
    host.Send(Frame(0xFB, 20, {0x00, 0x08, 0x00})); // page 3
    ASSERT_EQ(host.Read(6).size(), 6u);
    host.Send(Frame(0xFB, 6));
    EXPECT_EQ(host.Read(6), (Bytes{0x06, 0xFB, 0x01, 0x00, 0x00, 0xFE}));

    EXPECT_EQ(sim.Wait(), 0);
    Bytes expected(3 * 1536, 0xFF);
    std::copy(page.begin(), page.end(), expected.begin() + 2 * 1536);
    EXPECT_EQ(ReadFile(dir / "memory.bin"), expected);
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "ports/COM3")));
  std::ifstream log(dir / "frames.log");
  std::string first;
  std::getline(log, first);
  EXPECT_NE(first.find("Identify"), std::string::npos);
  EXPECT_NE(first.find("06 FB 01 00 01 FD"), std::string::npos);
  fs::remove_all(dir);
}

TEST(SimProgram, StatusCanBeTheCommandCode) {
  SimProcess sim({"--echo", "off", "--status-command-code", "--exit-after-finish"});
  const std::string path = sim.FirstLine();
  ASSERT_FALSE(path.empty());
  HostSide host(path);
  host.Send(Frame(0xFB, 1));
  const Bytes identify = host.Read(18);
  ASSERT_EQ(identify.size(), 18u);
  EXPECT_EQ(identify[4], 0x01);
  EXPECT_EQ(Sum(identify), 0);
  host.Send(Frame(0xFB, 10, {12})); // refused: the refusal keeps its own status
  EXPECT_EQ(host.Read(6), (Bytes{0x06, 0xFB, 0x01, 0x00, 0x01, 0xFD}));
  // Finish without parameters: the reply is the request, byte for byte.
  host.Send(Frame(0xFB, 6));
  EXPECT_EQ(host.Read(6), (Bytes{0x06, 0xFB, 0x01, 0x00, 0x06, 0xF8}));
  EXPECT_EQ(sim.Wait(), 0);
}

TEST(SimProgram, SigtermEndsTheRunAndWritesTheMemoryFile) {
  const fs::path dir = TempDir("term");
  SimProcess sim({"--memory-out", (dir / "memory.bin").string()});
  ASSERT_FALSE(sim.FirstLine().empty());
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_TRUE(fs::exists(dir / "memory.bin"));
  EXPECT_EQ(fs::file_size(dir / "memory.bin"), 0u); // nothing written to the device
  fs::remove_all(dir);
}

// Four fixtures at once, each served by a thread that does what the host's
// repeat mode does: wait for a board, load it if its code is 97, wait until it
// is gone. One has a rejected board, one hangs up during its second board,
// one is a paced, echoing line whose boards each ignore two polls. Each
// program ends by itself and leaves each board's memory and a log of them.
TEST(SimProgram, FourFixturesAtOnceLeaveEachBoardsMemory) {
  enum File { Absent, Empty, Loaded };
  struct Fixture {
    std::vector<std::string> Args;
    bool Echo;
    std::vector<File> Files;
  };
  const std::vector<Fixture> fixtures = {
      {{"--echo", "off"}, false, {Loaded, Loaded, Loaded}},
      {{"--echo", "off", "--reject-board", "2"}, false, {Loaded, Empty, Loaded}},
      {{"--echo", "off", "--hangup-board", "2:5"}, false, {Loaded, Empty, Absent}},
      {{"--pace-baud", "115200", "--silent-polls", "2"}, true, {Loaded, Loaded, Loaded}},
  };
  const fs::path dir = TempDir("fixtures");
  std::vector<std::unique_ptr<SimProcess>> sims;
  std::vector<std::thread> stations;
  for (size_t i = 0; i < fixtures.size(); ++i) {
    std::vector<std::string> args = {"--boards",
                                     "3",
                                     "--out-after",
                                     "50",
                                     "--gap",
                                     "200",
                                     "--stay",
                                     "1500",
                                     "--memory-out",
                                     (dir / std::to_string(i)).string(),
                                     "--log",
                                     (dir / (std::to_string(i) + ".log")).string(),
                                     "--exit-when-empty"};
    args.insert(args.end(), fixtures[i].Args.begin(), fixtures[i].Args.end());
    sims.push_back(std::make_unique<SimProcess>(args));
    const std::string path = sims.back()->FirstLine();
    ASSERT_FALSE(path.empty());
    stations.emplace_back([path, echo = fixtures[i].Echo] {
      HostSide host(path, echo);
      for (uint8_t board = 1; board <= 3; ++board) {
        const Bytes identify = PollUntilAnswered(host, 5s);
        if (identify.empty()) {
          return; // hung up
        }
        if (identify[5] == 97) {
          LoadPageAndFinish(host, (board - 1) * 1024, board);
        }
        PollUntilSilent(host, 5s);
      }
    });
  }
  for (std::thread &station : stations) {
    station.join();
  }
  for (size_t i = 0; i < fixtures.size(); ++i) {
    SCOPED_TRACE("fixture " + std::to_string(i));
    EXPECT_EQ(sims[i]->Wait(), 0);
    for (uint32_t board = 1; board <= 3; ++board) {
      const fs::path file = dir / (std::to_string(i) + "." + std::to_string(board));
      const File expected = fixtures[i].Files[board - 1];
      EXPECT_EQ(fs::exists(file), expected != Absent) << file;
      Bytes image;
      if (expected == Loaded) {
        image.assign((board - 1) * 1536, 0xFF);
        const Bytes page = PageContent(static_cast<uint8_t>(board));
        image.insert(image.end(), page.begin(), page.end());
      }
      EXPECT_EQ(ReadFile(file), image) << file;
    }
  }
  std::ifstream log(dir / "0.log");
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  for (const char *line : {"board 1 in, memory erased", "board 2: Identify #1", "board 3 out"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  fs::remove_all(dir);
}
