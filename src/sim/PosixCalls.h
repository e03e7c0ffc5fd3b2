// The two helpers every part of the device that calls the OS uses.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

#include <unistd.h>

namespace sim {

// Throws std::system_error for errno, naming what failed.
[[noreturn]] inline void ThrowErrno(const std::string &what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Closes `fd` if it is open and marks it closed (-1).
inline void CloseFd(int &fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

} // namespace sim
