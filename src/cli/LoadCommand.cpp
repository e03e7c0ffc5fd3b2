// korvalen-cli load: an image into the device behind one port, or into the
// devices behind several ports at once (a gang, one child process per port).
#include <cmath>
#include <cstdlib>
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
#include "station/Journal.h"

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

// --gone: a finite number of seconds, more than 0.
std::string CheckGone(const std::string &text) {
  char *end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(seconds) ||
      seconds <= 0 || seconds > 3600)
    return "'" + text + "' is not a number of seconds (more than 0, at most 3600)";
  return {};
}

class LoadCommand final : public Command {
public:
  void AddTo(CLI::App &app) override {
    FSubcommand = app.add_subcommand(
        "load", "Load a firmware image into the device, or into several devices at once");
    AddLinkOptions(*FSubcommand, FOptions, true);
    FSubcommand
        ->add_option("FILE", FLoad.File,
                     "Firmware image (.rom), or Intel HEX (.hex) packed on the way")
        ->required();
    AddDeviceCodeOption(*FSubcommand, FLoad.DeviceCode,
                        "For an Intel HEX file: the device code it is built for; the device "
                        "must report it (without it, no check against the device)");
    FSubcommand
        ->add_option("--journal", FLoad.Journal,
                     "Append a record of every load that reached a device to FILE (JSON Lines, "
                     "flushed to disk before the load's end is shown), or send it to a "
                     "PostgreSQL server (postgresql://... or host=... dbname=...) through the "
                     "spool")
        ->type_name("FILE|SERVER");
    FSubcommand
        ->add_option("--spool", FLoad.Spool,
                     "With a server's --journal: the local file every record goes to first, "
                     "until the server confirms it (default: journal-spool.jsonl beside the "
                     "settings file)")
        ->type_name("FILE");
    auto *repeat = FSubcommand->add_flag(
        "--repeat", FLoad.Repeat,
        "Board after board: load, wait until the board is taken out, wait for the next, until "
        "Ctrl-C or --count");
    FSubcommand->add_option("--count", FLoad.Count, "With --repeat: end once N boards are done")
        ->check(CLI::PositiveNumber)
        ->needs(repeat)
        ->type_name("N");
    FSubcommand
        ->add_option("--gone", FLoad.Gone,
                     "With --repeat: a board is gone when it has not answered for this long")
        ->check(CLI::Validator(CheckGone, "", "seconds"))
        ->needs(repeat)
        ->type_name("SECONDS")
        ->capture_default_str();
    AddSerialOptions(*FSubcommand, FLoad.Serial);
    // A port of a gang: the gang has said what is said once for all, and
    // tells its port to start no new board by closing its standard input.
    FSubcommand->add_flag("--gang-port", FLoad.InGang)->group("");
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
    if (!FLoad.Serial.Address.empty() && FLoad.Journal.empty()) {
      std::cerr << "--serial needs --journal: the journal keeps the numbers handed out."
                << std::endl;
      return kExitUsage;
    }
    if (!FLoad.Serial.Address.empty()) {
      // Where the number goes is checked against the image before any port
      // is opened.
      RunReport report({}, false);
      std::optional<FirmwareImage> packed;
      FirmwareImage image;
      if (const int refused = CheckLoadFile(FLoad.File, FLoad.DeviceCode, report, packed);
          refused != kExitDone)
        return refused;
      if (!packed && ReadImage(FLoad.File, image) != kExitDone)
        return kExitFileProblem;
      FLoad.Layout = SerialLayoutFor(FLoad.Serial, packed ? *packed : image);
      if (!FLoad.Layout)
        return kExitUsage;
    }
    std::vector<GangPort> gang = GangPorts(FOptions.Ports, FOptions.Devices, range, problem);
    if (!problem.empty() || gang.empty()) {
      std::cerr << (gang.empty() && problem.empty()
                        ? "One of --port, --device and --ports is required."
                        : problem)
                << std::endl;
      return kExitUsage;
    }
    // A session draws its ports' lines as a gang does, one port or many; a
    // gang's own port in repeat mode is such a child.
    if (gang.size() == 1 && (!FLoad.Repeat || FLoad.InGang)) {
      FOptions.Port = gang[0].Option == "--port" ? std::stoi(gang[0].Value) : 0;
      FOptions.Device = gang[0].Option == "--device" ? gang[0].Value : "";
      return LoadOnePort(FOptions, FLoad);
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
      if (const int refused = CheckLoadFile(FLoad.File, FLoad.DeviceCode, report, packed);
          refused != kExitDone)
        return report.End(refused);
      if (!FLoad.Journal.empty()) {
        try {
          const std::unique_ptr<Journal> journal = OpenLoadJournal(FLoad);
          journal->CheckWritable();
          if (FLoad.Layout)
            AnnounceSerials(*journal, *FLoad.Layout);
        } catch (const EJournalError &failure) {
          std::cerr << failure.what() << std::endl;
          return report.End(kExitOutputFailed, failure.what());
        }
      }
    }
    GangSetup setup;
    setup.Program = program;
    setup.Ports = std::move(ports);
    setup.LoadOptions = LinkArguments(FOptions);
    if (FLoad.DeviceCode != 0)
      setup.LoadOptions.insert(setup.LoadOptions.end(),
                               {"--device-code", std::to_string(FLoad.DeviceCode)});
    if (!FLoad.Journal.empty())
      setup.LoadOptions.insert(setup.LoadOptions.end(), {"--journal", FLoad.Journal});
    // One spool for every port: each sends what any of them left.
    if (!FLoad.Spool.empty())
      setup.LoadOptions.insert(setup.LoadOptions.end(), {"--spool", FLoad.Spool});
    if (FLoad.Repeat)
      setup.LoadOptions.insert(setup.LoadOptions.end(), {"--repeat", "--gone", FLoad.Gone});
    setup.LoadOptions.push_back("--gang-port");
    if (FLoad.Layout) {
      const std::vector<std::string> serial = SerialArguments(FLoad.Serial);
      setup.LoadOptions.insert(setup.LoadOptions.end(), serial.begin(), serial.end());
    }
    setup.Repeat = FLoad.Repeat;
    setup.Count = FLoad.Count;
    setup.File = FLoad.File;
    setup.Json = FOptions.Json;
    return RunGang(setup);
  }

  LinkOptions FOptions;
  LoadOptions FLoad;
};
} // namespace

std::unique_ptr<Command> MakeLoadCommand() {
  return std::make_unique<LoadCommand>();
}
