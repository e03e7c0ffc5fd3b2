// Child processes for the benchmark drivers: the real programs, started with
// posix_spawn and reaped with wait4 so that their own CPU time and peak memory
// are known.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// How a child ended and what it cost.
struct ChildResult {
  bool Exited = false;   // exited normally (else killed by a signal)
  int ExitCode = -1;     // valid when Exited
  int Signal = 0;        // valid when !Exited
  bool TimedOut = false; // killed by us after its time ran out
  double WallSeconds = 0;
  double UserSeconds = 0;
  double SystemSeconds = 0;
  long MaxRssKb = 0;
};

// Where a child's standard streams go: a file (truncated), or nowhere.
struct Streams {
  std::string Stdout;        // empty: /dev/null
  std::string Stderr;        // empty: /dev/null
  bool StderrClosed = false; // closed instead (2>&-)
};

// A started child. The destructor kills (SIGKILL) and reaps a child still
// running, so that no error path leaves one behind.
class Child {
public:
  // Starts `argv[0]` (a path) with its arguments. Throws std::runtime_error
  // when it cannot be started.
  Child(const std::vector<std::string> &argv, const Streams &streams);
  // The same, with standard output taken by a pipe that FirstLine reads.
  static Child WithStdoutPipe(const std::vector<std::string> &argv, const std::string &stderrPath);
  Child(Child &&other) noexcept;
  Child &operator=(Child &&) = delete;
  Child(const Child &) = delete;
  ~Child();

  pid_t Pid() const { return FPid; }
  // The first line the child writes on its standard output (pipe mode), or
  // nothing if none comes within `timeout` or the child closes it.
  std::optional<std::string> FirstLine(std::chrono::milliseconds timeout);
  // Sends a signal if the child still runs.
  void Signal(int signal);
  // Waits for the child; kills it with SIGKILL once `limit` has passed
  // (TimedOut). Wall time counts from the start of the child.
  ChildResult Wait(std::chrono::milliseconds limit);

private:
  Child() = default;
  void Start(const std::vector<std::string> &argv, const Streams &streams, int stdoutPipe);

  pid_t FPid = -1;
  int FPipeRead = -1;
  std::string FBuffered;
  std::chrono::steady_clock::time_point FStarted;
};

// A scratch folder, removed with its content by the destructor.
class ScratchDir {
public:
  explicit ScratchDir(const std::string &prefix);
  ~ScratchDir();
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::string &Path() const { return FPath; }
  std::string File(const std::string &name) const { return FPath + "/" + name; }

private:
  std::string FPath;
};

std::vector<unsigned char> ReadFileBytes(const std::string &path);
std::string ReadFileText(const std::string &path);
void WriteFileBytes(const std::string &path, const std::vector<unsigned char> &bytes);

} // namespace bench
