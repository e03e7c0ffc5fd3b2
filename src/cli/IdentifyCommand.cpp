// korvalen-cli identify: waits for the device as the load does and shows
// what it reports.
#include <iostream>

#include "cli/Command.h"
#include "cli/EchoCheck.h"
#include "cli/ExitCodes.h"
#include "cli/LinkOptions.h"
#include "cli/RunReport.h"
#include "cli/Signals.h"
#include "cli/TerminalProgress.h"
#include "loader/LoadSequence.h"

namespace {
class IdentifyCommand final : public Command {
public:
  void AddTo(CLI::App &app) override {
    FSubcommand = app.add_subcommand("identify", "Wait for the device and show what it reports");
    AddLinkOptions(*FSubcommand, FOptions, false);
  }

  int Run(const std::string &) override {
    if (FOptions.Port == 0 && FOptions.Device.empty()) {
      std::cerr << "One of --port and --device is required." << std::endl;
      return kExitUsage;
    }

    RunReport report(PortName(FOptions), FOptions.Json);
    EchoCheck echoCheck(static_cast<uint8_t>(FOptions.LineMode));
    std::string problem;
    auto link = OpenLink(FOptions, echoCheck, problem);
    if (!link)
      return report.End(kExitLinkFailure, problem);
    report.Watch(*link);
    const WaitLimit limit(WaitSeconds(FOptions));
    report.Waiting();
    // Poll as the load does, until the device answers or the operator gives up.
    const bool answered = WaitForDevice(*link, [&] {
      report.PollFailed();
      return Interrupted() || limit.Expired();
    });
    if (!answered) {
      const bool interrupted = Interrupted();
      const std::string text = interrupted ? "Cancelled." : "No answer within the wait.";
      std::cerr << text << std::endl;
      PrintWaitStatistics(report);
      return report.End(kExitCancelled, text, nullptr, interrupted ? "interrupt" : "wait");
    }
    const std::optional<DeviceIdentity> identity = ReadIdentity(*link);
    if (!identity) {
      std::cerr << "The Identify reply is too short (" << int{link->InBuffer[0]} << " bytes)."
                << std::endl;
      ShowError(SWrongMicrocontroller);
      return report.End(kExitRejected);
    }
    report.Identified(*identity);
    PrintIdentity(*identity, Results(report));
    if (!IsAcceptedDevice(*identity)) {
      ShowError(SWrongMicrocontroller);
      return report.End(kExitRejected);
    }
    return report.End(kExitDone);
  }

private:
  LinkOptions FOptions;
};
} // namespace

std::unique_ptr<Command> MakeIdentifyCommand() {
  return std::make_unique<IdentifyCommand>();
}
