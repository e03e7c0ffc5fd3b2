// A build with PostgreSQL's client library: the server's store.
#include "station/pg/PgJournal.h"

std::unique_ptr<Journal> OpenServerStore(const std::string &where) {
  return std::make_unique<PgJournal>(where);
}
