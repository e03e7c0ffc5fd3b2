// Loading through one port: one load, or board after board (--repeat), each
// the system's load sequence with its progress on the terminal (or as
// events), a summary line at its end, and its record in the journal.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli/LinkOptions.h"
#include "cli/SerialOptions.h"
#include "station/Journal.h"

// What `load` adds to the link's options.
struct LoadOptions {
  std::string File;   // an image, or Intel HEX packed on the way
  int DeviceCode = 0; // Intel HEX: the device it is built for; 0: none
  std::string Journal;
  // A journal on a server: the local file its records go to first; empty:
  // the default, beside the settings file.
  std::string Spool;
  bool Repeat = false;
  // --repeat: the session ends once this many boards are done; 0: never.
  int Count = 0;
  std::string Gone = "1"; // seconds without an answer that make a board gone
  // A port of a gang (--gang-port): what is said once is the gang's, and no
  // new board starts once standard input is closed.
  bool InGang = false;
  // A number of its own for every board (--serial): the options, and the
  // layout they give for the image once checked.
  SerialOptions Serial;
  std::optional<SerialLayout> Layout;
};

// Says which serial number comes next (and that --serial-start was passed
// over, if it was), after recording void the numbers of this station's loads
// that a crash left without an end. A server that cannot be reached now is
// said so; the ports wait for it. Throws EJournalError.
void AnnounceSerials(Journal &journal, const SerialLayout &layout);

// The journal that `load` names (not yet checked). How its server stands is
// said on stderr as it changes, and given to `told` too.
std::unique_ptr<Journal> OpenLoadJournal(const LoadOptions &load,
                                         std::function<void(const ServerStatus &)> told = {});

// Loads through the port that `options` names; answers the exit code (of the
// load, or of the session: 0 when no load failed or was rejected, else the
// highest such code).
int LoadOnePort(const LinkOptions &options, const LoadOptions &load);
