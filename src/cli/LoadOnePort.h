// One load into the device behind one port: the system's load sequence with
// its progress on the terminal (or as events), and a summary line at its end.
#pragma once

#include <string>

#include "cli/LinkOptions.h"

// Loads `file` (an image, or Intel HEX packed on the way for `deviceCode`,
// 0: none) through the port that `options` names; answers the exit code.
int LoadOnePort(const LinkOptions &options, const std::string &file, int deviceCode);
