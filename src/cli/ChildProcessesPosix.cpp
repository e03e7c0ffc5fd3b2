#include "cli/ChildProcesses.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace {
constexpr size_t kReadChunk = 4096;
// A child that writes without ever ending its line is cut into lines of this.
constexpr size_t kLongestLine = 65536;
// How a child ends that never became the program (the shell's codes).
constexpr int kExitCannotStart = 127;
constexpr int kExitParentGone = 125;

// A pipe's two ends, both closed on exec; the parent keeps the read end.
struct Pipe {
  int Read = -1;
  int Write = -1;
};

Pipe MakePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  return {fds[0], fds[1]};
}

void Close(int &fd) {
  if (fd >= 0)
    close(fd);
  fd = -1;
}

// One of a child's two output streams, with the part of a line not yet ended.
struct Stream {
  int Fd = -1;
  std::string Partial;
};

struct Child {
  pid_t Pid = -1;
  int Input = -1;    // the write end of its standard input
  Stream Streams[2]; // standard output, standard error
  bool Reaped = false;
  bool Reported = false;
  bool KilledByUs = false;
  int Status = 0;
};
} // namespace

struct ChildProcesses::Impl {
  std::vector<Child> Children;

  // Reads what a stream holds; hands on each whole line, and the rest at its end.
  void Drain(size_t index, int which, std::vector<Line> &lines) {
    Stream &stream = Children[index].Streams[which];
    char buffer[kReadChunk];
    for (;;) {
      const ssize_t got = read(stream.Fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR)
        continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return;
      if (got <= 0) {
        if (!stream.Partial.empty())
          lines.push_back({index, which == 1, std::move(stream.Partial)});
        stream.Partial.clear();
        Close(stream.Fd);
        return;
      }
      stream.Partial.append(buffer, static_cast<size_t>(got));
      size_t start = 0;
      for (size_t end; (end = stream.Partial.find('\n', start)) != std::string::npos;
           start = end + 1) {
        std::string text = stream.Partial.substr(start, end - start);
        if (!text.empty() && text.back() == '\r')
          text.pop_back();
        lines.push_back({index, which == 1, std::move(text)});
      }
      stream.Partial.erase(0, start);
      if (stream.Partial.size() >= kLongestLine)
        lines.push_back({index, which == 1, std::exchange(stream.Partial, {})});
    }
  }
};

ChildProcesses::ChildProcesses() : FImpl(std::make_unique<Impl>()) {}

ChildProcesses::~ChildProcesses() {
  for (Child &child : FImpl->Children) {
    if (!child.Reaped) {
      kill(child.Pid, SIGKILL);
      waitpid(child.Pid, &child.Status, 0);
    }
    for (Stream &stream : child.Streams)
      Close(stream.Fd);
    Close(child.Input);
  }
}

size_t ChildProcesses::Start(const std::vector<std::string> &arguments) {
  Pipe out = MakePipe();
  Pipe err, in;
  try {
    err = MakePipe();
    in = MakePipe();
  } catch (...) {
    for (int *fd : {&out.Read, &out.Write, &err.Read, &err.Write})
      Close(*fd);
    throw;
  }
  std::vector<std::string> copies = arguments;
  std::vector<char *> argv;
  for (std::string &argument : copies)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();

  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to the exec.
    // A group of its own, so that the terminal's Ctrl-C comes only through
    // us; stopped like Ctrl-C when we end; the signals we catch or ignore
    // start out as the system has them.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
      _exit(kExitParentGone);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
      sigaction(signal, &standard, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(in.Read, STDIN_FILENO) < 0 || dup2(out.Write, STDOUT_FILENO) < 0 ||
        dup2(err.Write, STDERR_FILENO) < 0)
      _exit(kExitCannotStart);
    execv(argv[0], argv.data());
    _exit(kExitCannotStart);
  }
  const int failure = pid < 0 ? errno : 0;
  Close(out.Write);
  Close(err.Write);
  Close(in.Read);
  if (pid < 0) {
    Close(out.Read);
    Close(err.Read);
    Close(in.Write);
    throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(failure));
  }
  Child child;
  child.Pid = pid;
  child.Input = in.Write;
  child.Streams[0].Fd = out.Read;
  child.Streams[1].Fd = err.Read;
  FImpl->Children.push_back(std::move(child));
  return FImpl->Children.size() - 1;
}

void ChildProcesses::Wait(int milliseconds, std::vector<Line> &lines, std::vector<Ended> &ended) {
  std::vector<pollfd> watched;
  std::vector<std::pair<size_t, int>> owners;
  for (size_t i = 0; i < FImpl->Children.size(); ++i)
    for (int which = 0; which < 2; ++which)
      if (const int fd = FImpl->Children[i].Streams[which].Fd; fd >= 0) {
        watched.push_back({fd, POLLIN, 0});
        owners.emplace_back(i, which);
      }
  // With every stream closed, only ends are awaited: a child that closed its
  // streams may still be running.
  if (poll(watched.data(), watched.size(),
           watched.empty() ? std::min(milliseconds, 20) : milliseconds) > 0) {
    for (size_t k = 0; k < watched.size(); ++k)
      if (watched[k].revents != 0)
        FImpl->Drain(owners[k].first, owners[k].second, lines);
  }
  for (size_t i = 0; i < FImpl->Children.size(); ++i) {
    Child &child = FImpl->Children[i];
    if (child.Reported || child.Streams[0].Fd >= 0 || child.Streams[1].Fd >= 0)
      continue;
    if (!child.Reaped && waitpid(child.Pid, &child.Status, WNOHANG) == child.Pid)
      child.Reaped = true;
    if (!child.Reaped)
      continue;
    child.Reported = true;
    Ended end;
    end.Child = i;
    end.KilledByUs = child.KilledByUs;
    if (WIFEXITED(child.Status))
      end.ExitCode = WEXITSTATUS(child.Status);
    else
      end.Killed = "signal " + std::to_string(WTERMSIG(child.Status));
    ended.push_back(end);
  }
}

size_t ChildProcesses::Running() const {
  size_t running = 0;
  for (const Child &child : FImpl->Children)
    running += child.Reported ? 0 : 1;
  return running;
}

void ChildProcesses::Interrupt(size_t child) {
  if (!FImpl->Children[child].Reaped)
    kill(FImpl->Children[child].Pid, SIGINT);
}

void ChildProcesses::CloseInput(size_t child) {
  Close(FImpl->Children[child].Input);
}

void ChildProcesses::Kill(size_t child) {
  Child &target = FImpl->Children[child];
  if (!target.Reaped) {
    target.KilledByUs = true;
    kill(target.Pid, SIGKILL);
  }
}
