// A fine system timer for the length of a run. On Windows the timer period
// is 15.6 ms by default, and every pause and every driver time-out of the link
// is stretched to it; a run asks for 1 ms and gives it back at its end. Other
// systems have fine timers already: there it does nothing.
#pragma once

class FineTimerScope {
public:
  FineTimerScope();
  ~FineTimerScope();
  FineTimerScope(const FineTimerScope &) = delete;
  FineTimerScope &operator=(const FineTimerScope &) = delete;

private:
  bool FGranted = false;
};
