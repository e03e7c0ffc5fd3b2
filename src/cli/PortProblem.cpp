#include "cli/PortProblem.h"

#include <filesystem>
#include <system_error>

const char *const SJoinDialout = "Serial ports belong to the group dialout: join it with "
                                 "`sudo usermod -aG dialout $USER`, then log in again.";

namespace {
// What stands at a path that is not a terminal.
std::string WhatItIs(const std::string &path) {
  std::error_code error;
  switch (std::filesystem::status(path, error).type()) {
  case std::filesystem::file_type::directory:
    return "a folder";
  case std::filesystem::file_type::regular:
    return "a regular file";
  case std::filesystem::file_type::fifo:
    return "a FIFO (named pipe)";
  case std::filesystem::file_type::socket:
    return "a socket";
  case std::filesystem::file_type::character:
  case std::filesystem::file_type::block:
    return "a device that is not a terminal";
  default:
    return "not a terminal";
  }
}
} // namespace

std::string PortProblem(const std::string &name, const std::string &path, PortStatus status) {
  if (path.empty())
    return name + " names no port.";
  const std::string port = name.empty() ? path : name + " (" + path + ")";
  switch (status) {
  case PortStatus::Free:
    return port + " is free.";
  case PortStatus::Absent: {
    std::error_code error;
    if (std::filesystem::exists(path, error))
      return port + ": no device is there (a serial port without hardware behind it).";
    return port + ": no such device.";
  }
  case PortStatus::Busy:
    return port + " is held by another program.";
  case PortStatus::NoPermission:
    return port + ": no permission to open it. " + SJoinDialout;
  case PortStatus::NotTerminal:
    return port + " is not a serial port: it is " + WhatItIs(path) + ".";
  case PortStatus::HungUp:
    return port + " is a pseudo-terminal whose other side has closed (the program that served "
                  "it has ended).";
  case PortStatus::Console:
    return port + " is the system console: the kernel writes its messages there and a login "
                  "prompt may be reading it. Name it with --allow-console to use it all the "
                  "same.";
  }
  return port + " cannot be opened.";
}
