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
    FFolder = fs::temp_directory_path() /
              ("korvalen-cli-" + std::to_string(::getpid()) + "-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(FFolder);
    fs::create_directories(FFolder);
  }
  void TearDown() override {
    if (FDevice)
      FDevice->Stop();
    fs::remove_all(FFolder);
  }
  void StartDevice(sim::DeviceOptions options = {}) {
    FDevice = std::make_unique<sim::VirtualDevice>(options);
    FDevice->Start();
  }
  Outcome RunCli(std::vector<std::string> args,
                 std::optional<std::chrono::milliseconds> interruptAfter = std::nullopt) {
    return RunProgram(KORVALEN_CLI_PROGRAM, std::move(args), FFolder, interruptAfter);
  }
  std::string Image(size_t pages, std::optional<Bytes> trailer = std::nullopt) {
    std::mt19937 random(static_cast<uint32_t>(pages));
    Bytes bytes(pages * 1536);
    for (auto &b : bytes)
      b = static_cast<uint8_t>(random());
    if (trailer)
      bytes.insert(bytes.end(), trailer->begin(), trailer->end());
    const fs::path path = FFolder / "image.rom";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    FImage = bytes;
    return path.string();
  }

  fs::path FFolder;
  std::unique_ptr<sim::VirtualDevice> FDevice;
  Bytes FImage;
};
} // namespace

TEST_F(Cli, IdentifyPrintsWhatTheDeviceReports) {
  sim::DeviceOptions options;
  options.ResetVector = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
  options.DataByte4 = 0x3C;
  StartDevice(options);
  const Outcome run = RunCli({"identify", "--device", FDevice->SlavePath(), "--verbose"});
  EXPECT_EQ(run.Code, 0) << run.Err;
  EXPECT_NE(run.Out.find("97 (0x61)"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("0x3C"), std::string::npos);
  EXPECT_NE(run.Out.find("A0 A1 A2 A3 A4 A5"), std::string::npos);
  EXPECT_NE(run.Out.find("Accepted: yes"), std::string::npos);
  // The first request on the wire, traced with its name.
  EXPECT_EQ(run.Err.find("-> Identify: 06 FB 01 00 01 FD"), 0u) << run.Err;
  EXPECT_NE(run.Err.find("<~ echo of Identify"), std::string::npos);
  EXPECT_EQ(FDevice->Requests().front(), (Bytes{0x06, 0xFB, 0x01, 0x00, 0x01, 0xFD}));
}

TEST_F(Cli, IdentifyRejectsAForeignDevice) {
  sim::DeviceOptions options;
  options.DeviceCode = 98;
  StartDevice(options);
  const Outcome run = RunCli({"identify", "--device", FDevice->SlavePath()});
  EXPECT_EQ(run.Code, 1);
  EXPECT_NE(run.Err.find("В устройстве неверный микроконтроллер."), std::string::npos);
}

TEST_F(Cli, WaitingEndsWithTheLimitOrCtrlC) {
  sim::DeviceOptions options;
  options.SilentPolls = 100000;
  StartDevice(options);
  EXPECT_EQ(RunCli({"identify", "--device", FDevice->SlavePath(), "--wait", "0.5"}).Code, 3);
  EXPECT_EQ(RunCli({"load", "--device", FDevice->SlavePath(), "--wait", "0.5", Image(1)}).Code, 3);
  const Outcome interrupted =
      RunCli({"load", "--device", FDevice->SlavePath(), Image(1)}, std::chrono::milliseconds(400));
  EXPECT_EQ(interrupted.Code, 3);
  EXPECT_NE(interrupted.Err.find("Cancelled."), std::string::npos);
  EXPECT_EQ(FDevice->CommandCount(sim::kCommandWriteBlock), 0u);
}

TEST_F(Cli, LoadInBothLineModes) {
  for (const bool rs485 : {true, false}) {
    SCOPED_TRACE(rs485 ? "line mode 2 with echo" : "line mode 0 without");
    sim::DeviceOptions options;
    options.Echo = rs485;
    StartDevice(options);
    const std::string file = Image(6, Bytes{0x61, 0x65, 0x00});
    const Outcome run = RunCli({"load", "--device", FDevice->SlavePath(), "--line-mode",
                                rs485 ? "2" : "0", "--baud", "115200", file});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("Загрузка окончена."), std::string::npos);
    const auto pages = FDevice->Pages();
    ASSERT_EQ(pages.size(), 3u);
    Bytes page1(FImage.begin(), FImage.begin() + 1536);
    std::copy(options.ResetVector.begin(), options.ResetVector.end(), page1.begin());
    EXPECT_EQ(pages.at(0), page1);
    EXPECT_EQ(pages.at(0x1400), Bytes(FImage.begin() + 5 * 1536, FImage.begin() + 6 * 1536));
    FDevice->Stop();
  }
}

TEST_F(Cli, OutcomesAndExitCodes) {
  StartDevice();
  const Outcome missing =
      RunCli({"load", "--device", FDevice->SlavePath(), (FFolder / "no.rom").string()});
  EXPECT_EQ(missing.Code, 4);
  EXPECT_NE(missing.Err.find("Файл не найден"), std::string::npos);
  EXPECT_EQ(RunCli({"load", "--device", FDevice->SlavePath(), FFolder.string()}).Code, 4)
      << "a folder cannot be read as an image";

  const Outcome mismatch =
      RunCli({"load", "--device", FDevice->SlavePath(), Image(2, Bytes{0xF5, 0x65, 0x00})});
  EXPECT_EQ(mismatch.Code, 1);
  EXPECT_NE(mismatch.Err.find("Тип микроконтроллера не совпадает с версией ПО."),
            std::string::npos);

  EXPECT_EQ(RunCli({"identify"}).Code, 64) << "a port or a device is required";
  EXPECT_EQ(RunCli({"identify", "--port", "3", "--device", "/dev/null"}).Code, 64);
  EXPECT_EQ(RunCli({"identify", "--device", FDevice->SlavePath(), "--line-mode", "5"}).Code, 64);
  EXPECT_EQ(RunCli({"frobnicate"}).Code, 64);
  EXPECT_EQ(RunCli({"identify", "--device", (FFolder / "nothing").string(), "--wait", "1"}).Code,
            2);
}

TEST_F(Cli, AHangUpInTheMiddleOfAPageIsALinkFailure) {
  sim::DeviceOptions options;
  options.HangupAfter = 8; // Identify, then blocks 0 ... 6 of page 1
  StartDevice(options);
  const Outcome run = RunCli({"load", "--device", FDevice->SlavePath(), Image(5)});
  EXPECT_EQ(run.Code, 2);
  EXPECT_NE(run.Err.find("RS232. Нет связи."), std::string::npos) << run.Err;
  EXPECT_FALSE(FDevice->FinishReceived());
}

// Under --verbose the port's failure is told with the system's reason, and no
// request is traced as sent once the device is gone; the operator still reads
// the system's text.
TEST_F(Cli, UnderVerboseAHangUpTellsWhyThePortFailed) {
  sim::DeviceOptions options;
  options.HangupAfter = 8; // Identify, then blocks 0 ... 6 of page 1
  StartDevice(options);
  const Outcome run = RunCli({"load", "--device", FDevice->SlavePath(), "--verbose", Image(5)});
  EXPECT_EQ(run.Code, 2);
  EXPECT_NE(run.Err.find("RS232. Нет связи."), std::string::npos) << run.Err;
  const size_t gone = run.Err.find(", the device is gone: ");
  ASSERT_NE(gone, std::string::npos) << run.Err;
  EXPECT_EQ(run.Err.find("\n-> ", gone), std::string::npos) << run.Err;
  EXPECT_NE(run.Out.find("(3 failed: hung up 3)"), std::string::npos) << run.Out;
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
  fs::copy_file(fs::path(KORVALEN_CLI_PROGRAM), FFolder / "korvalen-cli");
  fs::create_directories(FFolder / "ports");
  StartDevice();
  fs::create_symlink(FDevice->SlavePath(), FFolder / "ports" / "COM3");
  fs::create_symlink(FFolder / "gone", FFolder / "ports" / "COM7");
  const Outcome run = RunProgram(FFolder / "korvalen-cli", {"ports"}, FFolder);
  EXPECT_EQ(run.Code, 0);
  EXPECT_EQ(run.Out, "COM3\t" + (FFolder / "ports" / "COM3").string() + "\tfree\n");
}

namespace {
// An Intel HEX record with its checksum.
std::string HexRecord(uint8_t type, uint16_t offset, const Bytes &data) {
  Bytes all{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
            static_cast<uint8_t>(offset), type};
  all.insert(all.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : all)
    sum = static_cast<uint8_t>(sum + b);
  all.push_back(static_cast<uint8_t>(-sum));
  std::string line = ":";
  for (uint8_t b : all) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", b);
    line += digits;
  }
  return line + "\r\n";
}

// The compiler's output for a small program: the reset vector, a word in page
// 1, a word in page 2 (the bootloader's), two words in page 5 reached through
// a segment record, a word in page 70 through a linear one, and a
// configuration word.
std::string CompilerOutput() {
  return HexRecord(4, 0, {0x00, 0x00}) +
         HexRecord(0, 0x0000, {0x00, 0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00}) +
         HexRecord(0, 0x0100, {0x11, 0x22, 0x33, 0x00}) +
         HexRecord(0, 0x0800, {0x44, 0x55, 0x66, 0x00}) + //
         HexRecord(2, 0, {0x02, 0x00}) +                  // base 0x2000: program address 0x1000
         HexRecord(0, 0x0000, {0x77, 0x88, 0x99, 0x00, 0xAA, 0xBB, 0xCC, 0x00}) +
         HexRecord(4, 0, {0x00, 0x02}) + // hex 0x20000 + 0x2800: program address 0x11400
         HexRecord(0, 0x2800, {0xDE, 0xAD, 0xBE, 0x00}) + HexRecord(4, 0, {0x01, 0xF0}) +
         HexRecord(0, 0x000C, {0xCF, 0xFF, 0x00, 0x00}) + ":00000001FF\r\n";
}

// Where the words of CompilerOutput() stand in the image.
void ExpectCompilerWords(const Bytes &rom) {
  ASSERT_GE(rom.size(), 70 * 1536u);
  const auto word = [&rom](uint32_t address) {
    return Bytes(rom.begin() + address / 2 * 3, rom.begin() + address / 2 * 3 + 3);
  };
  EXPECT_EQ(word(0), (Bytes{0x00, 0x02, 0x04}));
  EXPECT_EQ(word(0x80), (Bytes{0x11, 0x22, 0x33}));
  EXPECT_EQ(word(0x82), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(word(0x400), (Bytes{0x44, 0x55, 0x66}));
  EXPECT_EQ(word(0x1000), (Bytes{0x77, 0x88, 0x99}));
  EXPECT_EQ(word(0x1002), (Bytes{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(word(0x11400), (Bytes{0xDE, 0xAD, 0xBE}));
}

Bytes ReadBytes(const fs::path &path) {
  const std::string text = Slurp(path);
  return Bytes(text.begin(), text.end());
}

// The real korvalen-sim, started with its pseudo-terminal's path read from its
// first line; it leaves after Finish and writes what it received.
class SimProgram {
public:
  SimProgram(const fs::path &memoryOut) {
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {std::string(KORVALEN_SIM_PROGRAM),
                                     "--echo",
                                     "off",
                                     "--memory-out",
                                     memoryOut.string(),
                                     "--exit-after-finish"};
    std::vector<char *> argv;
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n')
      Path += c;
    ::close(out[0]);
  }
  ~SimProgram() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
  }
  // Waits for the program to leave; its exit code.
  int Wait() {
    int status = 0;
    for (int i = 0; i < 200 && waitpid(FPid, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!WIFEXITED(status))
      return -1;
    FPid = -1;
    return WEXITSTATUS(status);
  }
  std::string Path;

private:
  pid_t FPid = -1;
};
} // namespace

TEST_F(Cli, PackPlacesTheCompilersWordsAndWarnsAboutTheRest) {
  const fs::path hex = FFolder / "app.hex", rom = FFolder / "app.rom";
  std::ofstream(hex) << CompilerOutput();
  const Outcome run = RunCli({"pack", hex.string(), "-o", rom.string(), "--device-code", "97"});
  ASSERT_EQ(run.Code, 0) << run.Err;
  EXPECT_NE(run.Out.find("70 pages"), std::string::npos) << run.Out;
  EXPECT_NE(run.Err.find("app.hex: warning: line 4: program address 0x000400: in pages 2 to 4, "
                         "the bootloader's"),
            std::string::npos)
      << run.Err;
  EXPECT_NE(run.Err.find("line 10: program address 0xF80006: configuration memory"),
            std::string::npos)
      << run.Err;
  const Bytes image = ReadBytes(rom);
  ASSERT_EQ(image.size(), 70 * 1536u + 3);
  ExpectCompilerWords(image);
  EXPECT_EQ(Bytes(image.end() - 3, image.end()), (Bytes{97, 0x65, 0}));

  // Back to Intel HEX and packed again: the same words.
  const fs::path back = FFolder / "back.hex", again = FFolder / "again.rom";
  const Outcome unpack = RunCli({"unpack", rom.string(), "-o", back.string()});
  ASSERT_EQ(unpack.Code, 0) << unpack.Err;
  EXPECT_NE(unpack.Err.find("trailer (device code 97)"), std::string::npos) << unpack.Err;
  const Outcome repack = RunCli({"pack", back.string(), "-o", again.string(), "--no-trailer"});
  ASSERT_EQ(repack.Code, 0) << repack.Err;
  EXPECT_EQ(repack.Err.find("No trailer"), std::string::npos) << "said on purpose: no note";
  EXPECT_EQ(ReadBytes(again), Bytes(image.begin(), image.end() - 3));
}

TEST_F(Cli, ADamagedHexFileIsRefusedWithItsLine) {
  std::string text = CompilerOutput();
  text[text.find(":04010000") + 10] = '2'; // the word at 0x80 no longer matches its checksum
  const fs::path hex = FFolder / "app.hex", rom = FFolder / "app.rom";
  std::ofstream(hex) << text;
  const Outcome run = RunCli({"pack", hex.string(), "-o", rom.string()});
  EXPECT_EQ(run.Code, 4);
  EXPECT_NE(run.Err.find("app.hex: line 3: bad record checksum"), std::string::npos) << run.Err;
  EXPECT_FALSE(fs::exists(rom));

  StartDevice();
  EXPECT_EQ(RunCli({"load", "--device", FDevice->SlavePath(), hex.string()}).Code, 4);
  EXPECT_EQ(FDevice->AcceptedFrames(), 0u) << "refused before any exchange";

  std::ofstream(hex, std::ios::trunc) << HexRecord(0, 0, {1, 2, 3, 0});
  EXPECT_NE(RunCli({"pack", hex.string(), "-o", rom.string()})
                .Err.find("line 1: the file ends without an end record"),
            std::string::npos);

  // Only configuration words: an empty image is packed, but never loaded.
  std::ofstream(hex, std::ios::trunc)
      << HexRecord(4, 0, {0x01, 0xF0}) << HexRecord(0, 0, {1, 2, 3, 0}) << ":00000001FF\n";
  const Outcome empty = RunCli({"load", "--device", FDevice->SlavePath(), hex.string()});
  EXPECT_EQ(empty.Code, 4);
  EXPECT_NE(empty.Err.find("nothing to load"), std::string::npos) << empty.Err;
  EXPECT_EQ(FDevice->AcceptedFrames(), 0u);
}

TEST_F(Cli, HexUsageMistakes) {
  const fs::path hex = FFolder / "app.hex";
  std::ofstream(hex) << CompilerOutput();
  EXPECT_EQ(RunCli({"pack", hex.string(), "-o", hex.string()}).Code, 64) << "over its own input";
  EXPECT_EQ(RunCli({"pack", hex.string(), "-o", "x.rom", "--device-code", "98"}).Code, 64);
  EXPECT_EQ(
      RunCli({"pack", hex.string(), "-o", "x.rom", "--device-code", "97", "--no-trailer"}).Code,
      64);
  EXPECT_EQ(RunCli({"load", "--device", "/dev/null", "--device-code", "97", Image(1)}).Code, 64)
      << "an image carries its own trailer";
  EXPECT_EQ(RunCli({"pack", (FFolder / "none.hex").string(), "-o", "x.rom"}).Code, 4);
}

TEST_F(Cli, LoadTakesTheCompilersOutputIntoTheRealVirtualDevice) {
  const fs::path hex = FFolder / "APP.HEX", memory = FFolder / "memory.bin";
  std::ofstream(hex) << CompilerOutput();
  SimProgram sim(memory);
  ASSERT_FALSE(sim.Path.empty());
  const Outcome run =
      RunCli({"load", "--device", sim.Path, "--line-mode", "0", "--baud", "115200", hex.string()});
  ASSERT_EQ(run.Code, 0) << run.Err;
  EXPECT_NE(run.Err.find("warning: line 10"), std::string::npos) << run.Err;
  ASSERT_EQ(sim.Wait(), 0);

  // Page 1 with the device's reset vector, nothing of pages 2 to 4, pages 5
  // to 70 as packed.
  Bytes expected(70 * 1536, 0xFF);
  const Bytes rom = [&] {
    const fs::path packed = FFolder / "app.rom";
    EXPECT_EQ(RunCli({"pack", hex.string(), "-o", packed.string()}).Code, 0);
    return ReadBytes(packed);
  }();
  std::copy(rom.begin(), rom.begin() + 1536, expected.begin());
  std::copy(rom.begin() + 4 * 1536, rom.end(), expected.begin() + 4 * 1536);
  const Bytes vector = {0x04, 0x02, 0x00, 0x00, 0x00, 0x00};
  std::copy(vector.begin(), vector.end(), expected.begin());
  const Bytes received = ReadBytes(memory);
  EXPECT_EQ(received, expected);
  ExpectCompilerWords(rom);

  // With a device code the image must match the device.
  StartDevice();
  const Outcome foreign =
      RunCli({"load", "--device", FDevice->SlavePath(), "--device-code", "245", hex.string()});
  EXPECT_EQ(foreign.Code, 1);
  EXPECT_NE(foreign.Err.find("Тип микроконтроллера не совпадает с версией ПО."), std::string::npos);
}
