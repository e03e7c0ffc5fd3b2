#include "station/pg/PgJournal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <libpq-fe.h>
#include <memory>

#include "station/pg/PgSchema.h"

namespace {
// Rolls back on every path but Commit.
class Transaction {
public:
  explicit Transaction(PgConnection &connection, const char *begin = "BEGIN")
      : FConnection(connection) {
    FConnection.Exec(begin);
  }
  ~Transaction() {
    if (FDone || !FConnection.Connected())
      return;
    try {
      FConnection.Exec("ROLLBACK");
    } catch (const std::exception &) {
    }
  }
  Transaction(const Transaction &) = delete;
  Transaction &operator=(const Transaction &) = delete;
  void Commit() {
    FConnection.Exec("COMMIT");
    FDone = true;
  }

private:
  PgConnection &FConnection;
  bool FDone = false;
};

std::optional<uint64_t> NumberOf(const std::optional<std::string> &text) {
  if (!text)
    return std::nullopt;
  return std::strtoull(text->c_str(), nullptr, 10);
}

uint64_t CountOf(const std::optional<std::string> &text) {
  return text ? std::strtoull(text->c_str(), nullptr, 10) : 0;
}

std::optional<double> SecondsOf(const std::optional<std::string> &text) {
  if (!text)
    return std::nullopt;
  return std::strtod(text->c_str(), nullptr);
}

std::string Text(const std::optional<std::string> &text) {
  return text.value_or("");
}

std::string DoubleText(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// The first moment that a time prefix of the report names
// ("2026-12" -> 2026-12-01T00:00:00.000Z), and how long what it names lasts.
std::pair<std::string, std::string> Period(std::string prefix) {
  if (!prefix.empty() && prefix.back() == 'Z')
    prefix.pop_back();
  static const std::string kFirst = "0000-01-01T00:00:00.000";
  const std::string start = prefix + kFirst.substr(std::min(prefix.size(), kFirst.size())) + "Z";
  switch (prefix.size()) {
  case 4:
    return {start, "1 year"};
  case 7:
    return {start, "1 month"};
  case 10:
    return {start, "1 day"};
  case 13:
    return {start, "1 hour"};
  case 16:
    return {start, "1 minute"};
  case 19:
    return {start, "1 second"};
  default:
    return {start, "1 millisecond"};
  }
}

// The filter as the file's report applies it (text against a prefix), put
// as bounds on `column`, its values appended to `params`.
std::string TimeCondition(const std::string &column, const ReportFilter &filter, PgParams &params) {
  std::string condition = "TRUE";
  const auto param = [&](const std::string &value) {
    params.push_back(value);
    return "$" + std::to_string(params.size());
  };
  if (!filter.Since.empty()) {
    const auto [start, length] = Period(filter.Since);
    // A time is at or after a prefix that ends in Z before the full length
    // only once it is past all the prefix names: ':' sorts before 'Z'.
    const bool past = filter.Since.back() == 'Z' && filter.Since.size() < 24;
    condition += " AND " + column + " >= " + param(start) + "::timestamptz";
    if (past)
      condition += " + " + param(length) + "::interval";
  }
  if (!filter.Until.empty()) {
    const auto [start, length] = Period(filter.Until);
    condition +=
        " AND " + column + " < " + param(start) + "::timestamptz + " + param(length) + "::interval";
  }
  return condition;
}

template <class Record, class Parse>
void ReadRecords(PgConnection &connection, const std::string &sql, std::vector<Record> &into,
                 Parse parse) {
  for (const auto &row : connection.Exec(sql).Rows) {
    std::optional<Record> record = parse(nlohmann::json::parse(Text(row[0]), nullptr, false));
    if (record)
      into.push_back(std::move(*record));
  }
}
} // namespace

std::string PgTimeText(const std::string &column) {
  return "to_char(" + column + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')";
}

PgJournal::PgJournal(std::string conninfo, std::chrono::seconds answerTimeout)
    : FConnInfo(std::move(conninfo)),
      FConnection(
          FConnInfo, [](PgConnection &connection) { EnsureSchema(connection); }, answerTimeout) {
  char *failure = nullptr;
  PQconninfoOption *options = PQconninfoParse(FConnInfo.c_str(), &failure);
  if (!options) {
    std::string reason = failure ? failure : "out of memory";
    PQfreemem(failure);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '.'))
      reason.pop_back();
    throw EJournalError("The journal " + FConnInfo + " is no connection string: " + reason + ".");
  }
  bool password = false;
  for (const PQconninfoOption *option = options; option->keyword; ++option)
    password = password ||
               (std::string(option->keyword) == "password" && option->val && *option->val != '\0');
  PQconninfoFree(options);
  if (password)
    throw EJournalError("The journal's connection string holds a password, which others see on a "
                        "command line: put it in ~/.pgpass or PGPASSWORD instead.");
}

template <class Body> auto PgJournal::Attempt(Body body) -> decltype(body()) {
  const bool reused = FConnection.Connected();
  try {
    return body();
  } catch (const EServerUnavailable &) {
    // A connection that broke since its last use (the server restarted)
    // says nothing of the server now; a new one does.
    if (!reused || FConnection.Connected())
      throw;
  }
  return body();
}

std::string PgJournal::Name() const {
  return FConnInfo;
}

void PgJournal::CheckWritable() {
  Attempt([&] { FConnection.Exec("SELECT 1"); });
}

bool PgJournal::CanHandOutNumbers() {
  try {
    CheckWritable();
    return true;
  } catch (const EJournalError &) {
    return false;
  }
}

void PgJournal::Append(const LoadRecord &record) {
  const PgParams params = {record.Id,
                           record.Time,
                           record.Station,
                           record.Port,
                           record.Image,
                           record.ImageSha256,
                           PgNumber(record.ImageBytes),
                           std::to_string(record.DeviceCode),
                           ResetVectorHex(record.ResetVector),
                           record.Outcome,
                           std::to_string(record.ExitCode),
                           record.Message,
                           std::to_string(record.PagesSent),
                           record.FinishConfirmed ? "true" : "false",
                           DoubleText(record.Seconds),
                           StatisticsJson(record.Statistics, record.UnansweredPolls).dump(),
                           record.ProgramName,
                           record.ProgramVersion,
                           record.Serial ? std::optional<std::string>(PgNumber(*record.Serial))
                                         : std::nullopt};
  Attempt([&] {
    FConnection.Exec(
        "INSERT INTO korvalen.loads (id, time, station, port, image, image_sha256, image_bytes, "
        "device_code, reset_vector, outcome, exit_code, message, pages_sent, finish_confirmed, "
        "seconds, statistics, program_name, program_version, serial) VALUES ($1, $2, $3, $4, $5, "
        "$6, $7, $8, $9, $10, $11, $12, $13, $14, $15, $16, $17, $18, $19) ON CONFLICT DO NOTHING",
        params);
  });
}

void PgJournal::Append(const VoidRecord &record) {
  const PgParams params = {record.Id,      record.Time, PgNumber(record.Number),
                           record.Station, record.Port, record.Reason};
  Attempt([&] {
    FConnection.Exec("INSERT INTO korvalen.voids (id, time, number, station, port, reason) "
                     "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT DO NOTHING",
                     params);
  });
}

JournalContents PgJournal::Read() {
  return Attempt([&] {
    JournalContents contents;
    ReadRecords(
        FConnection,
        "SELECT json_build_object('record', 'load', 'id', id, 'time', " + PgTimeText("time") +
            ", 'station', station, 'port', port, 'image', image, 'image_sha256', image_sha256, "
            "'image_bytes', image_bytes, 'device_code', device_code, 'reset_vector', "
            "reset_vector, 'outcome', outcome, 'exit_code', exit_code, 'message', message, "
            "'pages_sent', pages_sent, 'finish_confirmed', finish_confirmed, 'seconds', seconds, "
            "'statistics', statistics, 'program', json_build_object('name', program_name, "
            "'version', program_version), 'serial', serial) FROM korvalen.loads ORDER BY time, id",
        contents.Loads, [](const nlohmann::json &object) { return LoadRecordFromJson(object); });
    ReadRecords(FConnection,
                "SELECT json_build_object('record', 'serial', 'id', id, 'time', " +
                    PgTimeText("time") +
                    ", 'number', number, 'station', station, 'port', port, 'owner', "
                    "json_build_object('pid', owner_pid, 'started', owner_started)) FROM "
                    "korvalen.serials ORDER BY number",
                contents.Serials,
                [](const nlohmann::json &object) { return SerialRecordFromJson(object); });
    ReadRecords(
        FConnection,
        "SELECT json_build_object('record', 'void', 'id', id, 'time', " + PgTimeText("time") +
            ", 'number', number, 'station', station, 'port', port, 'reason', reason) "
            "FROM korvalen.voids ORDER BY time, id",
        contents.Voids, [](const nlohmann::json &object) { return VoidRecordFromJson(object); });
    return contents;
  });
}

uint64_t PgJournal::TakeSerial(SerialRecord claim, uint64_t start, uint64_t step,
                               const std::function<bool(uint64_t)> &fits) {
  return Attempt([&] {
    Transaction transaction(FConnection);
    // Every taker waits here for the one before to commit: the highest is
    // then the last one handed out, by whichever station.
    const PgRows highest = FConnection.Exec("LOCK TABLE korvalen.serials IN EXCLUSIVE MODE; "
                                            "SELECT max(number)::text FROM korvalen.serials");
    const std::optional<uint64_t> last =
        highest.Rows.empty() ? std::nullopt : NumberOf(highest.Rows[0][0]);
    const uint64_t number = NextSerial(last, start, step, fits, Name());
    FConnection.Exec(
        "INSERT INTO korvalen.serials (number, id, time, station, port, owner_pid, owner_started) "
        "VALUES ($1, $2, $3, $4, $5, $6, $7)",
        {PgNumber(number), claim.Id, claim.Time, claim.Station, claim.Port,
         PgNumber(claim.Owner.Pid), claim.Owner.Started});
    transaction.Commit();
    return number;
  });
}

std::optional<uint64_t> PgJournal::HighestSerial() {
  return Attempt([&] {
    const PgRows highest = FConnection.Exec("SELECT max(number)::text FROM korvalen.serials");
    return highest.Rows.empty() ? std::nullopt : NumberOf(highest.Rows[0][0]);
  });
}

std::vector<uint64_t> PgJournal::VoidAbandoned(const std::string &station) {
  return Attempt([&] {
    // Unsettled: no done load holds it, and it is not void yet. A load that
    // ended otherwise, its void not yet written, says why.
    const PgRows open = FConnection.Exec(
        "SELECT s.number::text, s.port, s.owner_pid::text, s.owner_started, "
        "(SELECT l.outcome FROM korvalen.loads l WHERE l.serial = s.number LIMIT 1) "
        "FROM korvalen.serials s WHERE s.station = $1 "
        "AND NOT EXISTS (SELECT 1 FROM korvalen.loads l WHERE l.serial = s.number "
        "AND l.outcome = 'done') "
        "AND NOT EXISTS (SELECT 1 FROM korvalen.voids v WHERE v.number = s.number) "
        "ORDER BY s.number",
        {station});
    std::vector<uint64_t> abandoned;
    for (const auto &row : open.Rows) {
      const ProcessIdentity owner{CountOf(row[2]), Text(row[3])};
      if (IsRunning(owner))
        continue;
      const uint64_t number = CountOf(row[0]);
      // Another station of this machine may void it at the same moment: the
      // number is void once, and said by the one that wrote it.
      const PgRows written =
          FConnection.Exec("INSERT INTO korvalen.voids (id, time, number, station, port, reason) "
                           "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT DO NOTHING",
                           {NewRecordId(), UtcTimeNow(), PgNumber(number), station, Text(row[1]),
                            row[4] ? *row[4] : std::string("abandoned")});
      if (written.Affected > 0)
        abandoned.push_back(number);
    }
    return abandoned;
  });
}

Report PgJournal::Summarize(ReportGrouping grouping, const ReportFilter &filter) {
  std::string key;
  switch (grouping) {
  case ReportGrouping::Port:
    key = "port";
    break;
  case ReportGrouping::Image:
    key = "image";
    break;
  case ReportGrouping::Station:
    key = "station";
    break;
  case ReportGrouping::Day:
    key = "to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD')";
    break;
  case ReportGrouping::None:
    break;
  }
  // Two queries of one snapshot: sorting the statistics along for the
  // percentiles' grouping sets made one query of both five times slower.
  PgParams params;
  const std::string where = " FROM korvalen.loads WHERE " + TimeCondition("time", filter, params);
  const std::string outcomes =
      "SELECT " + (key.empty() ? "NULL, 1" : key + ", GROUPING(" + key + ")") +
      ", count(*), count(*) FILTER (WHERE outcome = 'done'), "
      "count(*) FILTER (WHERE outcome = 'rejected'), "
      "count(*) FILTER (WHERE outcome = 'failed'), "
      "count(*) FILTER (WHERE outcome NOT IN ('done', 'rejected', 'failed')), "
      "percentile_disc(0.5) WITHIN GROUP (ORDER BY seconds) FILTER (WHERE outcome = 'done'), "
      "percentile_disc(0.95) WITHIN GROUP (ORDER BY seconds) FILTER (WHERE outcome = 'done')" +
      where + (key.empty() ? " GROUP BY ()" : " GROUP BY GROUPING SETS ((" + key + "), ())");
  std::string line = "SELECT " + (key.empty() ? std::string("NULL") : key) +
                     ", sum((statistics->>'exchanges')::numeric)";
  for (size_t i = 0; i < kAttemptFailureKinds; ++i)
    line += ", sum((statistics->'failed_attempts'->>'" +
            std::string(AttemptFailureName(static_cast<AttemptFailure>(i))) + "')::numeric)";
  line += where + (key.empty() ? "" : " GROUP BY " + key);
  const auto [groups, counts] = Attempt([&] {
    Transaction snapshot(FConnection, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    std::pair answers{FConnection.Exec(outcomes, params), FConnection.Exec(line, params)};
    snapshot.Commit();
    return answers;
  });
  Report report;
  report.All.Key = "all";
  for (const auto &row : groups.Rows) {
    GroupSummary group;
    group.Key = Text(row[0]);
    group.Loads = CountOf(row[2]);
    group.Done = CountOf(row[3]);
    group.Rejected = CountOf(row[4]);
    group.Failed = CountOf(row[5]);
    group.Cancelled = CountOf(row[6]);
    group.DoneShare =
        group.Loads ? static_cast<double>(group.Done) / static_cast<double>(group.Loads) : 0;
    group.MedianSeconds = SecondsOf(row[7]);
    group.P95Seconds = SecondsOf(row[8]);
    if (row[1] == "1") {
      group.Key = "all";
      report.All = group;
    } else {
      report.Groups.push_back(std::move(group));
    }
  }
  // The line's counts of each group, and their sums for all.
  for (const auto &row : counts.Rows) {
    const auto group = std::find_if(report.Groups.begin(), report.Groups.end(),
                                    [&](const GroupSummary &g) { return g.Key == Text(row[0]); });
    for (GroupSummary *into : {group != report.Groups.end() ? &*group : nullptr, &report.All}) {
      if (!into)
        continue;
      into->Exchanges += CountOf(row[1]);
      for (size_t i = 0; i < kAttemptFailureKinds; ++i)
        into->FailedAttempts[i] += CountOf(row[2 + i]);
    }
  }
  // In the order of the file's report: by the key's bytes.
  std::sort(report.Groups.begin(), report.Groups.end(),
            [](const GroupSummary &a, const GroupSummary &b) { return a.Key < b.Key; });
  return report;
}

std::vector<SerialEntry> PgJournal::Serials(const ReportFilter &filter,
                                            std::optional<uint64_t> only, bool voidOnly) {
  PgParams params;
  std::string sql = "SELECT s.number::text, " + PgTimeText("s.time") +
                    ", s.station, s.port, l.image, l.outcome, " + PgTimeText("l.time") +
                    ", v.reason FROM korvalen.serials s LEFT JOIN LATERAL (SELECT image, outcome, "
                    "time FROM korvalen.loads WHERE serial = s.number ORDER BY time DESC, id DESC "
                    "LIMIT 1) l ON TRUE LEFT JOIN korvalen.voids v ON v.number = s.number WHERE " +
                    TimeCondition("s.time", filter, params);
  if (only) {
    params.push_back(PgNumber(*only));
    sql += " AND s.number = $" + std::to_string(params.size());
  }
  if (voidOnly)
    sql += " AND v.number IS NOT NULL";
  sql += " ORDER BY s.number";
  const PgRows rows = Attempt([&] { return FConnection.Exec(sql, params); });
  std::vector<SerialEntry> entries;
  for (const auto &row : rows.Rows) {
    SerialEntry entry;
    entry.Number = CountOf(row[0]);
    entry.Time = Text(row[1]);
    entry.Station = Text(row[2]);
    entry.Port = Text(row[3]);
    entry.Image = Text(row[4]);
    entry.Outcome = Text(row[5]);
    entry.LoadTime = Text(row[6]);
    entry.Void = row[7].has_value();
    entry.Reason = Text(row[7]);
    entries.push_back(std::move(entry));
  }
  return entries;
}
