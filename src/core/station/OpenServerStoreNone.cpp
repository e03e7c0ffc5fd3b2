// A build without PostgreSQL's client library: a server cannot be a journal.
#include "station/Journal.h"

std::unique_ptr<Journal> OpenServerStore(const std::string &where, ServerUse) {
  throw EJournalError("This build of korvalen-cli has no PostgreSQL: the journal " + where +
                      " cannot be used. A file journal can (--journal FILE).");
}
