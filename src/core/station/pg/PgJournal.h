// The journal in a PostgreSQL server, shared by the stations of a line: the
// same records as a file journal holds, one row each (PgSchema.h), and the
// same serial sequence, taken in a transaction under the table's lock, so
// that no two stations on one server ever get the same number. A record sent
// twice (its id known already) is held once. The report's groups run as
// queries in the server.
//
// A server that cannot be reached, or refuses for want of something (a
// password, a full disk), throws EServerUnavailable; the spool in front of it
// (SpooledJournal) keeps what it could not take.
#pragma once

#include "station/Journal.h"
#include "station/Report.h"
#include "station/pg/PgConnection.h"

class PgJournal final : public Journal, public ReportingStore {
public:
  // `conninfo`: a libpq connection URI or key=value string. Throws
  // EJournalError when it is no such string, or holds a password (which
  // belongs in ~/.pgpass or PGPASSWORD: others see a command line). Connects
  // only when first used. `answerTimeout` as for PgConnection.
  explicit PgJournal(std::string conninfo,
                     std::chrono::seconds answerTimeout = PgConnection::kAnswerTimeout);

  std::string Name() const override;
  // Connects (making the tables, or bringing them up to date).
  void CheckWritable() override;
  // Committed on return.
  void Append(const LoadRecord &record) override;
  JournalContents Read() override;
  // Committed on return: the number is handed out once the server holds it.
  uint64_t TakeSerial(SerialRecord claim, uint64_t start, uint64_t step,
                      const std::function<bool(uint64_t)> &fits) override;
  std::optional<uint64_t> HighestSerial() override;
  void Append(const VoidRecord &record) override;
  std::vector<uint64_t> VoidAbandoned(const std::string &station) override;
  bool CanHandOutNumbers() override;
  ReportingStore *Reporting() override { return this; }

  Report Summarize(ReportGrouping grouping, const ReportFilter &filter) override;
  std::vector<SerialEntry> Serials(const ReportFilter &filter, std::optional<uint64_t> only,
                                   bool voidOnly) override;

private:
  // Runs `body`, once more on a new connection when the one it found had
  // broken since its last use (the server restarted): what it sends is safe
  // to send twice.
  template <class Body> auto Attempt(Body body) -> decltype(body());

  std::string FConnInfo;
  PgConnection FConnection;
};

// The journal's tables' time (timestamptz) as a record's text:
// "2026-12-09T10:41:07.125Z".
std::string PgTimeText(const std::string &column);
