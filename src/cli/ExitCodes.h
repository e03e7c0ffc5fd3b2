// The exit codes of korvalen-cli, the same for every command, and the words
// its help gives them.
#pragma once

#include <string>

enum ExitCode : int {
  kExitDone = 0,
  kExitRejected = 1,
  kExitLinkFailure = 2,
  kExitCancelled = 3,
  kExitFileProblem = 4,
  kExitUsage = 64,
  kExitOutputFailed = 74, // the results (standard output, the journal) could not be written
};

// "Exit codes: 0 done, 1 the device or the image was rejected, ...": every
// code above with its meaning, in order, for the help's footer.
std::string ExitCodesHelp();
