#include "runtime/ProcessIdentity.h"

#include <windows.h>

namespace {
std::string StartedOf(DWORD pid) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process)
    return {};
  FILETIME created{}, exited{}, kernel{}, user{};
  std::string started;
  DWORD code = 0;
  if (GetProcessTimes(process, &created, &exited, &kernel, &user) &&
      GetExitCodeProcess(process, &code) && code == STILL_ACTIVE)
    started = std::to_string((uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime);
  CloseHandle(process);
  return started;
}
} // namespace

ProcessIdentity ThisProcess() {
  const DWORD pid = GetCurrentProcessId();
  return {pid, StartedOf(pid)};
}

bool IsRunning(const ProcessIdentity &process) {
  return !process.Started.empty() && StartedOf(static_cast<DWORD>(process.Pid)) == process.Started;
}
