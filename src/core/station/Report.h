// The yield of a line: the records of one or more journals, grouped by port,
// image, day or station, with what tells a bad fixture from a bad batch.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "link/LinkStatistics.h"
#include "station/Journal.h"
#include "station/LoadRecord.h"

enum class ReportGrouping { None, Port, Image, Day, Station };

struct ReportFilter {
  // Records whose time is at or after Since, and not after Until; each a
  // prefix of an ISO 8601 time ("2026-12-09", "2026-12-09T10:00"), compared
  // as such, so that --until 2026-12-09 takes in all of that day.
  std::string Since, Until;
};

// Whether `text` is such a prefix: YYYY, YYYY-MM, YYYY-MM-DD, then
// THH, THH:MM, THH:MM:SS, THH:MM:SS.mmm, with or without Z.
bool IsTimePrefix(const std::string &text);

struct GroupSummary {
  std::string Key; // the port, image, day or station; "all" for the total
  uint64_t Loads = 0, Done = 0, Rejected = 0, Failed = 0, Cancelled = 0;
  double DoneShare = 0; // Done / Loads
  // Of the done loads' seconds; nothing when none is done.
  std::optional<double> MedianSeconds, P95Seconds;
  uint64_t Exchanges = 0;
  std::array<uint64_t, kAttemptFailureKinds> FailedAttempts{};
  // Failed attempts per 1000 exchanges, by reason.
  double FailedPerThousand(AttemptFailure reason) const;
};

struct Report {
  std::vector<GroupSummary> Groups; // by key, in order; empty without a grouping
  GroupSummary All;
};

Report Summarize(const std::vector<LoadRecord> &records, ReportGrouping grouping,
                 const ReportFilter &filter);

// A number the journal handed out, and the board it went into.
struct SerialEntry {
  uint64_t Number = 0;
  std::string Time; // when it was handed out
  std::string Station, Port;
  // The load that wrote it: its image and outcome; empty when its load has
  // no record (the process ended first).
  std::string Image, Outcome, LoadTime;
  // Void: its load did not end done; Reason says how ("failed", "abandoned").
  bool Void = false;
  std::string Reason;
};

// Every number handed out within the filter's time (all of them, or only
// `only`), in order of number.
std::vector<SerialEntry> Serials(const JournalContents &contents, const ReportFilter &filter,
                                 std::optional<uint64_t> only = std::nullopt);

// A store that reports on its records where they lie (a database server runs
// the groups as queries): the same figures as Summarize and Serials give for
// the same records. Throws EJournalError when it cannot be read.
class ReportingStore {
public:
  virtual ~ReportingStore() = default;
  virtual Report Summarize(ReportGrouping grouping, const ReportFilter &filter) = 0;
  // As Serials above; `voidOnly`: only the numbers that are void.
  virtual std::vector<SerialEntry> Serials(const ReportFilter &filter, std::optional<uint64_t> only,
                                           bool voidOnly) = 0;
};
