#include "cli/ExitCodes.h"

namespace {
struct Meaning {
  ExitCode Code;
  const char *Text;
};
constexpr Meaning kMeanings[] = {
    {kExitDone, "done"},
    {kExitRejected, "the device or the image was rejected"},
    {kExitLinkFailure, "a link failure"},
    {kExitCancelled, "cancelled or --wait expired"},
    {kExitFileProblem, "the file is missing or unreadable"},
    {kExitUsage, "bad usage"},
    {kExitOutputFailed, "the results could not be written to standard output or the journal"},
};
} // namespace

std::string ExitCodesHelp() {
  std::string text = "Exit codes:";
  for (const Meaning &meaning : kMeanings)
    text += (meaning.Code == kExitDone ? " " : ", ") + std::to_string(meaning.Code) + " " +
            meaning.Text;
  return text + ".";
}
