#include "cli/Command.h"

std::vector<std::unique_ptr<Command>> MakeCommands() {
  std::vector<std::unique_ptr<Command>> commands;
  commands.push_back(MakePortsCommand());
  commands.push_back(MakeIdentifyCommand());
  commands.push_back(MakeLoadCommand());
  commands.push_back(MakeInfoCommand());
  commands.push_back(MakeReportCommand());
  commands.push_back(MakePackCommand());
  commands.push_back(MakeUnpackCommand());
  return commands;
}
