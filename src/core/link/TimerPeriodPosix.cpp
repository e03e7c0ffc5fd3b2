#include "link/TimerPeriod.h"

// POSIX sleeps and poll time-outs are not rounded to a timer period.
FineTimerScope::FineTimerScope() = default;
FineTimerScope::~FineTimerScope() = default;
