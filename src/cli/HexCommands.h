// The Intel HEX side of korvalen-cli: the compiler's output turned into the
// system's image for a load. The pack and unpack commands are made in
// HexCommands.cpp (see Command.h).
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "loader/IntelHex.h"

// The option that names the device an Intel HEX file is built for; only 97
// and 245 are devices the system accepts.
CLI::Option *AddDeviceCodeOption(CLI::App &command, int &deviceCode,
                                 const std::string &description);

// A file load takes as Intel HEX: its name ends in ".hex" (any case).
bool IsIntelHexFile(const std::string &file);

// One line per warning, on stderr, each naming the file and its lines.
std::string DescribeHexWarning(const HexWarning &warning);
void ReportHexWarnings(const std::string &file, const std::vector<HexWarning> &warnings);

// Packs an Intel HEX file for a load (deviceCode 0: no trailer, so no check
// against the device), telling its warnings, each to `warned` as well when
// given; nothing, after saying why, when the file is missing, unreadable or
// damaged, or holds no program word.
std::optional<FirmwareImage>
PackForLoad(const std::string &file, int deviceCode,
            const std::function<void(const std::string &)> &warned = nullptr);
