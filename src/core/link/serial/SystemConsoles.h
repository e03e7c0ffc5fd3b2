// The terminals that are the system's console: the kernel writes its messages
// there and a login prompt may be reading them, so no program of ours may
// poll a device on one by mistake.
#pragma once

#include <filesystem>
#include <functional>
#include <sys/types.h>
#include <vector>

// Device numbers of the consoles: /dev/console itself (5:1), every console
// that /proc/consoles lists, and every terminal that
// /sys/class/tty/console/active names (through /sys/class/tty/NAME/dev).
// Both files are looked for under `root`, "/" on a running system; a missing
// or unreadable file adds nothing.
std::vector<dev_t> ReadSystemConsoles(const std::filesystem::path &root = "/");

// Where a platform learns the consoles, asked at every probe and open (they
// may change while a program runs); tests give their own.
using ConsoleList = std::function<std::vector<dev_t>()>;
