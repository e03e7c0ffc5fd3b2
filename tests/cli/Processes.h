// The programs as a shell runs them: korvalen-cli, korvalen-sim and korvalen
// as child processes whose standard streams go to files, nowhere, a
// pseudo-terminal, or are closed, and which a test signals, waits for with a
// bound, and looks into through /proc.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <regex>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

extern char **environ;

namespace process {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string Slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Where one standard descriptor of the child leads.
struct Stream {
  enum Kind { Null, File, Closed, Descriptor } What = Null;
  std::string Path; // File: opened (written streams truncated)
  int Fd = -1;      // Descriptor: duplicated from the test's own

  static Stream ToFile(std::string path) { return {File, std::move(path), -1}; }
  static Stream ClosedStream() { return {Closed, {}, -1}; }
  static Stream ToDescriptor(int fd) { return {Descriptor, {}, fd}; }
};

struct Options {
  std::vector<std::string> Args; // after the program
  Stream In, Out, Err;
  std::vector<std::string> Environment; // NAME=value, in place of the test's own
  // Root runs it as nobody, which is in no group. A program that nobody may
  // reach where it lies (a checkout in /root, mode 0700) is run from a copy in
  // a folder of its own that nobody may enter.
  bool AsOrdinaryUser = false;
  bool NewSession = false; // its own session, so a terminal can be its own
  // Files laid over system files (source, target), in a mount namespace of
  // the child's own: how a test shows the program a machine that is not this
  // one (its consoles, say). Needs root; a test without it skips.
  std::vector<std::pair<std::string, std::string>> BindOver;
  // A bound on its memory, so that a program that reads without limit fails
  // fast instead of taking the machine's memory.
  rlim_t AddressSpace = 2048ul * 1024 * 1024;
};

// True when a user who is neither the owner nor in the group may run the
// program at `path`: every folder on the way lets others pass.
inline bool OthersMayRun(const fs::path &path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0)
    return false;
  for (fs::path folder = fs::absolute(path).parent_path();; folder = folder.parent_path()) {
    if (::stat(folder.c_str(), &info) != 0 || (info.st_mode & S_IXOTH) == 0)
      return false;
    if (folder == folder.root_path())
      return true;
  }
}

// A copy of a program in a fresh folder that any user may enter, removed
// with it.
class ReachableCopy {
public:
  explicit ReachableCopy(const fs::path &program) {
    std::string pattern = (fs::temp_directory_path() / "korvalen-as-user-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("no temporary folder for a copy of " + program.string());
    FFolder = pattern;
    fs::permissions(FFolder, fs::perms(0755));
    FProgram = FFolder / program.filename();
    fs::copy_file(program, FProgram);
    if (!OthersMayRun(FProgram))
      ADD_FAILURE() << FProgram << " cannot be reached by another user either";
  }
  ~ReachableCopy() {
    std::error_code error;
    fs::remove_all(FFolder, error);
  }
  ReachableCopy(const ReachableCopy &) = delete;
  ReachableCopy &operator=(const ReachableCopy &) = delete;
  const fs::path &Path() const { return FProgram; }

private:
  fs::path FFolder, FProgram;
};

// The exit code of a child that could not lay files over in a mount
// namespace of its own (no privilege for it on this machine).
inline constexpr int kNoMountNamespace = 124;

// One started child. The destructor kills one still running.
class Child {
public:
  Child(const fs::path &program, Options options) {
    const bool root = geteuid() == 0;
    fs::path run = program;
    if (options.AsOrdinaryUser && root && !OthersMayRun(program)) {
      FCopy.emplace(program);
      run = FCopy->Path();
    }
    std::vector<std::string> args = options.Args;
    args.insert(args.begin(), run.string());
    std::vector<char *> argv;
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char **e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const std::string &own : options.Environment)
        replaced = replaced || own.compare(0, name.size(), name) == 0;
      if (!replaced)
        environment.push_back(entry);
    }
    environment.insert(environment.end(), options.Environment.begin(), options.Environment.end());
    std::vector<char *> envp;
    for (auto &e : environment)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    const Stream streams[3] = {options.In, options.Out, options.Err};
    std::vector<std::string> folders;
    for (const auto &over : options.BindOver)
      folders.push_back(fs::path(over.second).parent_path().string());

    FPid = fork();
    if (FPid != 0)
      return;
    // Only async-signal-safe calls from here: the test may run threads.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal : {SIGINT, SIGTERM, SIGPIPE})
      ::signal(signal, SIG_DFL);
    if (options.NewSession)
      setsid();
    // Placed high first, so that moving one into place cannot close another.
    int placed[3];
    for (int fd = 0; fd < 3; ++fd) {
      const Stream &s = streams[fd];
      int source = -1;
      if (s.What == Stream::Null)
        source = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      else if (s.What == Stream::File)
        source = open(s.Path.c_str(), fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644);
      else if (s.What == Stream::Descriptor)
        source = s.Fd;
      placed[fd] = source < 0 ? -1 : fcntl(source, F_DUPFD, 10);
      if (s.What != Stream::Closed && placed[fd] < 0)
        _exit(125);
    }
    for (int fd = 0; fd < 3; ++fd) {
      if (placed[fd] >= 0)
        dup2(placed[fd], fd);
      else
        close(fd);
    }
    const int highest = static_cast<int>(sysconf(_SC_OPEN_MAX));
    for (int fd = 3; fd < highest && fd < 4096; ++fd)
      close(fd);
    // AddressSanitizer reserves terabytes of shadow address space at start:
    // there the programs' own bounds are all that keeps their memory down.
    if (!kAddressSanitizer) {
      const rlimit memory{options.AddressSpace, options.AddressSpace};
      setrlimit(RLIMIT_AS, &memory);
    }
    if (!options.BindOver.empty()) {
      // Nothing laid over here may reach the machine's own namespace: the
      // mounts below turn private first. In a chroot "/" is no mount, but
      // the folder of each file laid over is.
      if (unshare(CLONE_NEWNS) != 0)
        _exit(kNoMountNamespace);
      const bool rootPrivate = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
      for (size_t i = 0; i < options.BindOver.size(); ++i) {
        const auto &[source, target] = options.BindOver[i];
        if ((!rootPrivate &&
             mount(nullptr, folders[i].c_str(), nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ||
            mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
          _exit(kNoMountNamespace);
      }
    }
    if (options.AsOrdinaryUser && root &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ~Child() {
    if (FPid > 0 && !FReaped) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  pid_t Id() const { return FPid; }
  void Signal(int signal) {
    if (!FReaped)
      kill(FPid, signal);
  }
  bool Running() {
    if (FReaped)
      return false;
    int status = 0;
    if (waitpid(FPid, &status, WNOHANG) != FPid)
      return true;
    Finish(status);
    return false;
  }

  // The exit code (128 + signal for a signal), or nothing when it has not
  // ended within `limit`; it is then killed, so no test hangs on it.
  std::optional<int> Wait(std::chrono::milliseconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Running()) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(FPid, SIGKILL);
        int status = 0;
        waitpid(FPid, &status, 0);
        Finish(status);
        return std::nullopt;
      }
      std::this_thread::sleep_for(10ms);
    }
    return FCode;
  }

  // Where descriptor `fd` of the child leads, or empty when it is closed.
  std::string DescriptorTarget(int fd) const {
    std::error_code error;
    const fs::path target =
        fs::read_symlink("/proc/" + std::to_string(FPid) + "/fd/" + std::to_string(fd), error);
    return error ? std::string() : target.string();
  }
  // Its descriptors above 2 that would survive an exec (no close-on-exec).
  std::vector<std::string> InheritableDescriptors() const {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto &entry :
         fs::directory_iterator("/proc/" + std::to_string(FPid) + "/fd", error)) {
      const int fd = std::stoi(entry.path().filename().string());
      if (fd <= 2)
        continue;
      const std::string info =
          Slurp("/proc/" + std::to_string(FPid) + "/fdinfo/" + std::to_string(fd));
      const size_t at = info.find("flags:");
      if (at == std::string::npos)
        continue;
      const unsigned long flags = std::stoul(info.substr(at + 6), nullptr, 8);
      if ((flags & O_CLOEXEC) == 0)
        found.push_back(std::to_string(fd) + " -> " + DescriptorTarget(fd));
    }
    return found;
  }

private:
  void Finish(int status) {
    FReaped = true;
    FCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::optional<ReachableCopy> FCopy;
  pid_t FPid = -1;
  bool FReaped = false;
  int FCode = -1;
};

// Everything `child` writes to the pseudo-terminal whose other side is
// `master`, up to the child's end: the read ends when the terminal hangs up
// or nothing comes while the child no longer runs.
inline std::string ReadTerminal(int master, Child &child) {
  std::string screen;
  for (;;) {
    pollfd state{master, POLLIN, 0};
    if (poll(&state, 1, 100) <= 0) {
      if (!child.Running())
        break;
      continue;
    }
    char chunk[512];
    const ssize_t got = read(master, chunk, sizeof chunk);
    if (got <= 0)
      break;
    screen.append(chunk, static_cast<size_t>(got));
  }
  return screen;
}

// Waits until `done` holds, up to `limit`.
template <class Condition> bool WaitUntil(Condition done, std::chrono::milliseconds limit = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Gone, or a zombie: it holds nothing any more.
inline bool Ended(pid_t pid) {
  const std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

// The processes `pid` started, as the kernel lists them.
inline std::vector<pid_t> ChildrenOf(pid_t pid) {
  std::vector<pid_t> children;
  std::istringstream list(
      Slurp("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
  for (pid_t child; list >> child;)
    children.push_back(child);
  return children;
}

// Kills every port's korvalen-cli and the stations (gangs) that started
// them, with kill -9; whether the ports then let go of their devices.
inline bool KillStations(std::vector<std::unique_ptr<Child>> &stations) {
  std::vector<pid_t> ports;
  for (auto &station : stations)
    for (pid_t port : ChildrenOf(station->Id()))
      ports.push_back(port);
  for (pid_t port : ports)
    kill(port, SIGKILL);
  for (auto &station : stations) {
    station->Signal(SIGKILL);
    station->Wait(std::chrono::seconds(10));
  }
  return WaitUntil([&] {
    return std::all_of(ports.begin(), ports.end(), [](pid_t port) { return Ended(port); });
  });
}

// A fresh folder for the running test, of this process and this test alone:
// suites run side by side, and a test's files must not meet another's.
inline fs::path FreshTestFolder(const std::string &prefix) {
  const fs::path folder =
      fs::temp_directory_path() /
      (prefix + "-" + std::to_string(::getpid()) + "-" +
       std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

// Standard output and error in out.txt and err.txt in `folder`, which an
// earlier run must not have left behind: a test reads them while the program
// runs.
inline Options WithOutputFiles(const fs::path &folder, std::vector<std::string> args) {
  fs::remove(folder / "out.txt");
  fs::remove(folder / "err.txt");
  Options options;
  options.Args = std::move(args);
  options.Out = Stream::ToFile((folder / "out.txt").string());
  options.Err = Stream::ToFile((folder / "err.txt").string());
  return options;
}

// What a run left: its exit code (none when it outlived its bound) and what
// it wrote to the files of WithOutputFiles.
struct Ran {
  std::optional<int> Code;
  std::string Out, Err;
};

// Waits for `child` to end, within `limit` so that nothing can hang the test.
inline Ran Collect(Child &child, const fs::path &folder, std::chrono::milliseconds limit) {
  Ran run;
  run.Code = child.Wait(limit);
  run.Out = Slurp(folder / "out.txt");
  run.Err = Slurp(folder / "err.txt");
  return run;
}

// korvalen-sim as a program, with its frame log and its memory in `folder`.
class Sim {
public:
  Sim(const fs::path &folder, std::vector<std::string> args)
      : FFolder(folder), FLog(folder / "sim.log"), FMemory(folder / "sim.mem"),
        FOut(folder / "sim.out") {
    args.insert(args.end(), {"--log", FLog.string(), "--memory-out", FMemory.string()});
    // Nothing of an earlier device may pass for this one's.
    for (const fs::path &stale : {FLog, FMemory, FOut})
      fs::remove(stale);
    // A fixture's boards' memories too: FILE.1, FILE.2, ...
    for (const auto &entry : fs::directory_iterator(folder))
      if (entry.path().filename().string().rfind(FMemory.filename().string() + ".", 0) == 0)
        fs::remove(entry.path());
    Options options;
    options.Args = args;
    options.Out = Stream::ToFile(FOut.string());
    options.Err = Stream::ToFile((folder / "sim.err").string());
    FProgram.emplace(fs::path(KORVALEN_SIM_PROGRAM), options);
    WaitUntil([this] { return Slurp(FOut).find('\n') != std::string::npos; }, 10s);
    const std::string first = Slurp(FOut);
    FPath = first.substr(0, first.find('\n'));
    EXPECT_FALSE(FPath.empty()) << "korvalen-sim did not come up";
  }
  ~Sim() { Stop(); }

  // The host's side of its pseudo-terminal.
  const std::string &SlavePath() const { return FPath; }
  // Stops it (it then writes its log and memory).
  void Stop() {
    if (FProgram && FProgram->Running()) {
      FProgram->Signal(SIGINT);
      EXPECT_TRUE(FProgram->Wait(10s).has_value());
    }
  }
  // Frames of the host with this command name in the log ("Identify",
  // "WriteBlock", "WritePage", "Finish"), a fixture's boards' included;
  // after Stop.
  size_t Requests(const std::string &command) const {
    const std::regex mark("host->dev  (board [0-9]+: )?" + command + " #");
    std::istringstream log(Slurp(FLog));
    size_t count = 0;
    for (std::string line; std::getline(log, line);)
      count += std::regex_search(line, mark) ? 1 : 0;
    return count;
  }
  std::string LogText() const { return Slurp(FLog); }
  std::vector<uint8_t> MemoryBytes() const {
    const std::string bytes = Slurp(FMemory);
    return {bytes.begin(), bytes.end()};
  }
  // A fixture's (--boards) memory of board `board`, from 1.
  std::vector<uint8_t> MemoryBytes(int board) const {
    const std::string bytes = Slurp(FMemory.string() + "." + std::to_string(board));
    return {bytes.begin(), bytes.end()};
  }

private:
  fs::path FFolder, FLog, FMemory, FOut;
  std::string FPath;
  std::optional<Child> FProgram;
};

} // namespace process
