// Which process this is, in a form that stays true after the process is
// gone: its number and when it started, so that a number used again by a
// later process is not taken for it. What a journal keeps of the owner of a
// serial number, to tell after a crash whether that owner still runs.
#pragma once

#include <cstdint>
#include <string>

struct ProcessIdentity {
  uint64_t Pid = 0;
  // When it started, as the system gives it (on Linux the boot's id and the
  // start in clock ticks since boot; on Windows its creation time).
  std::string Started;
};

ProcessIdentity ThisProcess();
// True when the process still runs on this machine.
bool IsRunning(const ProcessIdentity &process);
