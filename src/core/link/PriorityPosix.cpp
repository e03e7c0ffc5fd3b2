#include "link/Priority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <cerrno>

namespace {
// The saved priority of the process (its nice value) and of the thread (its
// scheduling policy and parameter).
int gSavedNice = 0;
int gSavedPolicy = SCHED_OTHER;
sched_param gSavedParam{};

// Raised and restored around every exchange, so the nice value is read once:
// between exchanges it is always the saved one again. Each system call saved
// here is saved on every exchange of a load.
bool gNiceSaved = false;
} // namespace

void RaisePriority() {
  if (!gNiceSaved) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    gSavedNice = errno == 0 ? nice : 0;
    gNiceSaved = true;
  }
  if (pthread_getschedparam(pthread_self(), &gSavedPolicy, &gSavedParam) != 0) {
    gSavedPolicy = SCHED_OTHER;
    gSavedParam = sched_param{};
  }
  // The counterpart of the real-time class and the time-critical thread.
  setpriority(PRIO_PROCESS, 0, -20);
  sched_param realTime{};
  static const int highest = sched_get_priority_max(SCHED_FIFO);
  realTime.sched_priority = highest;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime);
}

void RestorePriority() {
  pthread_setschedparam(pthread_self(), gSavedPolicy, &gSavedParam);
  setpriority(PRIO_PROCESS, 0, gSavedNice);
}
