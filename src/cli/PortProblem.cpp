#include "cli/PortProblem.h"

#include <sys/stat.h>

const char *const SJoinDialout = "Serial ports belong to the group dialout: join it with "
                                 "`sudo usermod -aG dialout $USER`, then log in again.";

namespace {
// What stands at a path that is not a terminal.
std::string WhatItIs(const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0)
    return "not a terminal";
  if (S_ISDIR(info.st_mode))
    return "a folder";
  if (S_ISREG(info.st_mode))
    return "a regular file";
  if (S_ISFIFO(info.st_mode))
    return "a FIFO (named pipe)";
  if (S_ISSOCK(info.st_mode))
    return "a socket";
  return "a device that is not a terminal";
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
    struct stat info {};
    if (stat(path.c_str(), &info) == 0)
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
  }
  return port + " cannot be opened.";
}
