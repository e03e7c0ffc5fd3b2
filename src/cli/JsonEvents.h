// Machine-readable output (--json): JSON Lines on standard output, one object
// per event, for a test station's software. Every object has "port" (what the
// command names its port: "COM3", a device path, or null), "t" (seconds since
// the program started, from a monotonic clock) and "event".
// docs/command-line.md lists every event and field.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "link/LinkStatistics.h"
#include "loader/LoadSequence.h"
#include "station/LoadRecord.h"

// Seconds since the program started, from the steady clock.
double SecondsSinceStart();

// How a run on one port ended, for its last event.
struct RunEnd {
  int ExitCode = 0;                    // the command's exit code: 0 done, 3 cancelled, else failed
  std::string Message;                 // the system's message, or the command line's own
  double Elapsed = 0;                  // seconds the run took
  int PagesSent = 0;                   // pages whose WritePage the device confirmed
  std::optional<bool> FinishConfirmed; // loads that reached Finish
  std::optional<std::string> CancelledBy; // "interrupt" or "wait"
  // The link's counts once the device answered, and the polls it left
  // unanswered before; none when no link was opened.
  std::optional<LinkStatistics> Statistics;
  uint64_t UnansweredPolls = 0;
  // The id of the load's record, once the journal holds it.
  std::optional<std::string> RecordId;
  // The number written into the board, if one was.
  std::optional<uint64_t> Serial;
};

// The name of the event that ends a run with `exitCode`: "done", "cancelled"
// or "failed".
const char *EndEventName(int exitCode);

class JsonEvents {
public:
  // `port` empty: the events name no port (null).
  JsonEvents(std::ostream &out, std::string port);

  void Waiting();
  void Identified(const DeviceIdentity &identity);
  void Page(int page, uint32_t address);
  void Progress(int percent);
  void Retry(uint8_t command, AttemptFailure failure, int attempt);
  void End(const RunEnd &end);
  // Any other event: `fields` gets "port", "t" and "event" put first.
  void Write(const std::string &event, const Json &fields = Json::object());

private:
  std::ostream &FOut;
  Json FPort;
};
