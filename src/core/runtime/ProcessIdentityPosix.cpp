#include "runtime/ProcessIdentity.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {
std::string FirstLine(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The boot's id and the process's start since boot: a pid and its start are
// one process only within one boot. Empty for a process that has ended (a
// zombie's entry stays until its parent reaps it).
std::string StartedOf(uint64_t pid) {
  const std::string stat = FirstLine("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' ||
      stat[close + 2] == 'X')
    return {};
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  // Field 22 of the whole line is the start time; after the name, the 20th.
  for (int i = 3; i <= 22 && fields >> field; ++i)
    if (i == 22)
      return FirstLine("/proc/sys/kernel/random/boot_id") + "/" + field;
  return {};
}
} // namespace

ProcessIdentity ThisProcess() {
  const uint64_t pid = static_cast<uint64_t>(getpid());
  return {pid, StartedOf(pid)};
}

bool IsRunning(const ProcessIdentity &process) {
  return !process.Started.empty() && StartedOf(process.Pid) == process.Started;
}
