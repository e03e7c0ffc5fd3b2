// The commands of korvalen-cli, one file each: a command adds its subcommand
// and options to the parser, and runs when the command line names it.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

class Command {
public:
  virtual ~Command() = default;
  // Adds the subcommand and its options to `app`; what the line says lands
  // in the command.
  virtual void AddTo(CLI::App &app) = 0;
  // Whether the line named this command; after parsing.
  bool Named() const { return FSubcommand != nullptr && static_cast<bool>(*FSubcommand); }
  // Runs it, with the message presenter and the interrupt flag installed;
  // answers the exit code. `program` is korvalen-cli's own path.
  virtual int Run(const std::string &program) = 0;

protected:
  CLI::App *FSubcommand = nullptr;
};

std::unique_ptr<Command> MakePortsCommand();
std::unique_ptr<Command> MakeIdentifyCommand();
std::unique_ptr<Command> MakeLoadCommand();
std::unique_ptr<Command> MakeInfoCommand();
std::unique_ptr<Command> MakeReportCommand();
std::unique_ptr<Command> MakePackCommand();
std::unique_ptr<Command> MakeUnpackCommand();

// Every command, in the order the help lists them.
std::vector<std::unique_ptr<Command>> MakeCommands();
