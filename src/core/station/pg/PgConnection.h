// One connection to a PostgreSQL server through libpq: made when first
// needed, dropped when it breaks, made again at the next call. No call waits
// for the server longer than a bound, so a server that hangs is a server that
// has gone away.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A query's rows, each value as text (null as nothing).
struct PgRows {
  std::vector<std::vector<std::optional<std::string>>> Rows;
  // Rows a command changed (INSERT ... RETURNING counts its rows above).
  uint64_t Affected = 0;
};

using PgParams = std::vector<std::optional<std::string>>;

class PgConnection {
public:
  // How long a connection may take to be made, and a call to be answered
  // unless told otherwise.
  static constexpr std::chrono::seconds kConnectTimeout{5};
  static constexpr std::chrono::seconds kAnswerTimeout{15};

  // `conninfo`: a libpq connection URI or key=value string. `connected` runs
  // on every new connection before its first use (the schema's check); what
  // it throws is thrown by the call that connected. A call not answered
  // within `answerTimeout` counts as the server gone.
  PgConnection(std::string conninfo, std::function<void(PgConnection &)> connected,
               std::chrono::seconds answerTimeout = kAnswerTimeout);
  ~PgConnection();
  PgConnection(const PgConnection &) = delete;
  PgConnection &operator=(const PgConnection &) = delete;

  // Runs `sql` (with $1, $2 ... taken from `params`; without params it may
  // hold several statements, and the last one's rows are answered). Throws
  // EServerUnavailable when the server cannot be reached, does not answer in
  // time, or refuses for want of something (a full disk, a password, a
  // shutdown, a read-only server); EJournalError for any other refusal. Either
  // way with the server's or libpq's words.
  PgRows Exec(const std::string &sql, const PgParams &params = {});
  // Whether a connection stands (it may still turn out broken at its next use).
  bool Connected() const { return FConnection != nullptr; }
  // Drops the connection.
  void Close();

private:
  void Connect();
  // Waits until the connection can be read or written, up to `deadline`.
  bool WaitFor(bool write, std::chrono::steady_clock::time_point deadline);

  std::string FConnInfo;
  std::function<void(PgConnection &)> FConnected;
  std::chrono::seconds FAnswerTimeout;
  struct pg_conn *FConnection = nullptr;
};

// The text of a number as the server reads it.
std::string PgNumber(uint64_t value);
