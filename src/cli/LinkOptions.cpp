#include "cli/LinkOptions.h"

#include <cmath>
#include <cstdlib>
#include <iostream>

#include "cli/FrameTrace.h"
#include "cli/PortProblem.h"
#include "cli/TerminalProgress.h"

namespace {
// A finite number of seconds, 0 or more; anything else is refused in a few
// words (the parser's own range check would print the largest double).
std::string CheckWait(const std::string &text) {
  char *end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(seconds) || seconds < 0)
    return "'" + text + "' is not a number of seconds (0 or more; 0 waits without limit)";
  return {};
}

ConsoleAccess Consoles(const LinkOptions &options) {
  return options.AllowConsole ? ConsoleAccess::Allowed : ConsoleAccess::Refused;
}
} // namespace

CLI::Option *AddJsonFlag(CLI::App &command, bool &json) {
  return command.add_flag("--json", json,
                          "JSON Lines on standard output, one object per event "
                          "(docs/command-line.md lists them); text for a person goes to "
                          "standard error");
}

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

std::vector<std::string> LinkArguments(const LinkOptions &options) {
  std::vector<std::string> arguments = {"--line-mode", std::to_string(options.LineMode),
                                        "--baud",      std::to_string(options.Baud),
                                        "--wait",      options.Wait};
  if (options.Verbose)
    arguments.push_back("--verbose");
  if (options.AllowConsole)
    arguments.push_back("--allow-console");
  return arguments;
}

std::string PortName(const LinkOptions &options) {
  return options.Device.empty() ? "COM" + std::to_string(options.Port) : options.Device;
}

double WaitSeconds(const LinkOptions &options) {
  return std::strtod(options.Wait.c_str(), nullptr);
}

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
  // Before the open: a line setting the driver refuses is said too.
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
