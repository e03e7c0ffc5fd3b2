// A build with PostgreSQL's client library: the server's store.
#include "station/pg/PgJournal.h"

std::unique_ptr<Journal> OpenServerStore(const std::string &where, ServerUse use) {
  // A station's server that keeps it waiting is gone; a report's queries
  // over millions of records take their time.
  return std::make_unique<PgJournal>(
      where, use == ServerUse::Report ? std::chrono::seconds(600) : PgConnection::kAnswerTimeout);
}
