// Why a port cannot be opened, in words a person can act on.
#pragma once

#include <string>

#include "link/serial/SerialPort.h"

// How a user gets the right to open serial ports on Linux.
extern const char *const SJoinDialout;

// `name` is "COMn", or empty for a port given by its path; `path` is what it
// names (empty when it names nothing).
std::string PortProblem(const std::string &name, const std::string &path, PortStatus status);
