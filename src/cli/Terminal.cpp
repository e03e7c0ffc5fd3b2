#include "cli/Terminal.h"

#include <csignal>
#include <cstdio>
#include <iostream>

#include "cli/Console.h"
#include "loader/LoadSequence.h"

namespace {
volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
  gInterrupted = 1;
}

constexpr int kBarWidth = 40;
std::string gLastCommand = "?";
} // namespace

void InstallInterruptFlag() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
}

bool Interrupted() {
  return gInterrupted != 0;
}

void TerminalPresenter::Error(const std::string &text) {
  std::cerr << text << std::endl;
}

void TerminalPresenter::Info(const std::string &text) {
  std::cout << text << std::endl;
}

uint16_t TerminalPresenter::YesNo(const std::string &text) {
  std::cerr << text << " -> No" << std::endl;
  return kNo;
}

WaitLimit::WaitLimit(double seconds) {
  if (seconds > 0)
    Deadline = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
}

bool WaitLimit::Expired() const {
  return Deadline && std::chrono::steady_clock::now() >= *Deadline;
}

TerminalProgress::TerminalProgress(const WaitLimit &limit, bool *waitExpired)
    : Limit(limit), WaitExpired(waitExpired), OnTerminal(StandardErrorIsTerminal()) {}

TerminalProgress::~TerminalProgress() {
  if (BarDrawn)
    std::cerr << std::endl;
}

void TerminalProgress::SetLabel(const std::string &text) {
  Waiting = text == SSwitchOnDevice;
  if (text == Label)
    return;
  Label = text;
  if (BarDrawn) {
    std::cerr << std::endl;
    BarDrawn = false;
  }
  if (!OnTerminal || !GaugeVisible)
    std::cerr << Label << std::endl;
  else
    Draw();
}

void TerminalProgress::SetGaugeVisible(bool visible) {
  GaugeVisible = visible;
  if (visible && OnTerminal)
    Draw();
}

void TerminalProgress::SetGaugeValue(int percent) {
  if (percent == Percent)
    return;
  Percent = percent;
  if (OnTerminal)
    Draw();
  else
    std::cerr << Percent << "%" << std::endl;
}

bool TerminalProgress::IsCancelled() const {
  if (Interrupted())
    return true;
  if (Waiting && Limit.Expired()) {
    if (WaitExpired)
      *WaitExpired = true;
    return true;
  }
  return false;
}

void TerminalProgress::Draw() {
  const int filled = kBarWidth * Percent / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '.');
  std::fprintf(stderr, "\r[%s] %3d%%  %s", bar.c_str(), Percent, Label.c_str());
  std::fflush(stderr);
  BarDrawn = true;
}

std::string HexBytes(const uint8_t *data, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    if (i)
      text.push_back(' ');
    text.push_back(kDigits[data[i] >> 4]);
    text.push_back(kDigits[data[i] & 15]);
  }
  return text;
}

std::string CommandName(const uint8_t *frame, size_t count) {
  if (count < 5)
    return "?";
  if (frame[1] == 0 && frame[4] == 0)
    return "QueryAddress";
  switch (frame[4]) {
  case kCommandIdentify:
    return "Identify";
  case kCommandFinish:
    return "Finish";
  case kCommandWriteBlock:
    return count > 5 ? "WriteBlock " + std::to_string(frame[5]) : "WriteBlock";
  case kCommandWritePage:
    return "WritePage";
  default:
    return "command " + std::to_string(frame[4]);
  }
}

void TraceFrame(FrameDirection direction, const uint8_t *data, size_t count) {
  const char *arrow = "->";
  std::string name;
  switch (direction) {
  case FrameDirection::Sent:
    gLastCommand = CommandName(data, count);
    name = gLastCommand;
    break;
  case FrameDirection::Echo:
    arrow = "<~";
    name = "echo of " + gLastCommand;
    break;
  case FrameDirection::Received:
    arrow = "<-";
    name = "reply to " + gLastCommand;
    break;
  }
  std::cerr << arrow << " " << name << ": " << HexBytes(data, count) << std::endl;
}
