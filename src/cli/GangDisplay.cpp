#include "cli/GangDisplay.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "cli/Console.h"
#include "loader/LoadSequence.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr int kBarWidth = 10;
constexpr int kDefaultColumns = 80;

// Counts code points, not bytes: the labels are Cyrillic.
size_t DisplayWidth(const std::string &text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string FitWidth(const std::string &text, size_t columns) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((text[i] & 0xC0) != 0x80 && seen++ == columns)
      return text.substr(0, i);
  }
  return text;
}

} // namespace

const char *ResultName(int exitCode) {
  switch (exitCode) {
  case kExitDone:
    return "done";
  case kExitRejected:
    return "rejected";
  case kExitCancelled:
    return "cancelled";
  case kExitFileProblem:
    return "file";
  default:
    return "failed";
  }
}

const char *const STakeOut = "take the board out";

GangDisplay::GangDisplay(const std::vector<PortState> &ports, bool onTerminal, bool repeat)
    : FPorts(ports), FOnTerminal(onTerminal), FRepeat(repeat), FPrinted(ports.size()) {
  for (const PortState &port : FPorts)
    FNameWidth = std::max(FNameWidth, DisplayWidth(port.Port.Name));
  if (FRepeat)
    FNameWidth = std::max<size_t>(FNameWidth, 3); // "all"
}

std::string GangDisplay::Counts(int done, int failed, int rejected) {
  return "done " + std::to_string(done) + "  failed " + std::to_string(failed) + "  rejected " +
         std::to_string(rejected);
}

void GangDisplay::Changed(size_t index) {
  if (FOnTerminal) {
    FDirty = true;
    return;
  }
  const PortState &port = FPorts[index];
  Shown &printed = FPrinted[index];
  // How a port ended its own messages say, and the table.
  if ((port.Reported && !FRepeat) || port.Ended)
    return;
  if (port.Label != printed.Label && !port.Label.empty()) {
    Say(index, port.Label);
    printed.Label = port.Label;
  }
  if (port.Percent != printed.Percent && port.Label == SLoadingProgram) {
    Say(index, std::to_string(port.Percent) + "%");
    printed.Percent = port.Percent;
  }
}

void GangDisplay::Say(size_t index, const std::string &text) {
  Erase();
  std::cerr << FPorts[index].Port.Name << ": " << text << '\n';
  FDirty = true;
  if (!FOnTerminal)
    std::cerr.flush();
}

void GangDisplay::Refresh(bool now) {
  if (!FOnTerminal || !FDirty)
    return;
  if (!now && Clock::now() - FLastDrawn < std::chrono::milliseconds(kRedrawMs))
    return;
  Erase();
  const int columns = TerminalColumns();
  const size_t width = static_cast<size_t>(columns > 1 ? columns - 1 : kDefaultColumns);
  for (const PortState &port : FPorts)
    std::cerr << "\x1b[2K" << FitWidth(Line(port), width) << '\n';
  if (FRepeat) {
    int done = 0, failed = 0, rejected = 0;
    for (const PortState &port : FPorts) {
      done += port.Done;
      failed += port.Failed;
      rejected += port.Rejected;
    }
    std::string name = "all";
    name.append(FNameWidth - DisplayWidth(name), ' ');
    std::cerr << "\x1b[2K" << FitWidth(name + "  " + Counts(done, failed, rejected), width) << '\n';
  }
  std::cerr.flush();
  FDrawnLines = FPorts.size() + (FRepeat ? 1 : 0);
  FDirty = false;
  FLastDrawn = Clock::now();
}

std::string GangDisplay::Line(const PortState &port) const {
  const int filled = kBarWidth * port.Percent / 100;
  std::string name = port.Port.Name;
  name.append(FNameWidth - DisplayWidth(name), ' ');
  const std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                          std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]";
  char percent[8];
  if (!FRepeat) {
    std::snprintf(percent, sizeof percent, "%3d%%", port.Percent);
    return name + "  " + bar + "  " + percent + "  " + port.Label;
  }
  // Between boards the bar means nothing: the state alone.
  std::string state = port.Label;
  if (port.Label == SLoadingProgram) {
    std::snprintf(percent, sizeof percent, "%d%%", port.Percent);
    state = bar + " " + percent + " " + port.Label;
  }
  return name + "  " + Counts(port.Done, port.Failed, port.Rejected) + "  ·  " + state;
}

void GangDisplay::Erase() {
  if (!FOnTerminal || FDrawnLines == 0)
    return;
  std::cerr << "\x1b[" << FDrawnLines << "A\r\x1b[J";
  FDrawnLines = 0;
}

void PrintTable(const std::vector<PortState> &ports, std::ostream &out, bool repeat) {
  size_t nameWidth = 4;
  for (const PortState &port : ports)
    nameWidth = std::max(nameWidth, DisplayWidth(port.Port.Name));
  char row[200];
  if (repeat) {
    std::snprintf(row, sizeof row, "%-*s  %5s  %6s  %8s  %9s  %-9s  %7s  %s",
                  static_cast<int>(nameWidth), "Port", "Done", "Failed", "Rejected", "Cancelled",
                  "Result", "Retries", "Message");
    out << row << '\n';
    for (const PortState &port : ports) {
      std::snprintf(row, sizeof row, "%-*s  %5d  %6d  %8d  %9d  %-9s  %7llu  ",
                    static_cast<int>(nameWidth), port.Port.Name.c_str(), port.Done, port.Failed,
                    port.Rejected, port.Cancelled, ResultName(port.ExitCode),
                    static_cast<unsigned long long>(port.Retries));
      out << row << port.Message << '\n';
    }
    out.flush();
    return;
  }
  std::snprintf(row, sizeof row, "%-*s  %-6s  %-9s  %7s  %7s  %s", static_cast<int>(nameWidth),
                "Port", "Device", "Result", "Time s", "Retries", "Message");
  out << row << '\n';
  for (const PortState &port : ports) {
    const std::string code = port.DeviceCode ? std::to_string(*port.DeviceCode) : "-";
    std::snprintf(row, sizeof row, "%-*s  %-6s  %-9s  %7.2f  %7llu  ", static_cast<int>(nameWidth),
                  port.Port.Name.c_str(), code.c_str(), ResultName(port.ExitCode), port.Elapsed,
                  static_cast<unsigned long long>(port.Retries));
    out << row << port.Message << '\n';
  }
  out.flush();
}
