// The options of the commands that talk to a device (identify, load): which
// port, how the line runs, how long to wait, what to trace; and the link they
// open.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/EchoCheck.h"
#include "link/Zor_RS232.h"

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

// `several`: the ports of a gang load, --port and --device as often as
// wanted and --ports for a range; otherwise one of --port and --device.
void AddLinkOptions(CLI::App &command, LinkOptions &options, bool several);
// --json, for every command that has results.
CLI::Option *AddJsonFlag(CLI::App &command, bool &json);

// The options that shape the line and the run, as a command line gives them
// (--line-mode, --baud, --wait, --verbose, --allow-console): what parses back
// into the same values. The ports and --json are not among them.
std::vector<std::string> LinkArguments(const LinkOptions &options);

// What the events and messages call the run's port: "COMn" or the path.
std::string PortName(const LinkOptions &options);
// --wait in seconds; 0 waits without limit.
double WaitSeconds(const LinkOptions &options);

// Opens the link as the options say; null after telling why it could not,
// which `problem` keeps. `echoCheck` sees every frame and must outlive the
// link.
std::unique_ptr<TZor_RS> OpenLink(const LinkOptions &options, EchoCheck &echoCheck,
                                  std::string &problem);
