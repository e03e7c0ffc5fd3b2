#include "link/TimerPeriod.h"

#include <windows.h>

#include <timeapi.h>

namespace {
constexpr UINT kPeriodMs = 1;
} // namespace

// Requests are counted by the system: nested scopes each give theirs back.
FineTimerScope::FineTimerScope() : FGranted(timeBeginPeriod(kPeriodMs) == TIMERR_NOERROR) {}

FineTimerScope::~FineTimerScope() {
  if (FGranted)
    timeEndPeriod(kPeriodMs);
}
