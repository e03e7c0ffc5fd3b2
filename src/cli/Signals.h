// How korvalen-cli takes the signals that ask it to stop: Ctrl-C (SIGINT),
// SIGTERM and, on POSIX, a hang-up of its terminal.
#pragma once

#include <array>
#include <csignal>

// One port's run: the signals set a flag instead of ending the program, and
// the load stops at the next point where it looks (between pages). A second
// one ends the program at once, with the ports' settings put back.
void InstallInterruptFlag();
bool Interrupted();
// Whether a page may be under way, for what an interrupt says.
void SetTransferring(bool transferring);

// A command that changes nothing (a report, which may wait minutes for its
// server): the first signal ends the program at once, as cancelled.
void InstallImmediateInterrupt();

// A gang's run: while it lives, the signals are only counted, for the gang to
// pass each one on to its ports; the handlers before it come back after it.
class CountedStopSignals {
public:
  CountedStopSignals();
  ~CountedStopSignals();
  CountedStopSignals(const CountedStopSignals &) = delete;
  CountedStopSignals &operator=(const CountedStopSignals &) = delete;

  // How many have come since it was made.
  int Count() const;

private:
#ifdef SIGHUP
  static constexpr size_t kSignals = 3;
#else
  static constexpr size_t kSignals = 2;
#endif
  std::array<void (*)(int), kSignals> FPrevious{};
};
