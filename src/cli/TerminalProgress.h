// What one port's run shows on the terminal: messages on stderr, results on
// stdout, the load's progress as a bar on a terminal or as plain lines
// otherwise, and Ctrl-C as the progress window's Cancel.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "loader/ProgressView.h"
#include "runtime/Hooks.h"

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
  std::optional<std::chrono::steady_clock::time_point> FDeadline;
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

  const WaitLimit &FLimit;
  bool *FWaitExpired;
  bool FOnTerminal;
  bool FQuiet;
  bool FWaiting = false;
  bool FGaugeVisible = false;
  int FPercent = 0;
  std::string FLabel;
};
