// korvalen-cli ports: the serial ports COM1 ... COM32 that are present, with
// the device path each names and whether it can be opened.
#include <iostream>

#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "cli/JsonEvents.h"
#include "cli/LinkOptions.h"
#include "cli/PortProblem.h"
#include "link/Zor_RS_Base.h"

namespace {
const char *StatusText(PortStatus status) {
  switch (status) {
  case PortStatus::Free:
    return "free";
  case PortStatus::Busy:
    return "busy";
  case PortStatus::Console:
    return "system console";
  default:
    return "no permission";
  }
}

class PortsCommand final : public Command {
public:
  void AddTo(CLI::App &app) override {
    FSubcommand =
        app.add_subcommand("ports", "List the serial ports COM1 ... COM32 that are present");
    AddJsonFlag(*FSubcommand, FJson);
  }

  int Run(const std::string &) override {
    auto platform = DefaultSerialPlatform();
    bool refused = false;
    for (int n = 1; n <= kMaxPort; ++n) {
      const PortStatus status = platform->Status(n);
      if (!IsPresent(status))
        continue;
      refused = refused || status == PortStatus::NoPermission;
      const std::string name = "COM" + std::to_string(n);
      if (FJson)
        JsonEvents(std::cout, name)
            .Write("port", {{"device", platform->DevicePath(n)}, {"status", StatusText(status)}});
      else
        std::cout << name << "\t" << platform->DevicePath(n) << "\t" << StatusText(status) << "\n";
    }
    if (refused)
      std::cerr << SJoinDialout << std::endl;
    return kExitDone;
  }

private:
  bool FJson = false;
};
} // namespace

std::unique_ptr<Command> MakePortsCommand() {
  return std::make_unique<PortsCommand>();
}
