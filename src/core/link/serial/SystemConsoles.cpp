#include "link/serial/SystemConsoles.h"

#include <fstream>
#include <sstream>
#include <string>
#include <sys/sysmacros.h>

namespace {
// /dev/console, whichever terminal it stands for.
constexpr unsigned kConsoleMajor = 5;
constexpr unsigned kConsoleMinor = 1;

// "4:64" -> the device number; false for anything else.
bool ParseDeviceNumber(const std::string &text, dev_t &device) {
  unsigned major = 0, minor = 0;
  char colon = 0, extra = 0;
  std::istringstream in(text);
  if (!(in >> major >> colon >> minor) || colon != ':' || (in >> extra))
    return false;
  device = makedev(major, minor);
  return true;
}
} // namespace

std::vector<dev_t> ReadSystemConsoles(const std::filesystem::path &root) {
  std::vector<dev_t> consoles = {makedev(kConsoleMajor, kConsoleMinor)};
  dev_t device{};
  // "ttyS0                -W- (EC  p a)    4:64": the number is the last field.
  std::ifstream registered(root / "proc/consoles");
  for (std::string line; std::getline(registered, line);) {
    const size_t end = line.find_last_not_of(" \t");
    if (end == std::string::npos)
      continue;
    const size_t start = line.find_last_of(" \t", end);
    const std::string last = line.substr(start == std::string::npos ? 0 : start + 1);
    if (ParseDeviceNumber(last, device))
      consoles.push_back(device);
  }
  // "tty0 ttyS0": names of terminals under /sys/class/tty.
  std::ifstream active(root / "sys/class/tty/console/active");
  for (std::string name; active >> name;) {
    if (name.find('/') != std::string::npos || name == "." || name == "..")
      continue;
    std::ifstream number(root / "sys/class/tty" / name / "dev");
    std::string text;
    if (std::getline(number, text) && ParseDeviceNumber(text, device))
      consoles.push_back(device);
  }
  return consoles;
}
