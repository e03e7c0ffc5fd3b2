#include "Child.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char **environ;

namespace bench {

namespace {
double Seconds(const timeval &t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

void AddOpen(posix_spawn_file_actions_t &actions, int fd, const std::string &path) {
  const char *target = path.empty() ? "/dev/null" : path.c_str();
  const int flags = fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_addopen(&actions, fd, target, flags, 0644);
}
} // namespace

Child::Child(const std::vector<std::string> &argv, const Streams &streams) {
  Start(argv, streams, -1);
}

Child Child::WithStdoutPipe(const std::vector<std::string> &argv, const std::string &stderrPath) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
  Child child;
  child.FPipeRead = fds[0];
  try {
    child.Start(argv, Streams{"", stderrPath}, fds[1]);
  } catch (...) {
    close(fds[1]);
    throw;
  }
  close(fds[1]);
  return child;
}

void Child::Start(const std::vector<std::string> &argv, const Streams &streams, int stdoutPipe) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  AddOpen(actions, 0, "");
  if (stdoutPipe >= 0)
    posix_spawn_file_actions_adddup2(&actions, stdoutPipe, 1);
  else
    AddOpen(actions, 1, streams.Stdout);
  if (streams.StderrClosed)
    posix_spawn_file_actions_addclose(&actions, 2);
  else
    AddOpen(actions, 2, streams.Stderr);
  // The child starts with default signal handling and nothing blocked, whatever
  // this program has set up.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char *> args;
  for (const auto &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  FStarted = std::chrono::steady_clock::now();
  const int error = posix_spawn(&FPid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    FPid = -1;
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
}

Child::Child(Child &&other) noexcept
    : FPid(std::exchange(other.FPid, -1)), FPipeRead(std::exchange(other.FPipeRead, -1)),
      FBuffered(std::move(other.FBuffered)), FStarted(other.FStarted) {}

Child::~Child() {
  if (FPid > 0) {
    kill(FPid, SIGKILL);
    int status = 0;
    while (waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (FPipeRead >= 0)
    close(FPipeRead);
}

std::optional<std::string> Child::FirstLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (FPipeRead >= 0) {
    const auto newline = FBuffered.find('\n');
    if (newline != std::string::npos)
      return FBuffered.substr(0, newline);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return std::nullopt;
    pollfd state{FPipeRead, POLLIN, 0};
    if (poll(&state, 1, static_cast<int>(left.count())) <= 0)
      continue;
    char chunk[256];
    const ssize_t got = read(FPipeRead, chunk, sizeof chunk);
    if (got <= 0)
      return std::nullopt;
    FBuffered.append(chunk, static_cast<size_t>(got));
  }
  return std::nullopt;
}

void Child::Signal(int signal) {
  if (FPid > 0)
    kill(FPid, signal);
}

ChildResult Child::Wait(std::chrono::milliseconds limit) {
  ChildResult result;
  if (FPid <= 0)
    return result;
  // A watchdog kills the child once its time is up; this thread blocks in
  // waitid without reaping, so the watchdog can never hit a reused pid.
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  bool killed = false;
  const pid_t pid = FPid;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!ended.wait_for(lock, limit, [&] { return done; })) {
      killed = true;
      kill(pid, SIGKILL);
    }
  });
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  const auto stopped = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  ended.notify_all();
  watchdog.join();

  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  FPid = -1;
  result.WallSeconds = std::chrono::duration<double>(stopped - FStarted).count();
  result.TimedOut = killed;
  result.Exited = WIFEXITED(status);
  result.ExitCode = result.Exited ? WEXITSTATUS(status) : -1;
  result.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.UserSeconds = Seconds(usage.ru_utime);
  result.SystemSeconds = Seconds(usage.ru_stime);
  result.MaxRssKb = usage.ru_maxrss;
  return result;
}

ScratchDir::ScratchDir(const std::string &prefix) {
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
  if (!mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  FPath = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(FPath, ignored);
}

std::vector<unsigned char> ReadFileBytes(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string ReadFileText(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::string &path, const std::vector<unsigned char> &bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file)
    throw std::runtime_error("cannot write " + path);
}

} // namespace bench
