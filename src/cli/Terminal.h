// What korvalen-cli shows: messages on stderr, results on stdout, the load's
// progress as a bar on a terminal or as plain lines otherwise, and Ctrl-C as
// the progress window's Cancel.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "link/Zor_RS232.h"
#include "loader/ProgressView.h"
#include "runtime/Hooks.h"

// Exit codes, the same for every command.
enum ExitCode : int {
  kExitDone = 0,
  kExitRejected = 1,
  kExitLinkFailure = 2,
  kExitCancelled = 3,
  kExitFileProblem = 4,
  kExitUsage = 64,
  kExitOutputFailed = 74, // the work is done, but its results could not be written
};

// Ctrl-C (SIGINT), SIGTERM and a hang-up of the terminal set a flag instead of
// ending the program: the load stops at the next point where it looks
// (between pages). A second one ends the program at once, with the ports'
// settings put back.
void InstallInterruptFlag();
bool Interrupted();
// Whether a page may be under way, for what an interrupt says.
void SetTransferring(bool transferring);

// A progress bar redraws its line in place; anything else printed on stderr
// first ends that line.
void EndBarLine();

// Message boxes as lines: errors to stderr, information to stdout. Questions
// are answered No: the command line never asks.
class TerminalPresenter : public MessagePresenter {
public:
  void Error(const std::string &text) override;
  void Info(const std::string &text) override;
  uint16_t YesNo(const std::string &text) override;
};

// When the wait for the device runs out. Without a limit it never does; a
// limit too far off to reach is none.
class WaitLimit {
public:
  explicit WaitLimit(double seconds);
  bool Expired() const;

private:
  std::optional<std::chrono::steady_clock::time_point> Deadline;
};

// The load's progress view. The wait limit counts only while the view shows
// the waiting stage; Ctrl-C counts at any time. A quiet view shows nothing
// and keeps the stage all the same (--json without a terminal: the events
// carry the progress).
class TerminalProgress : public ProgressView {
public:
  TerminalProgress(const WaitLimit &limit, bool *waitExpired, bool quiet = false);
  ~TerminalProgress() override;
  void ShowView() override {}
  void SetCancelVisible(bool) override {}
  void SetLabel(const std::string &text) override;
  void SetGaugeVisible(bool visible) override;
  // 100 ends the bar's line.
  void SetGaugeValue(int percent) override;
  bool IsCancelled() const override;

private:
  void Draw();

  const WaitLimit &Limit;
  bool *WaitExpired;
  bool OnTerminal;
  bool Quiet;
  bool Waiting = false;
  bool GaugeVisible = false;
  int Percent = 0;
  std::string Label;
};

// The frame trace of --verbose: every frame in hex with its command's name.
void TraceFrame(FrameDirection direction, const uint8_t *data, size_t count);
// The name of a request's command byte: "Identify", "WriteBlock", ...
std::string CommandCodeName(uint8_t command);
// The name of a request's command, from its address and command byte (and a
// WriteBlock's number).
std::string CommandName(const uint8_t *frame, size_t count);
std::string HexBytes(const uint8_t *data, size_t count);
