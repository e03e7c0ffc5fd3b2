#include "cli/TerminalProgress.h"

#include <cstdio>
#include <iostream>

#include "cli/Console.h"
#include "cli/Signals.h"
#include "loader/LoadSequence.h"

namespace {
constexpr int kBarWidth = 40;
// Farther off than any wait a person means: the same as no limit.
constexpr double kLongestWaitSeconds = 1e9;
bool gBarOpen = false;
} // namespace

void EndBarLine() {
  if (!gBarOpen)
    return;
  std::cerr << std::endl;
  gBarOpen = false;
}

void TerminalPresenter::Error(const std::string &text) {
  EndBarLine();
  std::cerr << text << std::endl;
}

void TerminalPresenter::Info(const std::string &text) {
  EndBarLine();
  std::cout << text << std::endl;
}

uint16_t TerminalPresenter::YesNo(const std::string &text) {
  EndBarLine();
  std::cerr << text << " -> No" << std::endl;
  return kNo;
}

WaitLimit::WaitLimit(double seconds) {
  if (seconds > 0 && seconds <= kLongestWaitSeconds)
    FDeadline = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(seconds));
}

bool WaitLimit::Expired() const {
  return FDeadline && std::chrono::steady_clock::now() >= *FDeadline;
}

TerminalProgress::TerminalProgress(const WaitLimit &limit, bool *waitExpired, bool quiet)
    : FLimit(limit), FWaitExpired(waitExpired), FOnTerminal(StandardErrorIsTerminal()),
      FQuiet(quiet) {}

TerminalProgress::~TerminalProgress() {
  SetTransferring(false);
  EndBarLine();
}

void TerminalProgress::SetLabel(const std::string &text) {
  FWaiting = text == SSwitchOnDevice;
  // Before the label is shown: an interrupt that follows it finds a page under way.
  SetTransferring(text == SLoadingProgram);
  if (text == FLabel || FQuiet)
    return;
  FLabel = text;
  EndBarLine();
  if (!FOnTerminal || !FGaugeVisible)
    std::cerr << FLabel << std::endl;
  else
    Draw();
}

void TerminalProgress::SetGaugeVisible(bool visible) {
  FGaugeVisible = visible;
  if (visible && FOnTerminal && !FQuiet)
    Draw();
}

void TerminalProgress::SetGaugeValue(int percent) {
  if (percent == FPercent || FQuiet)
    return;
  FPercent = percent;
  if (FOnTerminal) {
    Draw();
  } else {
    EndBarLine();
    std::cerr << FPercent << "%" << std::endl;
  }
}

bool TerminalProgress::IsCancelled() const {
  if (Interrupted())
    return true;
  if (FWaiting && FLimit.Expired()) {
    if (FWaitExpired)
      *FWaitExpired = true;
    return true;
  }
  return false;
}

void TerminalProgress::Draw() {
  const int filled = kBarWidth * FPercent / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '.');
  std::fprintf(stderr, "\r[%s] %3d%%  %s", bar.c_str(), FPercent, FLabel.c_str());
  std::fflush(stderr);
  gBarOpen = true;
  // A full bar is final: what follows goes on a line of its own.
  if (FPercent >= 100)
    EndBarLine();
}
