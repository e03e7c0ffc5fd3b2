// The programs a gang load runs beside itself, one per port, each with its
// standard output and standard error read back line by line. One source per
// platform (ChildProcessesPosix.cpp, ChildProcessesWin32.cpp), chosen by CMake.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class ChildProcesses {
public:
  // One line a child wrote, without its line end.
  struct Line {
    size_t Child = 0;
    bool FromStandardError = false;
    std::string Text;
  };
  // A child that has ended, after its last line was read.
  struct Ended {
    size_t Child = 0;
    int ExitCode = -1;       // -1 when it did not exit by itself
    std::string Killed;      // how it was ended otherwise ("signal 9"), else empty
    bool KilledByUs = false; // ended by Kill, or by an Interrupt that could only end it
  };

  ChildProcesses();
  // Kills and reaps every child still running: none outlives the gang.
  ~ChildProcesses();
  ChildProcesses(const ChildProcesses &) = delete;
  ChildProcesses &operator=(const ChildProcesses &) = delete;

  // Starts the program `arguments[0]` with the rest as its arguments, its
  // standard input a pipe that stays open, with nothing in it, until
  // CloseInput or the end of this program, in a process group of its own: a terminal's Ctrl-C
  // reaches only this program, which passes it on by Interrupt. A child is
  // stopped when this program ends, even by a kill it cannot catch, so that
  // none is left waiting for a device with nobody to report to. Answers the
  // child's number (0, 1, ... in order of starting). Throws
  // std::runtime_error, with the reason, when it cannot start.
  size_t Start(const std::vector<std::string> &arguments);
  // Waits at most `milliseconds` (less when a signal comes) for output or an
  // end, and appends what came.
  void Wait(int milliseconds, std::vector<Line> &lines, std::vector<Ended> &ended);
  // Children started and not yet reported ended.
  size_t Running() const;
  // Asks a running child to stop, as Ctrl-C does; where the system cannot
  // pass Ctrl-C on (Windows without a console), ends it at once.
  void Interrupt(size_t child);
  // Ends a running child at once.
  void Kill(size_t child);
  // Closes the child's standard input: it reads its end.
  void CloseInput(size_t child);

private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};
