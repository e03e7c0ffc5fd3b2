// The frame trace of --verbose, and the names it and the JSON events give the
// bootloader's commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/Zor_RS232.h"

// Every frame in hex with its command's name, on standard error:
// "-> WriteBlock 3: 87 FB ...", "<~ echo of ...", "<- reply to ...".
void TraceFrame(FrameDirection direction, const uint8_t *data, size_t count);
// The name of a request's command byte: "Identify", "WriteBlock", ...
std::string CommandCodeName(uint8_t command);
// The name of a request's command, from its address and command byte (and a
// WriteBlock's number).
std::string CommandName(const uint8_t *frame, size_t count);
// "06 FB 01 00 01 FD".
std::string HexBytes(const uint8_t *data, size_t count);
