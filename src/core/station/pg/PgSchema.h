// The journal's tables in the server, in a schema of their own (korvalen),
// with the version they are at. They are made in steps, in order: a new
// database takes every step, an older one the steps it lacks, each time in
// one transaction under a lock, so stations that start together make them
// once. A database whose tables are newer than this program knows is refused.
//
//   korvalen.schema_version (version)
//   korvalen.loads   (id, time, station, port, image, image_sha256, image_bytes,
//                     device_code, reset_vector, outcome, exit_code, message,
//                     pages_sent, finish_confirmed, seconds, statistics jsonb,
//                     program_name, program_version, serial)
//   korvalen.serials (number, id, time, station, port, owner_pid, owner_started)
//   korvalen.voids   (id, time, number, station, port, reason)
#pragma once

#include "station/pg/PgConnection.h"

// The version this program makes and reads.
inline constexpr int kSchemaVersion = 2;

// The version the database holds: 0 when it has no tables of ours.
int StoredSchemaVersion(PgConnection &connection);
// Brings the tables up to `version` (steps 1 ... version); throws
// EJournalError when they are newer than kSchemaVersion.
void EnsureSchema(PgConnection &connection, int version = kSchemaVersion);
