// korvalen-cli: the system's core driven from the command line, for production
// lines, scripts and test rigs. This file only dispatches: every command
// lives in a file of its own (Command.h).
#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>

#include "cli/Command.h"
#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "cli/ResultOutput.h"
#include "cli/Signals.h"
#include "cli/TerminalProgress.h"
#include "runtime/Hooks.h"
#include "runtime/ProgramPath.h"
#include "runtime/StandardDescriptors.h"

namespace {
int Run(int argc, char **argv) {
  CLI::App app{"korvalen-cli: load firmware into PIC24 and dsPIC33 microcontrollers through "
               "their serial bootloader"};
  app.footer(ExitCodesHelp());
  app.require_subcommand(1);
  const std::vector<std::unique_ptr<Command>> commands = MakeCommands();
  for (const auto &command : commands)
    command->AddTo(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Error &error) {
    const int code = app.exit(error);
    return code == 0 ? kExitDone : kExitUsage;
  }

  std::filesystem::path program = ProgramFilePath();
  if (program.empty())
    program = argv[0];
  TerminalPresenter presenter;
  SetMessagePresenter(&presenter);
  InstallInterruptFlag();
  try {
    for (const auto &command : commands)
      if (command->Named())
        return command->Run(program.string());
  } catch (const std::exception &failure) {
    EndBarLine();
    std::cerr << failure.what() << std::endl;
    return kExitLinkFailure;
  }
  return kExitUsage;
}
} // namespace

int main(int argc, char **argv) {
  // Before anything is opened: a port must never become the terminal's stream.
  const std::optional<StandardDescriptors> closed = OpenStandardDescriptors();
  if (!closed)
    return kExitNoDescriptors;
  IgnoreBrokenPipe();
  const Utf8Arguments utf8Arguments(argc, argv);
  ResultOutput results(closed->OutputWasClosed);
  std::streambuf *const standardOutput = std::cout.rdbuf(&results);
  int code = Run(argc, argv);
  const std::string failure = results.Failure();
  std::cout.rdbuf(standardOutput);
  if (!failure.empty()) {
    std::cerr << "korvalen-cli: the results could not be written to standard output: " << failure
              << "." << std::endl;
    if (code == kExitDone)
      code = kExitOutputFailed;
  }
  return code;
}
