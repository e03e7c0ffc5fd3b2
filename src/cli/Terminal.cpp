#include "cli/Terminal.h"

#include <csignal>
#include <cstdio>
#include <iostream>

#include "cli/Console.h"
#include "link/serial/SerialPort.h"
#include "loader/LoadSequence.h"

namespace {
volatile std::sig_atomic_t gInterrupts = 0;
volatile std::sig_atomic_t gTransferring = 0;

extern "C" void OnInterrupt(int signal) {
  // Windows puts the default handling back before each call.
  std::signal(signal, OnInterrupt);
  if (gInterrupts == 0) {
    gInterrupts = 1;
    if (gTransferring)
      WriteStandardErrorNow("\nInterrupted: finishing the page in progress, then stopping "
                            "(Ctrl-C again stops at once).\n");
    return;
  }
  RestoreOpenPortSettings();
  WriteStandardErrorNow(gTransferring
                            ? "\nStopped at once: the device holds a partial page (nothing of "
                              "it is written to flash before its WritePage).\n"
                            : "\nCancelled.\n");
  EndProgramNow(kExitCancelled);
}

constexpr int kBarWidth = 40;
// Farther off than any wait a person means: the same as no limit.
constexpr double kLongestWaitSeconds = 1e9;
bool gBarOpen = false;
std::string gLastCommand = "?";
} // namespace

void InstallInterruptFlag() {
  HandleStopSignals(OnInterrupt);
}

bool Interrupted() {
  return gInterrupts != 0;
}

void SetTransferring(bool transferring) {
  gTransferring = transferring ? 1 : 0;
}

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
    Deadline = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
}

bool WaitLimit::Expired() const {
  return Deadline && std::chrono::steady_clock::now() >= *Deadline;
}

TerminalProgress::TerminalProgress(const WaitLimit &limit, bool *waitExpired, bool quiet)
    : Limit(limit), WaitExpired(waitExpired), OnTerminal(StandardErrorIsTerminal()), Quiet(quiet) {}

TerminalProgress::~TerminalProgress() {
  SetTransferring(false);
  EndBarLine();
}

void TerminalProgress::SetLabel(const std::string &text) {
  Waiting = text == SSwitchOnDevice;
  // Before the label is shown: an interrupt that follows it finds a page under way.
  SetTransferring(text == SLoadingProgram);
  if (text == Label || Quiet)
    return;
  Label = text;
  EndBarLine();
  if (!OnTerminal || !GaugeVisible)
    std::cerr << Label << std::endl;
  else
    Draw();
}

void TerminalProgress::SetGaugeVisible(bool visible) {
  GaugeVisible = visible;
  if (visible && OnTerminal && !Quiet)
    Draw();
}

void TerminalProgress::SetGaugeValue(int percent) {
  if (percent == Percent || Quiet)
    return;
  Percent = percent;
  if (OnTerminal) {
    Draw();
  } else {
    EndBarLine();
    std::cerr << Percent << "%" << std::endl;
  }
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
  gBarOpen = true;
  // A full bar is final: what follows goes on a line of its own.
  if (Percent >= 100)
    EndBarLine();
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

std::string CommandCodeName(uint8_t command) {
  switch (command) {
  case 0:
    return "QueryAddress";
  case kCommandIdentify:
    return "Identify";
  case kCommandFinish:
    return "Finish";
  case kCommandWriteBlock:
    return "WriteBlock";
  case kCommandWritePage:
    return "WritePage";
  default:
    return "command " + std::to_string(command);
  }
}

std::string CommandName(const uint8_t *frame, size_t count) {
  if (count < 5)
    return "?";
  const uint8_t command = frame[4];
  // Command 0 asks for the address only of address 0.
  if (command == 0 && frame[1] != 0)
    return "command 0";
  if (command == kCommandWriteBlock && count > 5)
    return "WriteBlock " + std::to_string(frame[5]);
  return CommandCodeName(command);
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
  EndBarLine();
  std::cerr << arrow << " " << name << ": " << HexBytes(data, count) << std::endl;
}
