// korvalen-cli against hostile input: files that are no images, streams that
// are closed or full, ports that cannot be opened, a device on the wrong line
// mode, Ctrl-C twice. Real processes: korvalen-cli and korvalen-sim on real
// pseudo-terminals.
#include "cli/Processes.h"

#include <fstream>
#include <pty.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {
using namespace process;
using Bytes = std::vector<uint8_t>;

const char *const kDone = "Загрузка окончена.";

class Hostile : public ::testing::Test {
protected:
  void SetUp() override {
    FFolder = FreshTestFolder("korvalen-hostile");
    fs::permissions(FFolder, fs::perms(0755));
  }
  void TearDown() override {
    FDevice.reset();
    fs::remove_all(FFolder);
  }

  fs::path Cli() const { return KORVALEN_CLI_PROGRAM; }

  Options WithFiles(std::vector<std::string> args) {
    return WithOutputFiles(FFolder, std::move(args));
  }
  // Runs korvalen-cli to its end with stdout and stderr in files (unless the
  // options say otherwise).
  Ran RunCli(Options options, std::chrono::milliseconds limit = 60s) {
    Child child(Cli(), options);
    return Collect(child, limit);
  }
  Ran RunCli(std::vector<std::string> args) { return RunCli(WithFiles(std::move(args))); }
  Ran Collect(Child &child, std::chrono::milliseconds limit = 60s) {
    return process::Collect(child, FFolder, limit);
  }

  void StartDevice(std::vector<std::string> args = {}) {
    FDevice.emplace(FFolder, std::move(args));
  }

  // `pages` pages of seeded bytes, then the trailer for device code 97.
  std::string Image(size_t pages, bool trailer = true, const std::string &name = "image.rom") {
    std::mt19937 random(static_cast<uint32_t>(pages));
    Bytes bytes(pages * 1536);
    for (auto &b : bytes)
      b = static_cast<uint8_t>(random());
    if (trailer)
      bytes.insert(bytes.end(), {0x61, 0x65, 0x00});
    const fs::path path = FFolder / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    FImageBytes = bytes;
    return path.string();
  }
  // What the device must hold after a complete load of ImageBytes.
  Bytes ExpectedMemory() const {
    const size_t pages = FImageBytes.size() / 1536;
    Bytes memory(pages * 1536, 0xFF);
    for (size_t p = 1; p <= pages; ++p)
      if (p < 2 || p > 4)
        std::copy_n(FImageBytes.begin() + static_cast<long>((p - 1) * 1536), 1536,
                    memory.begin() + static_cast<long>((p - 1) * 1536));
    const Bytes resetVector{0x04, 0x02, 0x00, 0x00, 0x00, 0x00};
    std::copy(resetVector.begin(), resetVector.end(), memory.begin());
    return memory;
  }

  static bool Has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
  }

  fs::path FFolder;
  std::optional<Sim> FDevice;
  Bytes FImageBytes;
};

termios SettingsOf(const std::string &path) {
  termios now{};
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0) << path;
  tcgetattr(fd, &now);
  close(fd);
  return now;
}

// A terminal's usual cooked settings, as a shell leaves them.
void MakeCooked(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0) << path;
  termios cooked{};
  tcgetattr(fd, &cooked);
  cooked.c_iflag = BRKINT | ICRNL | IXON;
  cooked.c_oflag = OPOST | ONLCR;
  cooked.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
  cfsetospeed(&cooked, B9600);
  cfsetispeed(&cooked, B9600);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &cooked), 0);
  close(fd);
}

bool SameSettings(const termios &a, const termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         a.c_cflag == b.c_cflag && cfgetospeed(&a) == cfgetospeed(&b);
}
} // namespace

// Issue: a 16 386-page image loaded "done" with page 16 385 written over page 1.
TEST_F(Hostile, AnImagePastTheAddressSpaceIsRefusedBeforeAnythingIsSent) {
  StartDevice();
  const fs::path large = FFolder / "large.rom";
  std::ofstream(large).close();
  fs::resize_file(large, 16385 * 1536); // sparse
  const Ran load = RunCli({"load", "--device", FDevice->SlavePath(), large.string()});
  EXPECT_EQ(load.Code, 1) << load.Err;
  EXPECT_TRUE(Has(load.Err, "16385")) << load.Err;
  EXPECT_TRUE(Has(load.Err, large.string()));
  const Ran info = RunCli({"info", large.string()});
  EXPECT_EQ(info.Code, 1);
  EXPECT_TRUE(Has(info.Err, "16384")) << info.Err;
  const Ran unpack = RunCli({"unpack", large.string(), "-o", (FFolder / "large.hex").string()});
  EXPECT_EQ(unpack.Code, 1) << unpack.Err;
  EXPECT_FALSE(fs::exists(FFolder / "large.hex"));
  FDevice->Stop();
  EXPECT_EQ(FDevice->LogText(), "") << "nothing was sent";

  // The largest image there can be fills the address space to its last page.
  fs::resize_file(large, 16384 * 1536 + 3);
  const Ran largest = RunCli({"info", large.string()});
  EXPECT_EQ(largest.Code, 0) << largest.Err;
  EXPECT_TRUE(Has(largest.Out, "page 16384: sent, program address 0xFFFC00")) << largest.Err;
}

// Issue: a FIFO hung for ever; /dev/zero was read until memory ran out; a
// folder said "File access denied" and a link loop "Файл не найден" without
// the reason.
TEST_F(Hostile, WhatIsNoImageFileIsSaidWithItsReasonAndNothingIsSent) {
  StartDevice();
  const fs::path fifo = FFolder / "fifo.rom";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The compiler's output is read with the same care.
  const fs::path hexFifo = FFolder / "fifo.hex";
  ASSERT_EQ(mkfifo(hexFifo.c_str(), 0600), 0);
  fs::create_directory(FFolder / "folder.rom");
  fs::create_symlink(FFolder / "loop.rom", FFolder / "loop.rom");
  struct Case {
    std::string Path, Says;
  };
  const Case cases[] = {
      {fifo.string(), "Не удалось прочитать файл " + fifo.string() + ": это именованный канал"},
      {hexFifo.string(),
       "Не удалось прочитать файл " + hexFifo.string() + ": это именованный канал"},
      {"/dev/zero", "Не удалось прочитать файл /dev/zero: это устройство"},
      {"/dev/urandom", "Не удалось прочитать файл /dev/urandom: это устройство"},
      {(FFolder / "folder.rom").string(),
       "Файл не найден\n" + (FFolder / "folder.rom").string() + ": a folder, not a file"},
      {(FFolder / "loop.rom").string(),
       "Файл не найден\n" + (FFolder / "loop.rom").string() + ": a loop of symbolic links"},
  };
  for (const Case &c : cases) {
    for (const bool load : {true, false}) {
      SCOPED_TRACE(c.Path + (load ? " load" : " info"));
      Options options = WithFiles(
          load ? std::vector<std::string>{"load", "--device", FDevice->SlavePath(), c.Path}
               : std::vector<std::string>{"info", c.Path});
      options.AddressSpace = 512ul * 1024 * 1024;
      const Ran run = RunCli(options, 20s);
      EXPECT_EQ(run.Code, 4) << run.Err;
      EXPECT_TRUE(Has(run.Err, c.Says)) << run.Err;
    }
  }
  FDevice->Stop();
  EXPECT_EQ(FDevice->LogText(), "");
}

// Issue: with stderr closed the port became descriptor 2, and a --verbose
// load traced its frames into the device.
TEST_F(Hostile, ClosedStandardStreamsNeverBecomeThePort) {
  StartDevice({"--echo", "on", "--exit-after-finish"});
  Options options = WithFiles({"load", "--verbose", "--device", FDevice->SlavePath(), Image(6)});
  options.Err = Stream::ClosedStream(); // 2>&-
  const Ran run = RunCli(options);
  EXPECT_EQ(run.Code, 0);
  EXPECT_TRUE(Has(run.Out, kDone)) << run.Out;
  FDevice->Stop();
  EXPECT_EQ(FDevice->MemoryBytes(), ExpectedMemory());
  EXPECT_FALSE(Has(FDevice->LogText(), "refused")) << FDevice->LogText();
}

// Each program, started with 0, 1 and 2 closed, has them on /dev/null, and
// nothing it opens would pass to a program it started.
TEST_F(Hostile, EveryProgramStartsWithItsStandardDescriptorsOpen) {
  auto closedAll = [](std::vector<std::string> args) {
    Options options;
    options.Args = std::move(args);
    options.In = options.Out = options.Err = Stream::ClosedStream();
    return options;
  };
  // Ours: the port, the log, the settings and the single-instance lock. The
  // toolkit's own descriptors are the toolkit's business.
  auto check = [this](Child &child, const std::string &what) {
    for (int fd = 0; fd < 3; ++fd)
      EXPECT_EQ(child.DescriptorTarget(fd), "/dev/null") << what << " descriptor " << fd;
    for (const std::string &inheritable : child.InheritableDescriptors())
      EXPECT_FALSE(Has(inheritable, FFolder.string()) || Has(inheritable, "/dev/pts/"))
          << what << " passes on " << inheritable;
  };

  // The device with a log, serving until told to stop.
  Child sim(fs::path(KORVALEN_SIM_PROGRAM),
            closedAll({"--link", (FFolder / "COM1").string(), "--log",
                       (FFolder / "sim.log").string(), "--silent-polls", "1000000"}));
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(FFolder / "COM1"); }));
  check(sim, "korvalen-sim");

  // The command line, polling that device.
  Child cli(Cli(), closedAll({"identify", "--device", (FFolder / "COM1").string()}));
  const std::string port = fs::canonical(FFolder / "COM1").string();
  ASSERT_TRUE(WaitUntil([&] {
    for (int fd = 0; fd < 8; ++fd)
      if (cli.DescriptorTarget(fd) == port)
        return true;
    return false;
  }));
  check(cli, "korvalen-cli");
  cli.Signal(SIGINT);
  EXPECT_EQ(cli.Wait(10s), 3);

#ifdef KORVALEN_DESKTOP_PROGRAM
  // The desktop program, in a folder of its own with that device as COM1.
  const fs::path program = FFolder / "desktop" / "korvalen";
  fs::create_directories(FFolder / "desktop" / "ports");
  fs::copy_file(KORVALEN_DESKTOP_PROGRAM, program);
  fs::create_symlink(port, FFolder / "desktop" / "ports" / "COM1");
  fs::create_directories(FFolder / "runtime");
  fs::permissions(FFolder / "runtime", fs::perms(0700));
  Options desktop = closedAll({});
  desktop.Environment = {"QT_QPA_PLATFORM=offscreen",
                         "XDG_RUNTIME_DIR=" + (FFolder / "runtime").string()};
  Child gui(program, desktop);
  ASSERT_TRUE(WaitUntil([&] {
    for (int fd = 0; fd < 32; ++fd)
      if (gui.DescriptorTarget(fd) == port)
        return true;
    return !gui.Running();
  }));
  check(gui, "korvalen");
  gui.Signal(SIGTERM);
  gui.Wait(10s);
#endif
  sim.Signal(SIGINT);
  EXPECT_EQ(sim.Wait(10s), 0);
}

// Issue: --wait nan waited for ever, -1 printed a 309-digit number, and 1e10
// expired at once.
TEST_F(Hostile, WaitTakesFiniteSecondsAndAFarLimitIsNone) {
  for (const char *bad : {"nan", "-1", "inf", "-inf", "1e999", "ten", ""}) {
    SCOPED_TRACE(bad);
    const Ran run = RunCli({"identify", "--device", "/dev/null", "--wait", bad});
    EXPECT_EQ(run.Code, 64);
    EXPECT_LT(run.Err.size(), 200u) << run.Err;
    EXPECT_TRUE(Has(run.Err, "--wait")) << run.Err;
  }
  StartDevice({"--silent-polls", "1000000"});
  for (const char *far : {"1e10", "1e300"}) {
    SCOPED_TRACE(far);
    Child child(Cli(), WithFiles({"identify", "--device", FDevice->SlavePath(), "--wait", far}));
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(child.Running()) << "the wait expired at once";
    child.Signal(SIGINT);
    const Ran run = Collect(child, 10s);
    EXPECT_EQ(run.Code, 3);
    EXPECT_TRUE(Has(run.Err, "Cancelled.")) << run.Err;
  }
}

// Issue: a terminal given as --device stayed raw after the program.
TEST_F(Hostile, TheTerminalIsPutBackAsItWas) {
  StartDevice({"--silent-polls", "3"});
  MakeCooked(FDevice->SlavePath());
  const termios cooked = SettingsOf(FDevice->SlavePath());
  const Ran run = RunCli({"identify", "--device", FDevice->SlavePath(), "--baud", "115200"});
  EXPECT_EQ(run.Code, 0) << run.Err;
  EXPECT_TRUE(SameSettings(SettingsOf(FDevice->SlavePath()), cooked));

  // The terminal it runs in hangs up while it waits: it stops its own way.
  FDevice.reset();
  StartDevice({"--silent-polls", "1000000"});
  MakeCooked(FDevice->SlavePath());
  Child child(Cli(), WithFiles({"identify", "--device", FDevice->SlavePath()}));
  ASSERT_TRUE(WaitUntil([&] { return Has(Slurp(FFolder / "sim.log"), "Identify #1"); }))
      << "the device saw no poll";
  child.Signal(SIGHUP);
  EXPECT_EQ(child.Wait(10s), 3);
  EXPECT_TRUE(SameSettings(SettingsOf(FDevice->SlavePath()), cooked));
}

// Issue: results written to a full disk or a closed stdout ended with exit 0.
TEST_F(Hostile, ResultsThatCannotBeWrittenAreAFailure) {
  const std::string image = Image(5);
  Options full = WithFiles({"info", image});
  full.Out = Stream::ToFile("/dev/full");
  Ran run = RunCli(full);
  EXPECT_EQ(run.Code, 74);
  EXPECT_TRUE(Has(run.Err, "No space left on device")) << run.Err;

  Options closed = WithFiles({"info", image});
  closed.Out = Stream::ClosedStream();
  run = RunCli(closed);
  EXPECT_EQ(run.Code, 74);
  EXPECT_TRUE(Has(run.Err, "standard output is closed")) << run.Err;

  // A load that was done still says that its results were lost.
  StartDevice({"--exit-after-finish"});
  Options load = WithFiles({"load", "--device", FDevice->SlavePath(), image});
  load.Out = Stream::ToFile("/dev/full");
  run = RunCli(load);
  EXPECT_EQ(run.Code, 74) << run.Err;
  FDevice->Stop();
  EXPECT_EQ(FDevice->MemoryBytes(), ExpectedMemory());
}

// Issue: every port problem said "No serial port free".
TEST_F(Hostile, APortThatCannotBeOpenedSaysWhyWithItsPath) {
  StartDevice();
  const std::string file = Image(1);
  const fs::path fifo = FFolder / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Where a pseudo-terminal was whose program has ended: its /dev/pts entry
  // is gone (far past the numbers in use, so that no other test takes it).
  const std::string closedTerminal = "/dev/pts/" + std::to_string(4000 + getpid() % 1000);
  fs::create_symlink(closedTerminal, FFolder / "gone-terminal");
  struct Case {
    std::string Path, Says;
  };
  const std::vector<Case> cases = {
      {(FFolder / "missing").string(), "no such device"},
      {file, "is not a serial port: it is a regular file"},
      {"/dev/null", "is not a serial port: it is a device that is not a terminal"},
      {FFolder.string(), "is not a serial port: it is a folder"},
      {fifo.string(), "is not a serial port: it is a FIFO"},
      {(FFolder / "gone-terminal").string(), "is a pseudo-terminal whose other side has closed"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Path);
    const Ran run = RunCli({"identify", "--device", c.Path, "--wait", "1"});
    EXPECT_EQ(run.Code, 2);
    EXPECT_TRUE(Has(run.Err, c.Path + " " + c.Says) || Has(run.Err, c.Path + ": " + c.Says))
        << run.Err;
    EXPECT_FALSE(Has(run.Err, "Нет свободного")) << run.Err;
  }

  // Held by another program.
  const int holder = open(FDevice->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  Ran run = RunCli({"identify", "--device", FDevice->SlavePath()});
  EXPECT_EQ(run.Code, 2);
  EXPECT_TRUE(Has(run.Err, FDevice->SlavePath() + " is held by another program")) << run.Err;
  close(holder);

  // Refused to this user: how to get the right.
  ASSERT_EQ(chmod(FDevice->SlavePath().c_str(), 0600), 0);
  Options refused = WithFiles({"identify", "--device", FDevice->SlavePath()});
  refused.AsOrdinaryUser = true;
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(FDevice->SlavePath().c_str(), 0), 0);
  }
  run = RunCli(refused);
  EXPECT_EQ(run.Code, 2);
  EXPECT_TRUE(Has(run.Err, FDevice->SlavePath() + ": no permission")) << run.Err;
  EXPECT_TRUE(Has(run.Err, "sudo usermod -aG dialout $USER")) << run.Err;
}

// Issue 11: `ports` showed a port this user may not open as busy.
TEST_F(Hostile, PortsShowsAPortThisUserMayNotOpenWithTheFix) {
  StartDevice();
  fs::copy_file(Cli(), FFolder / "korvalen-cli");
  fs::create_directories(FFolder / "ports");
  fs::create_symlink(FDevice->SlavePath(), FFolder / "ports" / "COM2");
  ASSERT_EQ(chmod(FDevice->SlavePath().c_str(), 0600), 0);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(FDevice->SlavePath().c_str(), 0), 0);
  }
  Options options = WithFiles({"ports"});
  options.AsOrdinaryUser = true;
  Child child(FFolder / "korvalen-cli", options);
  const Ran run = Collect(child);
  EXPECT_EQ(run.Code, 0) << run.Err;
  EXPECT_EQ(run.Out, "COM2\t" + (FFolder / "ports" / "COM2").string() + "\tno permission\n");
  EXPECT_TRUE(Has(run.Err, "sudo usermod -aG dialout $USER")) << run.Err;
  EXPECT_TRUE(Has(run.Err, "log in again")) << run.Err;
}

// A machine whose first serial port is the system console: the console is
// listed as such, left out of a range, refused by name unless allowed, and
// not one byte is written to it before then.
TEST_F(Hostile, TheSystemConsoleIsOpenedOnlyWhenNamedWithAllowConsole) {
  const fs::path consoles = FFolder / "consoles";
  std::ofstream(consoles) << "\n";
  Options probe;
  probe.BindOver = {{consoles.string(), "/proc/consoles"}};
  if (geteuid() != 0 || Child("/bin/true", probe).Wait() == kNoMountNamespace)
    GTEST_SKIP() << "needs a mount namespace (root) to show the program a console of its own";
  StartDevice();
  const fs::path second = FFolder / "second";
  fs::create_directories(second);
  Sim other(second, {});
  fs::copy_file(Cli(), FFolder / "korvalen-cli");
  fs::create_directories(FFolder / "ports");
  fs::create_symlink(FDevice->SlavePath(), FFolder / "ports" / "COM1");
  fs::create_symlink(other.SlavePath(), FFolder / "ports" / "COM2");
  struct stat console {};
  ASSERT_EQ(stat(FDevice->SlavePath().c_str(), &console), 0);
  std::ofstream(consoles) << "ttyFAKE              -W- (EC  p a)  " << major(console.st_rdev) << ":"
                          << minor(console.st_rdev) << "\n";
  const std::string com1 = "COM1 (" + (FFolder / "ports" / "COM1").string() + ")";
  const auto run = [&](std::vector<std::string> args) {
    Options options = WithFiles(std::move(args));
    options.BindOver = {{consoles.string(), "/proc/consoles"}};
    Child child(FFolder / "korvalen-cli", options);
    return Collect(child);
  };

  struct Case {
    std::vector<std::string> Args;
    int Code;
    std::string Says;
  };
  const std::vector<Case> refused = {
      {{"ports"}, 0, "COM1\t" + (FFolder / "ports" / "COM1").string() + "\tsystem console\n"},
      {{"identify", "--port", "1", "--wait", "1"}, 2, com1 + " is the system console"},
      {{"identify", "--device", FDevice->SlavePath(), "--wait", "1"},
       2,
       FDevice->SlavePath() + " is the system console"},
      {{"load", "--port", "1", Image(5)}, 2, "Name it with --allow-console"},
      {{"load", "--ports", "1", Image(5)}, 2, "--ports 1 leaves no port to load."},
      {{"load", "--ports", "1-2", "--allow-console", Image(5)},
       0,
       com1 + " is the system console: left out of --ports 1-2."},
  };
  for (const Case &c : refused) {
    SCOPED_TRACE(c.Args.size() > 1 ? c.Args[0] + " " + c.Args[1] : c.Args[0]);
    const Ran ran = run(c.Args);
    EXPECT_EQ(ran.Code, c.Code) << ran.Err;
    EXPECT_TRUE(Has(ran.Out + ran.Err, c.Says)) << ran.Out << ran.Err;
  }
  EXPECT_FALSE(Has(FDevice->LogText(), "host->dev")) << "the console was written to";
  EXPECT_TRUE(Has(run({"ports"}).Out, "COM2\t" + (FFolder / "ports" / "COM2").string() + "\tfree"));
  other.Stop();
  EXPECT_EQ(other.MemoryBytes(), ExpectedMemory()) << "the range loaded COM2";

  // Named with --allow-console, it is a port like any other.
  const Ran allowed = run({"identify", "--port", "1", "--allow-console", "--wait", "10"});
  EXPECT_EQ(allowed.Code, 0) << allowed.Err;
  EXPECT_TRUE(Has(allowed.Out, "Device code: 97")) << allowed.Out;
}

// Issue: a device that echoes on line mode 0 was "the wrong microcontroller";
// one that does not echo on line mode 2 was awaited for ever.
TEST_F(Hostile, AnEchoThatDoesNotSuitTheLineModeIsSaidOnce) {
  StartDevice({"--echo", "on"});
  Ran run = RunCli({"load", "--device", FDevice->SlavePath(), "--line-mode", "0", Image(1)});
  EXPECT_EQ(run.Code, 1);
  const std::string echoes = "the device echoes: use --line-mode 2";
  EXPECT_TRUE(Has(run.Err, echoes)) << run.Err;
  EXPECT_EQ(run.Err.find(echoes), run.Err.rfind(echoes)) << "said once";
  FDevice->Stop();
  const std::string sent = FDevice->LogText();

  FDevice.reset();
  StartDevice({"--echo", "off"});
  run = RunCli({"identify", "--device", FDevice->SlavePath(), "--line-mode", "2", "--wait", "1"});
  EXPECT_EQ(run.Code, 3);
  const std::string silent = "the device does not echo: use --line-mode 0";
  EXPECT_TRUE(Has(run.Err, silent)) << run.Err;
  EXPECT_EQ(run.Err.find(silent), run.Err.rfind(silent)) << "said once";
  // The wire is as the line mode makes it: the advice only watches.
  EXPECT_TRUE(Has(sent, "host->dev  Identify #1")) << sent;
}

// Issue: Ctrl-C acted only between pages, minutes later at a slow rate.
TEST_F(Hostile, TheFirstInterruptFinishesThePageTheSecondStopsAtOnce) {
  // A page takes seconds on this line.
  const std::vector<std::string> slow = {"--echo", "off", "--pace-baud", "4800"};
  const std::string image = Image(6);
  for (const bool twice : {false, true}) {
    SCOPED_TRACE(twice ? "twice" : "once");
    FDevice.reset();
    StartDevice(slow);
    MakeCooked(FDevice->SlavePath());
    const termios cooked = SettingsOf(FDevice->SlavePath());
    Child child(Cli(), WithFiles({"load", "--device", FDevice->SlavePath(), "--line-mode", "0",
                                  "--baud", "4800", image}));
    ASSERT_TRUE(WaitUntil([&] { return Has(Slurp(FFolder / "err.txt"), "Загрузка программы"); }));
    child.Signal(SIGINT);
    ASSERT_TRUE(WaitUntil([&] { return Has(Slurp(FFolder / "err.txt"), "finishing the page"); }));
    if (twice)
      child.Signal(SIGINT);
    const Ran run = Collect(child);
    EXPECT_EQ(run.Code, 3) << run.Err;
    EXPECT_TRUE(SameSettings(SettingsOf(FDevice->SlavePath()), cooked))
        << "the terminal is put back on every way out";
    FDevice->Stop();
    EXPECT_EQ(FDevice->Requests("Finish"), 0u);
    if (twice) {
      EXPECT_TRUE(Has(run.Err, "the device holds a partial page")) << run.Err;
      EXPECT_EQ(FDevice->Requests("WritePage"), 0u);
      EXPECT_LT(FDevice->Requests("WriteBlock"), 12u);
    } else {
      EXPECT_TRUE(Has(run.Err, "Cancelled.")) << run.Err;
      EXPECT_EQ(FDevice->Requests("WritePage"), 1u) << "page 1 was finished, page 5 not begun";
      EXPECT_EQ(FDevice->Requests("WriteBlock"), 12u);
    }
  }
}

// Issue: a Finish without reply and an image without a page to send looked
// like any other load; the gauge stopped at 33 % for a 3-page image.
TEST_F(Hostile, WhatADoneLoadLeftOutIsSaid) {
  StartDevice({"--no-reply-command", "6"});
  Ran run = RunCli({"load", "--device", FDevice->SlavePath(), Image(3, false)});
  EXPECT_EQ(run.Code, 0);
  EXPECT_TRUE(Has(run.Out, kDone));
  EXPECT_TRUE(Has(run.Err, "did not confirm Finish")) << run.Err;
  EXPECT_FALSE(Has(run.Err, "no page was sent"));
  EXPECT_TRUE(Has(run.Err, "33%\n100%\n")) << run.Err;

  for (const size_t size : {size_t{1000}, size_t{3}}) {
    SCOPED_TRACE(size);
    Bytes bytes(size, 0x5A);
    if (size == 3)
      bytes = {0x61, 0x65, 0x00}; // a trailer only
    std::ofstream(FFolder / "small.rom", std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(size));
    run = RunCli({"load", "--device", FDevice->SlavePath(), (FFolder / "small.rom").string()});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_TRUE(Has(run.Err, "no page was sent")) << run.Err;
    EXPECT_TRUE(Has(run.Err, "100%")) << run.Err;
  }
}

// Issue 8: at 100 % the next text followed on the bar's line; a load ended
// without a summary.
TEST_F(Hostile, OnATerminalTheFullBarEndsItsLineAndASummaryFollows) {
  StartDevice({"--exit-after-finish"});
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  Options options;
  options.Args = {"load", "--device", FDevice->SlavePath(), Image(6)};
  options.Out = options.Err = Stream::ToDescriptor(slave);
  options.NewSession = true;
  Child child(Cli(), options);
  close(slave);
  const std::string screen = ReadTerminal(master, child);
  close(master);
  EXPECT_EQ(child.Wait(), 0) << screen;
  const size_t full = screen.find("100%  Загрузка программы...");
  ASSERT_NE(full, std::string::npos) << screen;
  EXPECT_EQ(screen.compare(full + std::strlen("100%  Загрузка программы..."), 2, "\r\n"), 0)
      << screen;
  EXPECT_GT(screen.find(kDone), full);
  EXPECT_TRUE(Has(screen, "Sent 4608 bytes (3 pages) in ")) << screen;
  EXPECT_TRUE(Has(screen, "0 retries.")) << screen;
}
