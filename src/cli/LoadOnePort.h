// Loading through one port: one load, or board after board (--repeat), each
// the system's load sequence with its progress on the terminal (or as
// events), a summary line at its end, and its record in the journal.
#pragma once

#include <optional>
#include <string>

#include "cli/LinkOptions.h"

// What `load` adds to the link's options.
struct LoadOptions {
  std::string File;   // an image, or Intel HEX packed on the way
  int DeviceCode = 0; // Intel HEX: the device it is built for; 0: none
  std::string Journal;
  bool Repeat = false;
  // --repeat: the session ends once this many boards are done; 0: never.
  int Count = 0;
  std::string Gone = "1"; // seconds without an answer that make a board gone
  // --repeat in a gang: no new board once standard input is closed.
  bool UntilInputCloses = false;
};

// Loads through the port that `options` names; answers the exit code (of the
// load, or of the session: 0 when no load failed or was rejected, else the
// highest such code).
int LoadOnePort(const LinkOptions &options, const LoadOptions &load);
