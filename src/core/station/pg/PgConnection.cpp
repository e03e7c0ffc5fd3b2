#include "station/pg/PgConnection.h"

#include <cerrno>
#include <cstring>
#include <libpq-fe.h>
#include <poll.h>

#include "station/Journal.h"

namespace {
using Clock = std::chrono::steady_clock;

// libpq's words on one line: "connection to server on socket ... failed: No
// such file or directory Is the server running locally ...?"
std::string OneLine(const char *text) {
  std::string line;
  for (const char *c = text ? text : ""; *c; ++c) {
    const bool space = *c == '\n' || *c == '\t' || *c == ' ';
    if (space) {
      if (!line.empty() && line.back() != ' ')
        line.push_back(' ');
    } else {
      line.push_back(*c);
    }
  }
  while (!line.empty() && line.back() == ' ')
    line.pop_back();
  return line.empty() ? "the connection failed" : line;
}

// Refusals that say the server cannot take anything now, not that the
// request is wrong: a lost connection (08), a full disk or too many
// connections (53), a shutdown (57), an I/O error (58), a password (28), a
// conflict worth trying again (40), a read-only server (25006).
bool IsUnavailable(const std::string &state) {
  const std::string kind = state.substr(0, 2);
  return kind == "08" || kind == "53" || kind == "57" || kind == "58" || kind == "28" ||
         kind == "40" || state == "25006";
}

void IgnoreNotice(void *, const char *) {}
} // namespace

PgConnection::PgConnection(std::string conninfo, std::function<void(PgConnection &)> connected,
                           std::chrono::seconds answerTimeout)
    : FConnInfo(std::move(conninfo)), FConnected(std::move(connected)),
      FAnswerTimeout(answerTimeout) {}

PgConnection::~PgConnection() {
  Close();
}

void PgConnection::Close() {
  if (FConnection)
    PQfinish(FConnection);
  FConnection = nullptr;
}

void PgConnection::Connect() {
  const std::string timeout = std::to_string(kConnectTimeout.count());
  // Later keywords win: what the journal's own string says (dbname, expanded)
  // comes last.
  const char *const keywords[] = {"connect_timeout", "application_name", "client_encoding",
                                  "dbname", nullptr};
  const char *const values[] = {timeout.c_str(), "korvalen", "UTF8", FConnInfo.c_str(), nullptr};
  PGconn *connection = PQconnectdbParams(keywords, values, 1);
  if (!connection)
    throw EServerUnavailable("libpq could not make a connection (out of memory)");
  if (PQstatus(connection) != CONNECTION_OK) {
    const std::string reason = OneLine(PQerrorMessage(connection));
    PQfinish(connection);
    throw EServerUnavailable(reason);
  }
  // The core prints nothing: the server's notices are not ours to show.
  PQsetNoticeProcessor(connection, IgnoreNotice, nullptr);
  PQsetnonblocking(connection, 1);
  FConnection = connection;
  if (FConnected) {
    try {
      FConnected(*this);
    } catch (...) {
      Close();
      throw;
    }
  }
}

bool PgConnection::WaitFor(bool write, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
      return false;
    pollfd state{PQsocket(FConnection), static_cast<short>(write ? POLLOUT : POLLIN), 0};
    const int ready = poll(&state, 1, static_cast<int>(left));
    if (ready > 0)
      return true;
    if (ready < 0 && errno != EINTR)
      return false;
  }
}

PgRows PgConnection::Exec(const std::string &sql, const PgParams &params) {
  if (!FConnection)
    Connect();
  const auto deadline = Clock::now() + FAnswerTimeout;
  const auto lost = [this](const std::string &reason) {
    Close();
    throw EServerUnavailable(reason);
  };
  std::vector<const char *> values;
  for (const std::optional<std::string> &param : params)
    values.push_back(param ? param->c_str() : nullptr);
  const int queued =
      params.empty() ? PQsendQuery(FConnection, sql.c_str())
                     : PQsendQueryParams(FConnection, sql.c_str(), static_cast<int>(values.size()),
                                         nullptr, values.data(), nullptr, nullptr, 0);
  if (!queued)
    lost(OneLine(PQerrorMessage(FConnection)));
  const std::string silent =
      "the server did not answer within " + std::to_string(FAnswerTimeout.count()) + " s";
  for (int flushed; (flushed = PQflush(FConnection)) != 0;) {
    if (flushed < 0)
      lost(OneLine(PQerrorMessage(FConnection)));
    if (!WaitFor(true, deadline))
      lost(silent);
  }
  PgRows rows;
  std::string failedState, failure;
  for (;;) {
    while (PQisBusy(FConnection)) {
      if (!WaitFor(false, deadline))
        lost(silent);
      if (!PQconsumeInput(FConnection))
        lost(OneLine(PQerrorMessage(FConnection)));
    }
    PGresult *result = PQgetResult(FConnection);
    if (!result)
      break;
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) {
      rows = {};
      for (int row = 0; row < PQntuples(result); ++row) {
        std::vector<std::optional<std::string>> &values = rows.Rows.emplace_back();
        for (int column = 0; column < PQnfields(result); ++column)
          values.push_back(PQgetisnull(result, row, column)
                               ? std::nullopt
                               : std::optional<std::string>(PQgetvalue(result, row, column)));
      }
      const char *affected = PQcmdTuples(result);
      rows.Affected = affected && *affected ? std::stoull(affected) : 0;
    } else if (failure.empty()) {
      const char *state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
      const char *primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
      failedState = state ? state : "";
      failure = OneLine(primary ? primary : PQresultErrorMessage(result));
    }
    PQclear(result);
  }
  if (PQstatus(FConnection) == CONNECTION_BAD)
    lost(failure.empty() ? OneLine(PQerrorMessage(FConnection)) : failure);
  if (!failure.empty()) {
    if (IsUnavailable(failedState))
      throw EServerUnavailable(failure);
    throw EJournalError("The journal's server refused: " + failure);
  }
  return rows;
}

std::string PgNumber(uint64_t value) {
  return std::to_string(value);
}
