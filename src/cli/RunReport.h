// One command's work on one port, told as it goes: the events of --json, and
// the line statistics that the summary prints. Counts are split at the
// moment the device answers, so that the polls of a device not yet switched
// on are not taken for trouble on the line.
#pragma once

#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "cli/JsonEvents.h"
#include "link/Zor_RS232.h"
#include "loader/LoadSequence.h"
#include "runtime/Hooks.h"
#include "station/RunStatistics.h"

class RunReport : public MessagePresenter {
public:
  // `port` as the events name it; `json` true writes the events to standard
  // output. Takes over the message presenter for its lifetime, handing every
  // message on to the one installed before, and remembers the last text
  // shown: the system's message for the run's end.
  RunReport(std::string port, bool json);
  ~RunReport() override;
  RunReport(const RunReport &) = delete;
  RunReport &operator=(const RunReport &) = delete;

  // Follows `link`'s failed attempts: a retry event for each one that is
  // tried again once the device has answered; the line's counts start here.
  // The link must outlive the report's use of it.
  void Watch(TZor_RS &link);
  // Hooks the report into a load: the observer's events, and a view that
  // tells the report what the real one shows.
  void Follow(LoadRequest &request);

  void Waiting();
  // Repeat mode: the board was taken out.
  void Gone();
  // Repeat mode: the session's end, with its counts.
  void Session(int boards, int done, int rejected, int failed, int cancelled, int exitCode,
               const std::string &endedBy);
  void PollFailed();
  void Identified(const DeviceIdentity &identity);
  void Progress(int percent);
  // Something the person should know that ends nothing (an Intel HEX
  // warning); already said on stderr.
  void Warning(const std::string &text);
  // The journal's server: "away" (with why, and how many records wait in the
  // spool), "back" (with how many were sent), "no_numbers" (a port waits for
  // it before its next board); already said on stderr.
  void Server(const std::string &state, const std::string &reason, size_t waiting, size_t sent);
  // The journal holds the record of this run's load, under `id`.
  void Recorded(std::string id) { FRecordId = std::move(id); }
  // The load's board got this number (--serial).
  void Serial(uint64_t number) { FSerial = number; }
  // A message of the command line's own, already said on stderr, to end the
  // run with when nothing else is shown.
  void Note(const std::string &text) { FLastShown = text; }
  // Whether standard output carries the events: then results go to stderr.
  bool WritesJson() const { return FEvents.has_value(); }

  // Ends the run: the last event, with `message` or else the last text
  // shown. Answers `exitCode`.
  int End(int exitCode, const std::string &message = {}, const LoadResult *result = nullptr,
          std::optional<std::string> cancelledBy = std::nullopt);

  // The link's counts since the device answered (all of them if it never
  // did), and the Identify polls it left unanswered before.
  LinkStatistics Statistics() const;
  uint64_t UnansweredPolls() const { return FCounts.UnansweredPolls(); }
  // The counts for a person, in one line: "171 exchanges, 173 attempts (2
  // failed: checksum 1, busy 1), 24567 bytes sent, 24789 received".
  std::string StatisticsText() const;

  void Error(const std::string &text) override;
  void Info(const std::string &text) override;
  uint16_t YesNo(const std::string &text) override;

private:
  class ReportingProgress;

  std::optional<JsonEvents> FEvents;
  MessagePresenter *FPrevious = nullptr;
  TZor_RS *FLink = nullptr;
  RunStatistics FCounts;
  int FLastPercent = -1;
  std::string FLastShown;
  std::optional<std::string> FRecordId;
  std::optional<uint64_t> FSerial;
  bool FEnded = false;
  std::chrono::steady_clock::time_point FStarted = std::chrono::steady_clock::now();
};

// The counts in one line, as RunReport::StatisticsText says.
std::string StatisticsText(const LinkStatistics &statistics, uint64_t unansweredPolls);

// Results for a person: standard output, unless it carries the events.
std::ostream &Results(const RunReport &report);
// What the device reported: its code, data byte 4, reset vector, whether the
// system accepts it.
void PrintIdentity(const DeviceIdentity &identity, std::ostream &out);
// The line's counts of a run that never reached the device, so a person sees
// whether it was silent or answered garbage.
void PrintWaitStatistics(const RunReport &report);
