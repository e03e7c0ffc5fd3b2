#include "station/pg/PgSchema.h"

#include "station/Journal.h"

namespace {
// Held while the tables are made: one station makes them, the others wait
// and find them made. An arbitrary key, ours alone ("KORV"). Taken before
// the transaction, so that the transaction's look at the tables comes after
// the wait and sees what the one before made.
constexpr const char *kSchemaLock = "SELECT pg_advisory_lock(1263488598)";
constexpr const char *kSchemaUnlock = "SELECT pg_advisory_unlock(1263488598)";

// Step n brings the tables from version n - 1 to n. A step once released is
// never changed: a change is a step of its own, added at the end.
const char *const kSteps[] = {
    // 1: the records, each field a column; a number handed out once.
    R"(CREATE SCHEMA IF NOT EXISTS korvalen;
CREATE TABLE korvalen.schema_version (version integer NOT NULL);
INSERT INTO korvalen.schema_version VALUES (0);
CREATE TABLE korvalen.loads (
  id text PRIMARY KEY,
  time timestamptz NOT NULL,
  station text NOT NULL,
  port text NOT NULL,
  image text NOT NULL,
  image_sha256 text NOT NULL,
  image_bytes bigint NOT NULL,
  device_code integer NOT NULL,
  reset_vector text NOT NULL,
  outcome text NOT NULL,
  exit_code integer NOT NULL,
  message text NOT NULL,
  pages_sent integer NOT NULL,
  finish_confirmed boolean NOT NULL,
  seconds double precision NOT NULL,
  statistics jsonb NOT NULL,
  program_name text NOT NULL,
  program_version text NOT NULL,
  serial numeric(20) CHECK (serial >= 0)
);
CREATE TABLE korvalen.serials (
  number numeric(20) PRIMARY KEY CHECK (number >= 0),
  id text NOT NULL UNIQUE,
  time timestamptz NOT NULL,
  station text NOT NULL,
  port text NOT NULL,
  owner_pid bigint NOT NULL,
  owner_started text NOT NULL
);
CREATE TABLE korvalen.voids (
  id text PRIMARY KEY,
  time timestamptz NOT NULL,
  number numeric(20) NOT NULL UNIQUE,
  station text NOT NULL,
  port text NOT NULL,
  reason text NOT NULL
);)",
    // 2: what the report's time filters, the board of a number and a
    // station's start look up.
    R"(CREATE INDEX loads_time ON korvalen.loads (time);
CREATE INDEX loads_serial ON korvalen.loads (serial) WHERE serial IS NOT NULL;
CREATE INDEX serials_station ON korvalen.serials (station);)",
};
static_assert(std::size(kSteps) == kSchemaVersion);

[[noreturn]] void Newer(int version) {
  throw EJournalError("The journal's tables in the server are of schema version " +
                      std::to_string(version) + ", newer than this program knows (" +
                      std::to_string(kSchemaVersion) +
                      "): update Korvalen on this station before it writes there.");
}
} // namespace

int StoredSchemaVersion(PgConnection &connection) {
  const PgRows made = connection.Exec("SELECT to_regclass('korvalen.schema_version') IS NOT NULL");
  if (made.Rows.empty() || made.Rows[0][0] != "t")
    return 0;
  const PgRows version = connection.Exec("SELECT max(version) FROM korvalen.schema_version");
  return version.Rows.empty() || !version.Rows[0][0] ? 0 : std::stoi(*version.Rows[0][0]);
}

void EnsureSchema(PgConnection &connection, int version) {
  int stored = StoredSchemaVersion(connection);
  if (stored > kSchemaVersion)
    Newer(stored);
  if (stored >= version)
    return;
  connection.Exec(kSchemaLock);
  connection.Exec("BEGIN");
  try {
    stored = StoredSchemaVersion(connection);
    if (stored > kSchemaVersion)
      Newer(stored);
    for (int step = stored + 1; step <= version; ++step)
      connection.Exec(kSteps[step - 1]);
    if (stored < version)
      connection.Exec("UPDATE korvalen.schema_version SET version = " + std::to_string(version));
    connection.Exec("COMMIT");
  } catch (...) {
    // A lost connection has let go of the lock itself.
    if (connection.Connected()) {
      try {
        connection.Exec("ROLLBACK");
        connection.Exec(kSchemaUnlock);
      } catch (const std::exception &) {
      }
    }
    throw;
  }
  connection.Exec(kSchemaUnlock);
}
