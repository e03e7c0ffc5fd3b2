#include "link/Priority.h"

#include <windows.h>

namespace {
DWORD gSavedClass = NORMAL_PRIORITY_CLASS;
int gSavedThreadPriority = THREAD_PRIORITY_NORMAL;
} // namespace

void RaisePriority() {
  gSavedClass = GetPriorityClass(GetCurrentProcess());
  gSavedThreadPriority = GetThreadPriority(GetCurrentThread());
  SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

void RestorePriority() {
  SetThreadPriority(GetCurrentThread(), gSavedThreadPriority);
  SetPriorityClass(GetCurrentProcess(), gSavedClass);
}
