// korvalen-cli: the system's core driven from the command line, for production
// lines, scripts and test rigs.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "cli/Console.h"
#include "cli/EchoCheck.h"
#include "cli/Gang.h"
#include "cli/HexCommands.h"
#include "cli/ImageFile.h"
#include "cli/JsonEvents.h"
#include "cli/PortProblem.h"
#include "cli/ResultOutput.h"
#include "cli/RunReport.h"
#include "cli/Terminal.h"
#include "link/Zor_RS232.h"
#include "loader/LoadSequence.h"
#include "runtime/Exceptions.h"
#include "runtime/Hooks.h"
#include "runtime/ProgramPath.h"
#include "runtime/StandardDescriptors.h"

namespace {
// The system could not give the program its standard descriptors.
constexpr int kExitNoDescriptors = 71;

struct LinkOptions {
  int Port = 0; // the one port of a run: COMn, or the device path
  std::string Device;
  // load: the ports named, each option as often as wanted.
  std::vector<int> Ports;
  std::vector<std::string> Devices;
  std::string Range;
  int LineMode = 2;
  uint32_t Baud = 19200;
  std::string Wait = "0";
  bool Verbose = false;
  bool Json = false;
  // A port that is the system console is opened only when named with this.
  bool AllowConsole = false;
};

ConsoleAccess Consoles(const LinkOptions &options) {
  return options.AllowConsole ? ConsoleAccess::Allowed : ConsoleAccess::Refused;
}

// What the events and messages call the run's port.
std::string PortName(const LinkOptions &options) {
  return options.Device.empty() ? "COM" + std::to_string(options.Port) : options.Device;
}

// Results for a person: standard output, unless it carries the events.
std::ostream &Results(const RunReport &report) {
  return report.WritesJson() ? std::cerr : std::cout;
}

CLI::Option *AddJsonFlag(CLI::App &command, bool &json) {
  return command.add_flag(
      "--json", json,
      "JSON Lines on standard output, one object per event (docs/command-line.md lists them); "
      "text for a person goes to standard error");
}

// A finite number of seconds, 0 or more; anything else is refused in a few
// words (the parser's own range check would print the largest double).
std::string CheckWait(const std::string &text) {
  char *end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds < 0)
    return "'" + text + "' is not a number of seconds (0 or more; 0 waits without limit)";
  return {};
}

double WaitSeconds(const LinkOptions &options) {
  return std::strtod(options.Wait.c_str(), nullptr);
}

// `several`: the ports of a gang load, --port and --device as often as
// wanted and --ports for a range; otherwise one of --port and --device.
void AddLinkOptions(CLI::App &command, LinkOptions &options, bool several) {
  if (several) {
    command
        .add_option("--port", options.Ports,
                    "Serial port number n of COMn; repeat it to load several devices at once")
        ->allow_extra_args(false)
        ->check(CLI::Range(1, kMaxPort));
    command.add_option("--device", options.Devices, "Serial device path; may be repeated")
        ->allow_extra_args(false);
    command.add_option("--ports", options.Range, "A range of port numbers, such as 3-10");
  } else {
    auto *port = command.add_option("--port", options.Port, "Serial port number n of COMn")
                     ->check(CLI::Range(1, kMaxPort));
    auto *device = command.add_option("--device", options.Device, "Serial device path");
    port->excludes(device);
    device->excludes(port);
  }
  command
      .add_option("--line-mode", options.LineMode,
                  "0: one device; 1: shared line; 2: RS-485 with echo, RTS switched")
      ->check(CLI::Range(0, 2))
      ->capture_default_str();
  command.add_option("--baud", options.Baud, "Line speed in bit/s")
      ->check(CLI::Range(kMinBaudRate, kMaxBaudRate))
      ->capture_default_str();
  command
      .add_option("--wait", options.Wait,
                  "Seconds to wait for the device to answer; 0 waits without limit")
      ->check(CLI::Validator(CheckWait, "", "seconds"))
      ->type_name("SECONDS")
      ->capture_default_str();
  command.add_flag("--verbose", options.Verbose, "Trace every frame sent and received");
  command.add_flag("--allow-console", options.AllowConsole,
                   "Open a port named by --port or --device even when it is the system console "
                   "(a range never includes the console)");
  AddJsonFlag(command, options.Json);
}

// Opens the link as the options say; null after telling why it could not,
// which `problem` keeps.
std::unique_ptr<TZor_RS> OpenLink(const LinkOptions &options, EchoCheck &echoCheck,
                                  std::string &problem) {
  auto platform = options.Device.empty()
                      ? DefaultSerialPlatform(Consoles(options))
                      : SerialPlatformForDevice(options.Device, Consoles(options));
  const int port = options.Device.empty() ? options.Port : 1;
  const std::string name = options.Device.empty() ? "COM" + std::to_string(port) : "";
  // Said before the link scans the ports, which would only say that none is free.
  const auto refuse = [&problem](std::string text) {
    std::cerr << text << std::endl;
    problem = std::move(text);
    return nullptr;
  };
  const PortStatus status = platform->Status(port);
  if (status != PortStatus::Free)
    return refuse(PortProblem(name, platform->DevicePath(port), status));
  auto link = std::make_unique<TZor_RS>(nullptr, nullptr, platform);
  if (!link->PortFree[port]) {
    // Taken or gone in the moment between the two looks.
    return refuse(PortProblem(name, platform->DevicePath(port), platform->Status(port)));
  }
  link->SetLineMode(static_cast<uint8_t>(options.LineMode));
  if (options.Verbose)
    link->PortFailed = [](PortOperation operation, const PortError &error) {
      EndBarLine();
      std::cerr << PortFailureText(operation, error) << std::endl;
    };
  link->OpenPort(port);
  if (!link->IsOpen())
    return refuse((name.empty() ? "" : name + " (") + link->DevicePathOf(port) +
                  (name.empty() ? "" : ")") + " could not be opened.");
  link->SetBaudRate(options.Baud);
  const bool verbose = options.Verbose;
  link->FrameTrace = [verbose, &echoCheck](FrameDirection direction, const uint8_t *data,
                                           size_t count) {
    if (verbose)
      TraceFrame(direction, data, count);
    if (const auto advice = echoCheck.See(direction, data, count)) {
      EndBarLine();
      std::cerr << *advice << std::endl;
    }
  };
  return link;
}

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

int RunPorts(bool json) {
  auto platform = DefaultSerialPlatform();
  bool refused = false;
  for (int n = 1; n <= kMaxPort; ++n) {
    const PortStatus status = platform->Status(n);
    if (!IsPresent(status))
      continue;
    const char *state = status == PortStatus::Free      ? "free"
                        : status == PortStatus::Busy    ? "busy"
                        : status == PortStatus::Console ? "system console"
                                                        : "no permission";
    refused = refused || status == PortStatus::NoPermission;
    const std::string name = "COM" + std::to_string(n);
    if (json)
      JsonEvents(std::cout, name)
          .Write("port", {{"device", platform->DevicePath(n)}, {"status", state}});
    else
      std::cout << name << "\t" << platform->DevicePath(n) << "\t" << state << "\n";
  }
  if (refused)
    std::cerr << SJoinDialout << std::endl;
  return kExitDone;
}

void PrintIdentity(const DeviceIdentity &identity, std::ostream &out) {
  char code[32];
  std::snprintf(code, sizeof code, "%u (0x%02X)", identity.DeviceCode, identity.DeviceCode);
  char byte4[8];
  std::snprintf(byte4, sizeof byte4, "0x%02X", identity.Data4);
  out << "Device code: " << code << "\n"
      << "Data byte 4: " << byte4 << "\n"
      << "Reset vector: " << HexBytes(identity.ResetVector.data(), identity.ResetVector.size())
      << "\n"
      << "Accepted: " << (IsAcceptedDevice(identity) ? "yes" : "no") << std::endl;
}

// The line's counts of a run that never reached the device, so a person sees
// whether it was silent or answered garbage.
void PrintWaitStatistics(const RunReport &report) {
  if (report.Statistics().Exchanges > 0)
    std::cerr << "Line: " << report.StatisticsText() << "." << std::endl;
}

int RunIdentify(const LinkOptions &options) {
  RunReport report(PortName(options), options.Json);
  EchoCheck echoCheck(static_cast<uint8_t>(options.LineMode));
  std::string problem;
  auto link = OpenLink(options, echoCheck, problem);
  if (!link)
    return report.End(kExitLinkFailure, problem);
  report.Watch(*link);
  const WaitLimit limit(WaitSeconds(options));
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

// The file a load is given, checked before any port is opened: an Intel HEX
// file is packed into `packed`, an image read to see that it can be (the load
// reads it again, as it always does). Answers the exit code, or kExitDone.
int CheckLoadFile(const std::string &file, int deviceCode, RunReport &report,
                  std::optional<FirmwareImage> &packed) {
  if (IsIntelHexFile(file)) {
    packed = PackForLoad(file, deviceCode,
                         [&report](const std::string &warning) { report.Warning(warning); });
    return packed ? kExitDone : kExitFileProblem;
  }
  if (deviceCode != 0) {
    const std::string text =
        "--device-code is for an Intel HEX file; an image carries its own trailer.";
    std::cerr << text << std::endl;
    report.Note(text);
    return kExitUsage;
  }
  FirmwareImage checked;
  return ReadImage(file, checked);
}

// What one load did, for its summary line.
struct LoadTally {
  std::optional<std::chrono::steady_clock::time_point> Started;
};

void PrintSummary(const LoadResult &result, const LoadTally &tally, const RunReport &report) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - *tally.Started).count();
  const size_t bytes = static_cast<size_t>(result.PagesSent) * kPageSize;
  char line[200];
  std::snprintf(line, sizeof line,
                "Sent %zu bytes (%d pages) in %.2f s: %.0f bytes/s; %llu retries.", bytes,
                result.PagesSent, seconds, seconds > 0 ? bytes / seconds : 0.0,
                static_cast<unsigned long long>(report.Statistics().Retries()));
  Results(report) << line << " Line: " << report.StatisticsText() << "." << std::endl;
}

int RunLoad(const LinkOptions &options, const std::string &file, int deviceCode) {
  RunReport report(PortName(options), options.Json);
  LoadRequest request;
  request.FileName = file;
  if (const int refused = CheckLoadFile(file, deviceCode, report, request.Image);
      refused != kExitDone)
    return report.End(refused);
  EchoCheck echoCheck(static_cast<uint8_t>(options.LineMode));
  std::string problem;
  auto link = OpenLink(options, echoCheck, problem);
  if (!link)
    return report.End(kExitLinkFailure, problem);
  report.Watch(*link);
  const WaitLimit limit(WaitSeconds(options));
  bool waitExpired = false;
  TerminalProgress *progress = nullptr;
  LoadTally tally;
  request.CreateProgress = [&] {
    // With --json and no terminal to draw on, the events carry the progress.
    auto view = std::make_unique<TerminalProgress>(limit, &waitExpired,
                                                   options.Json && !StandardErrorIsTerminal());
    progress = view.get();
    return view;
  };
  request.Observer.Identified = [&](const DeviceIdentity &identity) {
    tally.Started = std::chrono::steady_clock::now();
    if (options.Verbose)
      PrintIdentity(identity, Results(report));
  };
  if (options.Verbose) {
    request.Observer.BeforeWritePage = [](int page, uint32_t address) {
      EndBarLine();
      std::fprintf(stderr, "page %d at program address 0x%06X\n", page, address);
    };
  }
  // The gauge skips pages 2 to 4 without a step; done is all of it.
  request.Observer.BeforeFinish = [&] { progress->SetGaugeValue(100); };
  report.Follow(request);
  LoadResult result;
  try {
    result = RunLoadSequence(*link, request);
  } catch (const EImageTooLarge &failure) {
    ShowError(failure.what());
    return report.End(kExitRejected);
  } catch (const EInOutError &failure) {
    ShowError(failure.what());
    return report.End(kExitFileProblem);
  }
  const bool transferred = tally.Started && result.Outcome != LoadOutcome::Rejected;
  if (transferred)
    PrintSummary(result, tally, report);
  switch (result.Outcome) {
  case LoadOutcome::Done:
    if (result.PagesSent == 0)
      std::cerr << "Warning: no page was sent: the image holds no page to send." << std::endl;
    if (!result.FinishConfirmed)
      std::cerr << "Note: the device did not confirm Finish (it may already be running its "
                   "program)."
                << std::endl;
    return report.End(kExitDone, {}, &result);
  case LoadOutcome::Rejected:
    return report.End(kExitRejected, {}, &result);
  case LoadOutcome::Failed:
    return report.End(kExitLinkFailure, {}, &result);
  case LoadOutcome::Cancelled: {
    const std::string text = waitExpired ? "No answer within the wait." : "Cancelled.";
    std::cerr << text << std::endl;
    if (!tally.Started)
      PrintWaitStatistics(report);
    return report.End(kExitCancelled, text, &result, waitExpired ? "wait" : "interrupt");
  }
  case LoadOutcome::FileNotFound:
  case LoadOutcome::NoFile:
    return report.End(kExitFileProblem, {}, &result);
  }
  return report.End(kExitLinkFailure, {}, &result);
}

// The same load into several devices at once, one korvalen-cli per port.
// `loadArguments` are this command's own, after "load".
int RunGangLoad(const LinkOptions &options, std::vector<GangPort> ports, const std::string &file,
                int deviceCode, const std::vector<std::string> &loadArguments,
                const std::string &program) {
  {
    // A file that cannot be loaded stops the gang before any port is opened.
    RunReport report({}, options.Json);
    std::optional<FirmwareImage> packed;
    if (const int refused = CheckLoadFile(file, deviceCode, report, packed); refused != kExitDone)
      return report.End(refused);
  }
  GangSetup setup;
  setup.Program = program;
  setup.Ports = std::move(ports);
  setup.SharedArguments = SharedLoadArguments(loadArguments);
  setup.Json = options.Json;
  return RunGang(setup);
}

int RunInfo(const std::string &file, bool json) {
  RunReport report({}, json);
  FirmwareImage image;
  if (const int refused = ReadImage(file, image); refused != kExitDone)
    return report.End(refused);
  if (json) {
    JsonEvents events(std::cout, {});
    for (int p = 1; p <= image.PageCount(); ++p)
      events.Write("page", {{"page", p},
                            {"address", FirmwareImage::PageAddress(p)},
                            {"sent", FirmwareImage::IsPageSent(p)}});
    Json trailer = nullptr;
    if (image.HasTrailer()) {
      const TrailerBytes bytes = image.Trailer();
      trailer = {{"device_code", bytes[0]}, {"version_mark", bytes[1]}, {"byte2", bytes[2]}};
    }
    int sent = 0;
    for (int p = 1; p <= image.PageCount(); ++p)
      sent += FirmwareImage::IsPageSent(p) ? 1 : 0;
    events.Write("image", {{"size", image.Size()},
                           {"pages", image.PageCount()},
                           {"pages_sent", sent},
                           {"ignored_bytes", image.IgnoredBytes()},
                           {"trailer", trailer}});
    return kExitDone;
  }
  std::cout << "Size: " << image.Size() << " bytes\n"
            << "Whole pages: " << image.PageCount() << " of " << kPageSize << " bytes\n";
  int sent = 0;
  for (int p = 1; p <= image.PageCount(); ++p) {
    char line[160];
    if (FirmwareImage::IsPageSent(p)) {
      ++sent;
      std::snprintf(line, sizeof line, "  page %d: sent, program address 0x%06X%s\n", p,
                    FirmwareImage::PageAddress(p),
                    p == 1 ? " (bytes 0-5 replaced by the device's reset vector)" : "");
    } else {
      std::snprintf(line, sizeof line, "  page %d: not sent\n", p);
    }
    std::cout << line;
  }
  std::cout << "Pages sent: " << sent << "\n"
            << "Ignored remainder: " << image.IgnoredBytes() << " bytes\n";
  if (image.HasTrailer()) {
    const TrailerBytes trailer = image.Trailer();
    char text[96];
    std::snprintf(text, sizeof text,
                  "Trailer: device code %u (0x%02X), version mark 0x%02X%s, byte 2 0x%02X\n",
                  trailer[0], trailer[0], trailer[1], trailer[1] == kVersionMark ? " ('e')" : "",
                  trailer[2]);
    std::cout << text;
  } else {
    std::cout << "Trailer: none (loaded without a check against the device)\n";
  }
  std::cout.flush();
  return kExitDone;
}

int Run(int argc, char **argv) {
  CLI::App app{"korvalen-cli: load firmware into PIC24 and dsPIC33 microcontrollers through "
               "their serial bootloader"};
  app.footer("Exit codes: 0 done, 1 the device or the image was rejected, 2 a link failure, "
             "3 cancelled or --wait expired, 4 the file is missing or unreadable, 64 bad usage, "
             "74 the results could not be written to standard output.");
  app.require_subcommand(1);

  auto *ports =
      app.add_subcommand("ports", "List the serial ports COM1 ... COM32 that are present");
  bool portsJson = false;
  AddJsonFlag(*ports, portsJson);
  LinkOptions identifyOptions;
  auto *identify = app.add_subcommand("identify", "Wait for the device and show what it reports");
  AddLinkOptions(*identify, identifyOptions, false);
  LinkOptions loadOptions;
  std::string loadFile;
  auto *load = app.add_subcommand(
      "load", "Load a firmware image into the device, or into several devices at once");
  AddLinkOptions(*load, loadOptions, true);
  load->add_option("FILE", loadFile, "Firmware image (.rom), or Intel HEX (.hex) packed on the way")
      ->required();
  int loadDeviceCode = 0;
  AddDeviceCodeOption(*load, loadDeviceCode,
                      "For an Intel HEX file: the device code it is built for; the device must "
                      "report it (without it, no check against the device)");
  std::string infoFile;
  auto *info = app.add_subcommand("info", "Show the layout of a firmware image");
  info->add_option("FILE", infoFile, "Firmware image (.rom)")->required();
  bool infoJson = false;
  AddJsonFlag(*info, infoJson);
  const HexCommands hexCommands(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Error &error) {
    const int code = app.exit(error);
    return code == 0 ? kExitDone : kExitUsage;
  }

  if (*identify && identifyOptions.Port == 0 && identifyOptions.Device.empty()) {
    std::cerr << "One of --port and --device is required." << std::endl;
    return kExitUsage;
  }
  std::vector<GangPort> gang;
  if (*load) {
    std::string problem;
    std::vector<int> range;
    if (!loadOptions.Range.empty()) {
      const auto numbers = ParsePortRange(loadOptions.Range, problem);
      if (!numbers) {
        std::cerr << problem << std::endl;
        return kExitUsage;
      }
      range = WithoutConsoles(*numbers, loadOptions.Range);
      if (range.empty() && loadOptions.Ports.empty() && loadOptions.Devices.empty()) {
        std::cerr << "--ports " << loadOptions.Range << " leaves no port to load." << std::endl;
        return kExitLinkFailure;
      }
    }
    gang = GangPorts(loadOptions.Ports, loadOptions.Devices, range, problem);
    if (!problem.empty() || gang.empty()) {
      std::cerr << (gang.empty() && problem.empty()
                        ? "One of --port, --device and --ports is required."
                        : problem)
                << std::endl;
      return kExitUsage;
    }
    if (gang.size() == 1) {
      loadOptions.Port = gang[0].Option == "--port" ? std::stoi(gang[0].Value) : 0;
      loadOptions.Device = gang[0].Option == "--device" ? gang[0].Value : "";
    }
  }

  TerminalPresenter presenter;
  SetMessagePresenter(&presenter);
  InstallInterruptFlag();
  try {
    if (*ports)
      return RunPorts(portsJson);
    if (*identify)
      return RunIdentify(identifyOptions);
    if (*load && gang.size() > 1) {
      std::filesystem::path program = ProgramFilePath();
      if (program.empty())
        program = argv[0];
      const std::vector<std::string> arguments(argv + 1, argv + argc);
      const auto subcommand = std::find(arguments.begin(), arguments.end(), "load");
      return RunGangLoad(
          loadOptions, std::move(gang), loadFile, loadDeviceCode,
          {subcommand == arguments.end() ? subcommand : subcommand + 1, arguments.end()},
          program.string());
    }
    if (*load)
      return RunLoad(loadOptions, loadFile, loadDeviceCode);
    if (*info)
      return RunInfo(infoFile, infoJson);
    if (const std::optional<int> code = hexCommands.Run())
      return *code;
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
