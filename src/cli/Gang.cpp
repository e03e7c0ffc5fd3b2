#include "cli/Gang.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <set>

#include "cli/ChildProcesses.h"
#include "cli/Console.h"
#include "cli/JsonEvents.h"
#include "cli/Terminal.h"
#include "link/Zor_RS_Base.h"

namespace {
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t gInterrupts = 0;

extern "C" void OnGangInterrupt(int signal) {
  // Windows puts the default handling back before each call.
  std::signal(signal, OnGangInterrupt);
  gInterrupts = gInterrupts + 1;
}

// The first Ctrl-C lets every port finish its page, the second stops them at
// once (each child does what it does alone); from this one on, a child that
// still runs is killed.
constexpr int kInterruptsToKill = 3;
constexpr int kBarWidth = 10;
// How often a terminal's progress lines are redrawn at most, and how long the
// gang waits for its children between two looks at Ctrl-C otherwise.
constexpr int kRedrawMs = 100;
constexpr int kWaitMs = 200;
constexpr int kDefaultColumns = 80;

// The signals that ask the program to stop, as the single load takes them.
#ifdef SIGHUP
constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};
#else
constexpr std::array<int, 2> kStopSignals = {SIGINT, SIGTERM};
#endif

// The gang counts them while it runs, and passes each one on.
class StopSignals {
public:
  StopSignals() {
    for (size_t i = 0; i < kStopSignals.size(); ++i)
      Previous[i] = std::signal(kStopSignals[i], OnGangInterrupt);
  }
  ~StopSignals() {
    for (size_t i = 0; i < kStopSignals.size(); ++i)
      std::signal(kStopSignals[i], Previous[i]);
  }
  StopSignals(const StopSignals &) = delete;
  StopSignals &operator=(const StopSignals &) = delete;

private:
  std::array<void (*)(int), kStopSignals.size()> Previous{};
};

// What each port's line and row of the table show.
struct PortState {
  GangPort Port;
  std::string Label;
  int Percent = 0;
  std::optional<int> DeviceCode;
  uint64_t Retries = 0;
  bool Reported = false; // its end event came
  bool Ended = false;    // its process ended
  int ExitCode = kExitLinkFailure;
  std::string Message;
  double Elapsed = 0;
  Clock::time_point Started = Clock::now();
};

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

// One line per port, redrawn in place on a terminal; otherwise a plain line,
// prefixed by the port, for each change.
class GangDisplay {
public:
  GangDisplay(const std::vector<PortState> &ports, bool onTerminal)
      : Ports(ports), OnTerminal(onTerminal), Printed(ports.size()) {
    for (const PortState &port : Ports)
      NameWidth = std::max(NameWidth, DisplayWidth(port.Port.Name));
  }

  void Changed(size_t index) {
    if (OnTerminal) {
      Dirty = true;
      return;
    }
    const PortState &port = Ports[index];
    Shown &printed = Printed[index];
    // How a port ended its own messages say, and the table.
    if (port.Reported || port.Ended)
      return;
    if (port.Label != printed.Label && !port.Label.empty()) {
      Say(index, port.Label);
      printed.Label = port.Label;
    }
    if (port.Percent != printed.Percent) {
      Say(index, std::to_string(port.Percent) + "%");
      printed.Percent = port.Percent;
    }
  }

  // A line of its own, above the progress lines.
  void Say(size_t index, const std::string &text) {
    Erase();
    std::cerr << Ports[index].Port.Name << ": " << text << '\n';
    Dirty = true;
    if (!OnTerminal)
      std::cerr.flush();
  }

  void Refresh(bool now = false) {
    if (!OnTerminal || !Dirty)
      return;
    if (!now && Clock::now() - LastDrawn < std::chrono::milliseconds(kRedrawMs))
      return;
    Erase();
    const int columns = TerminalColumns();
    const size_t width = static_cast<size_t>(columns > 1 ? columns - 1 : kDefaultColumns);
    for (const PortState &port : Ports)
      std::cerr << "\x1b[2K" << FitWidth(Line(port), width) << '\n';
    std::cerr.flush();
    DrawnLines = Ports.size();
    Dirty = false;
    LastDrawn = Clock::now();
  }

private:
  struct Shown {
    std::string Label;
    int Percent = 0;
  };

  std::string Line(const PortState &port) const {
    const int filled = kBarWidth * port.Percent / 100;
    std::string name = port.Port.Name;
    name.append(NameWidth - DisplayWidth(name), ' ');
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", port.Percent);
    return name + "  [" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(kBarWidth - filled), '.') + "]  " + percent + "  " +
           port.Label;
  }

  // Takes the progress lines off the screen, leaving the cursor where they began.
  void Erase() {
    if (!OnTerminal || DrawnLines == 0)
      return;
    std::cerr << "\x1b[" << DrawnLines << "A\r\x1b[J";
    DrawnLines = 0;
  }

  const std::vector<PortState> &Ports;
  const bool OnTerminal;
  std::vector<Shown> Printed;
  size_t NameWidth = 0;
  size_t DrawnLines = 0;
  bool Dirty = true;
  Clock::time_point LastDrawn{};
};

// Takes in one event of a child: the port's state follows it, and with
// --json it goes on to standard output, stamped by our clock and port.
void TakeEvent(PortState &port, Json &event, bool json) {
  event["port"] = port.Port.Name;
  event["t"] = static_cast<double>(static_cast<int64_t>(SecondsSinceStart() * 1000 + 0.5)) / 1000;
  const std::string name = event.value("event", "");
  if (name == "waiting") {
    port.Label = SSwitchOnDevice;
  } else if (name == "identified") {
    port.DeviceCode = event.value("device_code", 0);
    port.Label = SIdentifying;
  } else if (name == "progress") {
    port.Percent = event.value("percent", 0);
    port.Label = SLoadingProgram;
  } else if (name == "retry") {
    ++port.Retries;
  } else if (name == "done" || name == "failed" || name == "cancelled") {
    port.Reported = true;
    port.ExitCode = event.value("exit_code", int{kExitLinkFailure});
    port.Message = event.value("message", "");
    port.Elapsed = event.value("elapsed", 0.0);
    if (event.contains("statistics") && event["statistics"].is_object())
      port.Retries = event["statistics"].value("retries", port.Retries);
    if (port.ExitCode == kExitDone)
      port.Percent = 100;
    port.Label = port.Message.empty() ? ResultName(port.ExitCode) : port.Message;
  }
  if (json)
    std::cout << event.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n' << std::flush;
}

// A child that ended without its last event: say so as it would have.
void EndUnreported(PortState &port, const ChildProcesses::Ended &end, bool json) {
  // Ended by us, or by itself at a second Ctrl-C (exit 3 before its last
  // event), it was cancelled; otherwise it failed.
  const bool stoppedAtOnce = end.KilledByUs || end.ExitCode == kExitCancelled;
  port.ExitCode = stoppedAtOnce ? kExitCancelled : kExitLinkFailure;
  if (stoppedAtOnce)
    port.Message = "Cancelled: stopped at once (a page under way is left partial, unwritten).";
  else if (end.Killed.empty())
    port.Message = "korvalen-cli for this port ended without a result (exit " +
                   std::to_string(end.ExitCode) + ")";
  else
    port.Message = "korvalen-cli for this port was ended by " + end.Killed;
  port.Elapsed = std::chrono::duration<double>(Clock::now() - port.Started).count();
  port.Label = port.Message;
  if (!json)
    return;
  RunEnd last;
  last.ExitCode = port.ExitCode;
  last.Message = port.Message;
  last.Elapsed = port.Elapsed;
  JsonEvents(std::cout, port.Port.Name).End(last);
}

void PrintTable(const std::vector<PortState> &ports, std::ostream &out) {
  size_t nameWidth = 4;
  for (const PortState &port : ports)
    nameWidth = std::max(nameWidth, DisplayWidth(port.Port.Name));
  char row[160];
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
} // namespace

std::optional<std::vector<int>> ParsePortRange(const std::string &text, std::string &problem) {
  int first = 0, last = 0;
  char dash = 0, extra = 0;
  const int fields = std::sscanf(text.c_str(), "%d%c%d%c", &first, &dash, &last, &extra);
  if (fields == 1 && text.find_first_not_of("0123456789") == std::string::npos) {
    last = first;
  } else if (fields != 3 || dash != '-' ||
             text.find_first_not_of("0123456789-") != std::string::npos) {
    problem = "--ports: '" + text + "' is not a range of port numbers such as 3-10";
    return std::nullopt;
  }
  if (first < 1 || last > kMaxPort || first > last) {
    problem = "--ports: '" + text + "' must run upwards within 1-" + std::to_string(kMaxPort);
    return std::nullopt;
  }
  std::vector<int> numbers;
  for (int n = first; n <= last; ++n)
    numbers.push_back(n);
  return numbers;
}

std::vector<GangPort> GangPorts(const std::vector<int> &ports,
                                const std::vector<std::string> &devices,
                                const std::vector<int> &range, std::string &problem) {
  std::vector<GangPort> gang;
  std::set<std::string> named;
  auto add = [&](GangPort port) {
    if (!named.insert(port.Name).second) {
      problem = port.Name + " is named twice.";
      return false;
    }
    gang.push_back(std::move(port));
    return true;
  };
  for (int n : ports)
    if (!add({"COM" + std::to_string(n), "--port", std::to_string(n)}))
      return {};
  for (const std::string &path : devices)
    if (!add({path, "--device", path}))
      return {};
  for (int n : range)
    if (!add({"COM" + std::to_string(n), "--port", std::to_string(n)}))
      return {};
  return gang;
}

std::vector<std::string> SharedLoadArguments(const std::vector<std::string> &loadArguments) {
  static const std::set<std::string> kWithValue = {"--port", "--device", "--ports"};
  std::vector<std::string> shared;
  for (size_t i = 0; i < loadArguments.size(); ++i) {
    const std::string &argument = loadArguments[i];
    const std::string name = argument.substr(0, argument.find('='));
    if (argument == "--json")
      continue;
    if (kWithValue.count(name)) {
      if (name == argument)
        ++i; // its value follows
      continue;
    }
    shared.push_back(argument);
  }
  return shared;
}

int RunGang(const GangSetup &setup) {
  gInterrupts = 0;
  const StopSignals stopSignals;

  std::vector<PortState> ports;
  for (const GangPort &port : setup.Ports) {
    PortState &state = ports.emplace_back();
    state.Port = port;
  }
  ChildProcesses children;
  std::vector<std::optional<size_t>> childOf(ports.size()); // port -> child
  std::vector<size_t> portOf;                               // child -> port
  for (size_t i = 0; i < ports.size(); ++i) {
    std::vector<std::string> arguments = {setup.Program, "load"};
    arguments.insert(arguments.end(), setup.SharedArguments.begin(), setup.SharedArguments.end());
    arguments.insert(arguments.end(), {"--json", ports[i].Port.Option, ports[i].Port.Value});
    try {
      childOf[i] = children.Start(arguments);
      portOf.push_back(i);
    } catch (const std::exception &failure) {
      ports[i].Ended = ports[i].Reported = true;
      ports[i].Message = failure.what();
      ports[i].Label = ports[i].Message;
    }
  }

  // Asked once: the lines are redrawn in place, and more often, only on a terminal.
  const bool onTerminal = StandardErrorIsTerminal();
  GangDisplay display(ports, onTerminal);
  for (size_t i = 0; i < ports.size(); ++i)
    display.Changed(i);
  int forwarded = 0;
  std::vector<ChildProcesses::Line> lines;
  std::vector<ChildProcesses::Ended> ended;
  while (children.Running() > 0) {
    display.Refresh();
    lines.clear();
    ended.clear();
    children.Wait(onTerminal ? kRedrawMs : kWaitMs, lines, ended);
    for (const int interrupts = gInterrupts; forwarded < interrupts;) {
      ++forwarded;
      for (size_t i = 0; i < ports.size(); ++i) {
        if (!childOf[i] || ports[i].Ended)
          continue;
        if (forwarded >= kInterruptsToKill)
          children.Kill(*childOf[i]);
        else
          children.Interrupt(*childOf[i]);
      }
    }
    for (ChildProcesses::Line &line : lines) {
      const size_t index = portOf[line.Child];
      Json event = Json::parse(line.Text, nullptr, false);
      if (line.FromStandardError || !event.is_object()) {
        display.Say(index, line.Text);
        continue;
      }
      TakeEvent(ports[index], event, setup.Json);
      display.Changed(index);
    }
    for (const ChildProcesses::Ended &end : ended) {
      const size_t index = portOf[end.Child];
      PortState &port = ports[index];
      port.Ended = true;
      if (!port.Reported) {
        EndUnreported(port, end, setup.Json);
        display.Say(index, port.Message);
      } else if (end.ExitCode != port.ExitCode) {
        // The process's own word is final (it may have failed after its report).
        port.ExitCode = end.ExitCode >= 0 ? end.ExitCode : kExitLinkFailure;
      }
      display.Changed(index);
    }
  }
  display.Refresh(true);

  PrintTable(ports, setup.Json ? std::cerr : std::cout);
  int code = kExitDone;
  for (const PortState &port : ports) {
    const bool known = port.ExitCode >= kExitDone && port.ExitCode <= kExitFileProblem;
    code = std::max(code, known ? port.ExitCode : int{kExitLinkFailure});
  }
  return code;
}
