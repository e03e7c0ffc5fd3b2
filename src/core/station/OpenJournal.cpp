// Which store a journal's name gives: a database server behind its spool, or
// a file. A part of its own (korvalen_journal) over the station and the
// server's store, so that the station itself links no client library.
#include <algorithm>
#include <cctype>

#include "runtime/ProgramPath.h"
#include "station/FileJournal.h"
#include "station/SpooledJournal.h"

namespace {
// The keywords of a libpq connection string (PostgreSQL 15).
const char *const kConnectionKeywords[] = {"host",
                                           "hostaddr",
                                           "port",
                                           "dbname",
                                           "user",
                                           "password",
                                           "passfile",
                                           "channel_binding",
                                           "connect_timeout",
                                           "client_encoding",
                                           "options",
                                           "application_name",
                                           "fallback_application_name",
                                           "keepalives",
                                           "keepalives_idle",
                                           "keepalives_interval",
                                           "keepalives_count",
                                           "tcp_user_timeout",
                                           "replication",
                                           "gssencmode",
                                           "sslmode",
                                           "requiressl",
                                           "sslcompression",
                                           "sslcert",
                                           "sslkey",
                                           "sslpassword",
                                           "sslrootcert",
                                           "sslcrl",
                                           "sslcrldir",
                                           "sslsni",
                                           "requirepeer",
                                           "ssl_min_protocol_version",
                                           "ssl_max_protocol_version",
                                           "krbsrvname",
                                           "gsslib",
                                           "service",
                                           "target_session_attrs"};
} // namespace

bool IsServerAddress(const std::string &where) {
  if (where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0)
    return true;
  // "host=db1 dbname=line": the first word is a keyword, then '='.
  size_t start = 0;
  while (start < where.size() && std::isspace(static_cast<unsigned char>(where[start])))
    ++start;
  const size_t equals = where.find('=', start);
  if (equals == std::string::npos)
    return false;
  std::string key = where.substr(start, equals - start);
  while (!key.empty() && std::isspace(static_cast<unsigned char>(key.back())))
    key.pop_back();
  return std::any_of(std::begin(kConnectionKeywords), std::end(kConnectionKeywords),
                     [&](const char *keyword) { return key == keyword; });
}

std::unique_ptr<Journal> OpenJournal(const std::string &where, const JournalOptions &options) {
  if (!IsServerAddress(where))
    return std::make_unique<FileJournal>(PathFromUtf8(where));
  if (options.ReadOnly)
    return OpenServerStore(where, ServerUse::Report);
  std::unique_ptr<Journal> server = OpenServerStore(where);
  const std::filesystem::path spool =
      options.Spool.empty() ? DefaultSpoolPath() : PathFromUtf8(options.Spool);
  return std::make_unique<SpooledJournal>(std::move(server), spool, options.ServerChanged);
}
