#include "station/Report.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>

namespace {
// The value at fraction `p` of the sorted `values` (nearest rank).
double Percentile(const std::vector<double> &sorted, double p) {
  const size_t rank = static_cast<size_t>(std::max<double>(1, std::ceil(p * sorted.size())));
  return sorted[std::min(rank, sorted.size()) - 1];
}

std::string KeyOf(const LoadRecord &record, ReportGrouping grouping) {
  switch (grouping) {
  case ReportGrouping::Port:
    return record.Port;
  case ReportGrouping::Image:
    return record.Image;
  case ReportGrouping::Day:
    return record.Time.substr(0, 10);
  case ReportGrouping::Station:
    return record.Station;
  case ReportGrouping::None:
    break;
  }
  return "all";
}

bool Within(const std::string &time, const ReportFilter &filter) {
  // A time that begins with the prefix sorts after it.
  if (!filter.Since.empty() && time < filter.Since)
    return false;
  if (!filter.Until.empty() && time.compare(0, filter.Until.size(), filter.Until) > 0)
    return false;
  return true;
}

struct Tally {
  GroupSummary Summary;
  std::vector<double> DoneSeconds;

  void Add(const LoadRecord &record) {
    ++Summary.Loads;
    if (record.Outcome == "done") {
      ++Summary.Done;
      DoneSeconds.push_back(record.Seconds);
    } else if (record.Outcome == "rejected") {
      ++Summary.Rejected;
    } else if (record.Outcome == "failed") {
      ++Summary.Failed;
    } else {
      ++Summary.Cancelled;
    }
    Summary.Exchanges += record.Statistics.Exchanges;
    for (size_t i = 0; i < kAttemptFailureKinds; ++i)
      Summary.FailedAttempts[i] += record.Statistics.FailedAttempts[i];
  }

  GroupSummary Finish() {
    Summary.DoneShare =
        Summary.Loads ? static_cast<double>(Summary.Done) / static_cast<double>(Summary.Loads) : 0;
    if (!DoneSeconds.empty()) {
      std::sort(DoneSeconds.begin(), DoneSeconds.end());
      Summary.MedianSeconds = Percentile(DoneSeconds, 0.5);
      Summary.P95Seconds = Percentile(DoneSeconds, 0.95);
    }
    return Summary;
  }
};
} // namespace

std::vector<SerialEntry> Serials(const JournalContents &contents, const ReportFilter &filter,
                                 std::optional<uint64_t> only) {
  std::map<uint64_t, SerialEntry> entries;
  for (const SerialRecord &serial : contents.Serials) {
    if ((only && serial.Number != *only) || !Within(serial.Time, filter))
      continue;
    SerialEntry &entry = entries[serial.Number];
    entry.Number = serial.Number;
    entry.Time = serial.Time;
    entry.Station = serial.Station;
    entry.Port = serial.Port;
  }
  for (const LoadRecord &load : contents.Loads) {
    if (!load.Serial || !entries.count(*load.Serial))
      continue;
    SerialEntry &entry = entries[*load.Serial];
    entry.Image = load.Image;
    entry.Outcome = load.Outcome;
    entry.LoadTime = load.Time;
  }
  for (const VoidRecord &record : contents.Voids) {
    if (!entries.count(record.Number))
      continue;
    SerialEntry &entry = entries[record.Number];
    entry.Void = true;
    entry.Reason = record.Reason;
  }
  std::vector<SerialEntry> list;
  for (auto &[number, entry] : entries)
    list.push_back(std::move(entry));
  return list;
}

bool IsTimePrefix(const std::string &text) {
  // Each position is a digit or the one separator the format has there.
  static const std::string kPattern = "dddd-dd-ddTdd:dd:dd.ddd";
  std::string body = text;
  if (!body.empty() && body.back() == 'Z')
    body.pop_back();
  if (body.size() < 4 || body.size() > kPattern.size())
    return false;
  // It may stop only where a field ends.
  const size_t length = body.size();
  if (length != 4 && length != 7 && length != 10 && length != 13 && length != 16 && length != 19 &&
      length != 23)
    return false;
  for (size_t i = 0; i < length; ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(body[i])) != 0;
    if (kPattern[i] == 'd' ? !digit : body[i] != kPattern[i])
      return false;
  }
  return true;
}

double GroupSummary::FailedPerThousand(AttemptFailure reason) const {
  return Exchanges ? 1000.0 * static_cast<double>(FailedAttempts[static_cast<size_t>(reason)]) /
                         static_cast<double>(Exchanges)
                   : 0;
}

Report Summarize(const std::vector<LoadRecord> &records, ReportGrouping grouping,
                 const ReportFilter &filter) {
  std::map<std::string, Tally> groups;
  Tally all;
  all.Summary.Key = "all";
  for (const LoadRecord &record : records) {
    if (!Within(record.Time, filter))
      continue;
    all.Add(record);
    if (grouping != ReportGrouping::None) {
      Tally &group = groups[KeyOf(record, grouping)];
      group.Add(record);
    }
  }
  Report report;
  for (auto &[key, tally] : groups) {
    tally.Summary.Key = key;
    report.Groups.push_back(tally.Finish());
  }
  report.All = all.Finish();
  return report;
}
