// korvalen-cli load: an image into the device behind one port, or into the
// devices behind several ports at once (a gang, one child process per port).
#include <iostream>
#include <optional>

#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "cli/Gang.h"
#include "cli/HexCommands.h"
#include "cli/ImageFile.h"
#include "cli/LinkOptions.h"
#include "cli/LoadOnePort.h"
#include "cli/RunReport.h"

namespace {
// The numbers of a --ports range but those that are the system console, each
// left out with a line that says so: a range is a guess at where the devices
// are, and the console is never one of them.
std::vector<int> WithoutConsoles(const std::vector<int> &range, const std::string &text) {
  auto platform = DefaultSerialPlatform();
  std::vector<int> kept;
  for (int n : range) {
    if (platform->Status(n) == PortStatus::Console)
      std::cerr << "COM" << n << " (" << platform->DevicePath(n)
                << ") is the system console: left out of --ports " << text << "." << std::endl;
    else
      kept.push_back(n);
  }
  return kept;
}

class LoadCommand final : public Command {
public:
  void AddTo(CLI::App &app) override {
    FSubcommand = app.add_subcommand(
        "load", "Load a firmware image into the device, or into several devices at once");
    AddLinkOptions(*FSubcommand, FOptions, true);
    FSubcommand
        ->add_option("FILE", FFile, "Firmware image (.rom), or Intel HEX (.hex) packed on the way")
        ->required();
    AddDeviceCodeOption(*FSubcommand, FDeviceCode,
                        "For an Intel HEX file: the device code it is built for; the device "
                        "must report it (without it, no check against the device)");
  }

  int Run(const std::string &program) override {
    std::string problem;
    std::vector<int> range;
    if (!FOptions.Range.empty()) {
      const auto numbers = ParsePortRange(FOptions.Range, problem);
      if (!numbers) {
        std::cerr << problem << std::endl;
        return kExitUsage;
      }
      range = WithoutConsoles(*numbers, FOptions.Range);
      if (range.empty() && FOptions.Ports.empty() && FOptions.Devices.empty()) {
        std::cerr << "--ports " << FOptions.Range << " leaves no port to load." << std::endl;
        return kExitLinkFailure;
      }
    }
    std::vector<GangPort> gang = GangPorts(FOptions.Ports, FOptions.Devices, range, problem);
    if (!problem.empty() || gang.empty()) {
      std::cerr << (gang.empty() && problem.empty()
                        ? "One of --port, --device and --ports is required."
                        : problem)
                << std::endl;
      return kExitUsage;
    }
    if (gang.size() == 1) {
      FOptions.Port = gang[0].Option == "--port" ? std::stoi(gang[0].Value) : 0;
      FOptions.Device = gang[0].Option == "--device" ? gang[0].Value : "";
      return LoadOnePort(FOptions, FFile, FDeviceCode);
    }
    return LoadGang(std::move(gang), program);
  }

private:
  // The same load into several devices at once, one korvalen-cli per port.
  int LoadGang(std::vector<GangPort> ports, const std::string &program) {
    {
      // A file that cannot be loaded stops the gang before any port is opened.
      RunReport report({}, FOptions.Json);
      std::optional<FirmwareImage> packed;
      if (const int refused = CheckLoadFile(FFile, FDeviceCode, report, packed);
          refused != kExitDone)
        return report.End(refused);
    }
    GangSetup setup;
    setup.Program = program;
    setup.Ports = std::move(ports);
    setup.LoadOptions = LinkArguments(FOptions);
    if (FDeviceCode != 0)
      setup.LoadOptions.insert(setup.LoadOptions.end(),
                               {"--device-code", std::to_string(FDeviceCode)});
    setup.File = FFile;
    setup.Json = FOptions.Json;
    return RunGang(setup);
  }

  LinkOptions FOptions;
  std::string FFile;
  int FDeviceCode = 0;
};
} // namespace

std::unique_ptr<Command> MakeLoadCommand() {
  return std::make_unique<LoadCommand>();
}
