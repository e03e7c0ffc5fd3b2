// The report's arithmetic over records: groups, outcomes, the done loads'
// times, failures per 1000 exchanges, and the time window.
#include <gtest/gtest.h>

#include "station/Report.h"

namespace {
LoadRecord Record(const std::string &port, const std::string &time, const std::string &outcome,
                  double seconds, uint64_t exchanges = 100, uint64_t checksums = 0) {
  LoadRecord record;
  record.Port = port;
  record.Time = time;
  record.Outcome = outcome;
  record.Seconds = seconds;
  record.Station = "line1";
  record.Image = port == "COM5" ? "b.rom" : "a.rom";
  record.Statistics.Exchanges = exchanges;
  record.Statistics.FailedAttempts[static_cast<size_t>(AttemptFailure::Checksum)] = checksums;
  return record;
}
} // namespace

TEST(Report, GroupsCountOutcomesTimesAndFailuresPerThousandExchanges) {
  std::vector<LoadRecord> records;
  // COM3: ten done loads of 10 ... 19 s; a bad fixture on COM5: checksums.
  for (int i = 0; i < 10; ++i)
    records.push_back(
        Record("COM3", "2026-12-08T10:00:0" + std::to_string(i) + ".000Z", "done", 10 + i));
  records.push_back(Record("COM5", "2026-12-09T08:00:00.000Z", "failed", 3, 100, 50));
  records.push_back(Record("COM5", "2026-12-09T09:00:00.000Z", "rejected", 1, 10, 0));
  records.push_back(Record("COM5", "2026-12-09T09:30:00.000Z", "cancelled", 2, 90, 10));

  const Report byPort = Summarize(records, ReportGrouping::Port, {});
  ASSERT_EQ(byPort.Groups.size(), 2u);
  const GroupSummary &com3 = byPort.Groups[0];
  EXPECT_EQ(com3.Key, "COM3");
  EXPECT_EQ(com3.Loads, 10u);
  EXPECT_DOUBLE_EQ(com3.DoneShare, 1.0);
  EXPECT_DOUBLE_EQ(*com3.MedianSeconds, 14); // nearest rank: the 5th of 10
  EXPECT_DOUBLE_EQ(*com3.P95Seconds, 19);
  const GroupSummary &com5 = byPort.Groups[1];
  EXPECT_EQ(com5.Failed + com5.Rejected + com5.Cancelled, 3u);
  EXPECT_FALSE(com5.MedianSeconds) << "no done load, no time";
  EXPECT_DOUBLE_EQ(com5.FailedPerThousand(AttemptFailure::Checksum), 300); // 60 of 200
  EXPECT_DOUBLE_EQ(com3.FailedPerThousand(AttemptFailure::Checksum), 0);
  EXPECT_EQ(byPort.All.Loads, 13u);
  EXPECT_NEAR(byPort.All.DoneShare, 10.0 / 13, 1e-12);

  struct Case {
    ReportGrouping By;
    ReportFilter Window;
    std::vector<std::string> Keys;
    uint64_t Loads;
  };
  const std::vector<Case> cases = {
      {ReportGrouping::Day, {}, {"2026-12-08", "2026-12-09"}, 13},
      {ReportGrouping::Image, {}, {"a.rom", "b.rom"}, 13},
      {ReportGrouping::Station, {}, {"line1"}, 13},
      {ReportGrouping::None, {}, {}, 13},
      {ReportGrouping::Port, {"2026-12-09", ""}, {"COM5"}, 3},
      {ReportGrouping::Port, {"", "2026-12-08"}, {"COM3"}, 10}, // the whole day
      {ReportGrouping::Port, {"2026-12-08T10:00:05", "2026-12-09T08"}, {"COM3", "COM5"}, 6},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Window.Since + " .. " + c.Window.Until);
    const Report report = Summarize(records, c.By, c.Window);
    std::vector<std::string> keys;
    for (const GroupSummary &group : report.Groups)
      keys.push_back(group.Key);
    EXPECT_EQ(keys, c.Keys);
    EXPECT_EQ(report.All.Loads, c.Loads);
  }
}

TEST(Report, TimesAreISOPrefixes) {
  for (const char *good : {"2026", "2026-12", "2026-12-09", "2026-12-09T10", "2026-12-09T10:30",
                           "2026-12-09T10:30:05", "2026-12-09T10:30:05.250Z", "2026-12-09Z"})
    EXPECT_TRUE(IsTimePrefix(good)) << good;
  for (const char *bad : {"", "26", "2026-1", "2026/12/09", "2026-12-09 10:30", "yesterday",
                          "2026-12-09T10:3", "2026-12-09T10:30:05.250+01"})
    EXPECT_FALSE(IsTimePrefix(bad)) << bad;
}
