// Gang loading: the same image into many devices at once. Each port is loaded
// by a korvalen-cli of its own (a child process running `load --json` on that
// port), so each link keeps to one thread with the core's hooks as they are,
// and one port's failure, hang or crash stays in its own process. This
// program reads their events, shows one progress line per port, passes Ctrl-C
// on to all of them, and ends with a table of the results.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct GangPort {
  std::string Name;   // "COM3", or the device path: how events and the table name it
  std::string Option; // "--port" or "--device", for the child
  std::string Value;
};

// "3-10" or "7": the port numbers named, or nothing with `problem` saying why.
std::optional<std::vector<int>> ParsePortRange(const std::string &text, std::string &problem);

// The ports that --port, --device and --ports name, in that order; empty with
// `problem` saying why when one is named twice.
std::vector<GangPort> GangPorts(const std::vector<int> &ports,
                                const std::vector<std::string> &devices,
                                const std::vector<int> &range, std::string &problem);

struct GangSetup {
  std::string Program; // korvalen-cli itself
  std::vector<GangPort> Ports;
  // What every child's `load` gets besides its port and --json: the options
  // of the load as parsed, and the file.
  std::vector<std::string> LoadOptions;
  std::string File;
  bool Json = false; // pass the ports' events on to standard output
  // Board after board on every port (the children run --repeat); once Count
  // boards are done in all (0: never), no port starts another.
  bool Repeat = false;
  int Count = 0;
};

// The command line of the child that loads `port`.
std::vector<std::string> ChildCommandLine(const GangSetup &setup, const GangPort &port);

// Loads every port at once and waits for all. Answers 0 when every device is
// done, otherwise the highest exit code among the ports (1 rejected, 2 link
// failure, 3 cancelled or the wait expired, 4 the file, 74 the journal).
int RunGang(const GangSetup &setup);
