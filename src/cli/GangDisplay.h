// What a gang load shows: one line per port, redrawn in place on a terminal
// (a plain line per change otherwise), and the table of results at its end.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/ExitCodes.h"
#include "cli/Gang.h"

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
  std::chrono::steady_clock::time_point Started = std::chrono::steady_clock::now();
  // Repeat mode: the loads of the session by outcome.
  int Done = 0, Failed = 0, Rejected = 0, Cancelled = 0;
};

// What tells a person that a board may be taken out of its fixture.
extern const char *const STakeOut;

// "done", "rejected", "cancelled", "file" or "failed".
const char *ResultName(int exitCode);

// The ports' progress lines on standard error.
class GangDisplay {
public:
  // How often the lines are redrawn on a terminal at most.
  static constexpr int kRedrawMs = 100;

  // `ports` outlives the display; `onTerminal`: standard error is a terminal.
  // `repeat`: each line begins with the port's counts, and a total line
  // follows.
  GangDisplay(const std::vector<PortState> &ports, bool onTerminal, bool repeat = false);
  // Port `index` changed: on a terminal its line is redrawn at the next
  // Refresh, otherwise what changed is said on a line of its own.
  void Changed(size_t index);
  // A line of its own, above the progress lines.
  void Say(size_t index, const std::string &text);
  // Redraws the lines if something changed (at most every 100 ms, unless `now`).
  void Refresh(bool now = false);

private:
  struct Shown {
    std::string Label;
    int Percent = 0;
  };

  std::string Line(const PortState &port) const;
  // Takes the progress lines off the screen, leaving the cursor where they began.
  void Erase();

  // "done 41  failed 1  rejected 0"
  static std::string Counts(int done, int failed, int rejected);

  const std::vector<PortState> &FPorts;
  const bool FOnTerminal;
  const bool FRepeat;
  std::vector<Shown> FPrinted;
  size_t FNameWidth = 0;
  size_t FDrawnLines = 0;
  bool FDirty = true;
  std::chrono::steady_clock::time_point FLastDrawn{};
};

// Port, device code, result, time, retries and message, a row per port; in
// repeat mode the port's counts in place of the device code and time.
void PrintTable(const std::vector<PortState> &ports, std::ostream &out, bool repeat = false);
