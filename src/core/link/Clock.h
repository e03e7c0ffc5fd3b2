// The millisecond clock and the pauses of the link, behind one seam so that
// tests can drive time themselves.
#pragma once

#include <cstdint>

class LinkClock {
public:
  virtual ~LinkClock() = default;
  // A monotonic millisecond count (the tick count).
  virtual uint64_t TickCount() = 0;
  // Pauses the calling thread.
  virtual void Sleep(uint32_t milliseconds) = 0;
};

// The steady clock of the machine.
LinkClock &SystemClock();
