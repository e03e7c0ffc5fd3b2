#include "cli/Gang.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <set>

#include "cli/ChildProcesses.h"
#include "cli/Console.h"
#include "cli/GangDisplay.h"
#include "cli/JsonEvents.h"
#include "cli/Signals.h"
#include "link/Zor_RS_Base.h"
#include "loader/LoadSequence.h"

namespace {
using Clock = std::chrono::steady_clock;

// The first Ctrl-C lets every port finish its page, the second stops them at
// once (each child does what it does alone); from this one on, a child that
// still runs is killed.
constexpr int kInterruptsToKill = 3;
// How long the gang waits for its children between two looks at Ctrl-C when
// it draws no lines.
constexpr int kWaitMs = 200;

// Takes in one event of a child: the port's state follows it, and with
// --json it goes on to standard output, stamped by our clock and port.
void TakeEvent(PortState &port, Json &event, const GangSetup &setup) {
  event["port"] = port.Port.Name;
  event["t"] = static_cast<double>(static_cast<int64_t>(SecondsSinceStart() * 1000 + 0.5)) / 1000;
  const std::string name = event.value("event", "");
  if (name == "waiting") {
    port.Label = SSwitchOnDevice;
    port.Percent = 0;
  } else if (name == "identified") {
    port.DeviceCode = event.value("device_code", 0);
    port.Label = SIdentifying;
  } else if (name == "progress") {
    port.Percent = event.value("percent", 0);
    port.Label = SLoadingProgram;
  } else if (name == "retry") {
    // A session's retries are the sum of its loads', each told at its end.
    if (!setup.Repeat)
      ++port.Retries;
  } else if (name == "done" || name == "failed" || name == "cancelled") {
    port.ExitCode = event.value("exit_code", int{kExitLinkFailure});
    port.Message = event.value("message", "");
    port.Elapsed = event.value("elapsed", 0.0);
    if (event.contains("statistics") && event["statistics"].is_object()) {
      const uint64_t retries = event["statistics"].value("retries", uint64_t{0});
      port.Retries = setup.Repeat ? port.Retries + retries : retries;
    }
    if (port.ExitCode == kExitDone)
      port.Percent = 100;
    if (setup.Repeat) {
      // One board of the session; the board stays until it is taken out.
      port.Done += port.ExitCode == kExitDone;
      port.Rejected += port.ExitCode == kExitRejected;
      port.Failed += port.ExitCode == kExitLinkFailure;
      port.Cancelled += port.ExitCode == kExitCancelled;
      port.Label = std::string(STakeOut) + " (" + ResultName(port.ExitCode) + ")";
    } else {
      port.Reported = true;
      port.Label = port.Message.empty() ? ResultName(port.ExitCode) : port.Message;
    }
  } else if (name == "server") {
    // The journal's server, as the port finds it; a load's own label follows.
    const std::string state = event.value("state", "");
    if (state == "away")
      port.Label = "journal's server away: " + std::to_string(event.value("waiting", 0)) +
                   " records wait in the spool";
    else if (state == "back")
      port.Label =
          "journal's server back: " + std::to_string(event.value("sent", 0)) + " records sent";
    else if (state == "no_numbers")
      port.Label = "waiting for the journal's server (serial numbers need it)";
  } else if (name == "gone") {
    port.Label = "board taken out";
    port.Percent = 0;
  } else if (name == "session") {
    port.Reported = true;
    port.ExitCode = event.value("exit_code", int{kExitLinkFailure});
    port.Message = "session ended: " + event.value("ended_by", std::string("?"));
    port.Label = port.Message;
  }
  if (setup.Json)
    std::cout << event.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n' << std::flush;
}

// The exit codes a port's korvalen-cli ends with by itself.
bool IsExitCode(int code) {
  return (code >= kExitDone && code <= kExitFileProblem) || code == kExitOutputFailed;
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

std::vector<std::string> ChildCommandLine(const GangSetup &setup, const GangPort &port) {
  std::vector<std::string> line = {setup.Program, "load"};
  line.insert(line.end(), setup.LoadOptions.begin(), setup.LoadOptions.end());
  // The file after "--": a name that begins with '-' is still a file.
  line.insert(line.end(), {"--json", port.Option, port.Value, "--", setup.File});
  return line;
}

int RunGang(const GangSetup &setup) {
  const CountedStopSignals stopSignals;

  std::vector<PortState> ports;
  for (const GangPort &port : setup.Ports) {
    PortState &state = ports.emplace_back();
    state.Port = port;
  }
  ChildProcesses children;
  std::vector<std::optional<size_t>> childOf(ports.size()); // port -> child
  std::vector<size_t> portOf;                               // child -> port
  for (size_t i = 0; i < ports.size(); ++i) {
    try {
      childOf[i] = children.Start(ChildCommandLine(setup, ports[i].Port));
      portOf.push_back(i);
    } catch (const std::exception &failure) {
      ports[i].Ended = ports[i].Reported = true;
      ports[i].Message = failure.what();
      ports[i].Label = ports[i].Message;
    }
  }

  // Asked once: the lines are redrawn in place, and more often, only on a terminal.
  const bool onTerminal = StandardErrorIsTerminal();
  GangDisplay display(ports, onTerminal, setup.Repeat);
  bool inputsClosed = false;
  for (size_t i = 0; i < ports.size(); ++i)
    display.Changed(i);
  int forwarded = 0;
  std::vector<ChildProcesses::Line> lines;
  std::vector<ChildProcesses::Ended> ended;
  while (children.Running() > 0) {
    display.Refresh();
    lines.clear();
    ended.clear();
    children.Wait(onTerminal ? GangDisplay::kRedrawMs : kWaitMs, lines, ended);
    for (const int interrupts = stopSignals.Count(); forwarded < interrupts;) {
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
      TakeEvent(ports[index], event, setup);
      display.Changed(index);
    }
    // Enough boards are done: no port starts another, each ends the load it
    // is in.
    if (setup.Repeat && setup.Count > 0 && !inputsClosed) {
      int done = 0;
      for (const PortState &port : ports)
        done += port.Done;
      if (done >= setup.Count) {
        inputsClosed = true;
        for (size_t i = 0; i < ports.size(); ++i)
          if (childOf[i])
            children.CloseInput(*childOf[i]);
      }
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

  PrintTable(ports, setup.Json ? std::cerr : std::cout, setup.Repeat);
  int code = kExitDone;
  for (const PortState &port : ports)
    code = std::max(code, IsExitCode(port.ExitCode) ? port.ExitCode : int{kExitLinkFailure});
  if (setup.Json && setup.Repeat) {
    int done = 0, failed = 0, rejected = 0, cancelled = 0;
    for (const PortState &port : ports) {
      done += port.Done;
      failed += port.Failed;
      rejected += port.Rejected;
      cancelled += port.Cancelled;
    }
    JsonEvents(std::cout, {})
        .Write("session", {{"boards", done + failed + rejected + cancelled},
                           {"done", done},
                           {"failed", failed},
                           {"rejected", rejected},
                           {"cancelled", cancelled},
                           {"exit_code", code},
                           {"ports", ports.size()}});
  }
  return code;
}
