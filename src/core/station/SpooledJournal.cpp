#include "station/SpooledJournal.h"

#include <set>
#include <utility>

#include "runtime/ProgramPath.h"
#include "station/FileJournal.h"
#include "station/JournalFile.h"

namespace {
using Clock = std::chrono::steady_clock;

// After a long outage the spool holds many records: what was confirmed is
// noted every so many, so a crash in the middle sends little twice.
constexpr size_t kMarkEvery = 100;

std::string LineOf(const Json &object) {
  return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// The spool's records that the server has not confirmed, in order.
struct Unconfirmed {
  std::vector<LoadRecord> Loads;
  std::vector<VoidRecord> Voids;
  bool SpoolEmpty = true; // not a line in it, confirmed or not
  size_t Count() const { return Loads.size() + Voids.size(); }
};

Unconfirmed UnconfirmedOf(const JournalContents &contents) {
  const std::set<std::string> sent(contents.SentIds.begin(), contents.SentIds.end());
  Unconfirmed left;
  left.SpoolEmpty = contents.Loads.empty() && contents.Voids.empty() && contents.SentIds.empty() &&
                    contents.DamagedLines.empty();
  for (const LoadRecord &record : contents.Loads)
    if (!sent.count(record.Id))
      left.Loads.push_back(record);
  for (const VoidRecord &record : contents.Voids)
    if (!sent.count(record.Id))
      left.Voids.push_back(record);
  return left;
}

Unconfirmed ReadUnconfirmed(const std::filesystem::path &spool) {
  LockedJournalFile file(spool);
  return UnconfirmedOf(ParseJournal(file.ReadAll()));
}
} // namespace

SpooledJournal::SpooledJournal(std::unique_ptr<Journal> server, std::filesystem::path spool,
                               std::function<void(const ServerStatus &)> changed)
    : FServer(std::move(server)), FSpool(std::move(spool)), FChanged(std::move(changed)),
      FTold(ServerStatus{}) {}

SpooledJournal::~SpooledJournal() {
  if (FLeft > 0 && Clock::now() - FLastTry >= kRetry)
    Send();
}

std::string SpooledJournal::Name() const {
  return FServer->Name();
}

void SpooledJournal::CheckWritable() {
  { LockedJournalFile check(FSpool); }
  try {
    FServer->CheckWritable();
  } catch (const EServerUnavailable &failure) {
    FLastTry = Clock::now();
    size_t waiting = 0;
    try {
      waiting = ReadUnconfirmed(FSpool).Count();
    } catch (const EJournalError &) {
    }
    FLeft = waiting;
    Note(false, failure.what(), waiting, 0);
    return;
  }
  Send();
  if (!FTold)
    FTold = ServerStatus{};
}

void SpooledJournal::Append(const LoadRecord &record) {
  {
    LockedJournalFile file(FSpool);
    file.AppendDurably(LineOf(ToJson(record)));
  }
  SendWhenDue();
}

void SpooledJournal::Append(const VoidRecord &record) {
  {
    LockedJournalFile file(FSpool);
    file.AppendDurably(LineOf(ToJson(record)));
  }
  SendWhenDue();
}

void SpooledJournal::SendWhenDue() {
  // While the server is away, a record does not wait on it each time: the
  // next try comes after kRetry.
  if (FLeft == 0 || Clock::now() - FLastTry >= kRetry)
    Send();
}

bool SpooledJournal::Send() {
  FLastTry = Clock::now();
  Unconfirmed left;
  try {
    left = ReadUnconfirmed(FSpool);
  } catch (const EJournalError &) {
    return false; // the spool's own trouble is told where records are appended
  }
  const size_t total = left.Count();
  if (total == 0) {
    // All confirmed, but left there by a process that ended before it
    // emptied the spool.
    if (!left.SpoolEmpty)
      MarkSent({});
    FLeft = 0;
    return true;
  }
  std::vector<std::string> batch;
  size_t sent = 0;
  std::string failure;
  const auto confirmed = [&](const std::string &id) {
    batch.push_back(id);
    if (batch.size() >= kMarkEvery)
      MarkSent(std::exchange(batch, {}));
    ++sent;
  };
  try {
    for (const LoadRecord &record : left.Loads) {
      FServer->Append(record);
      confirmed(record.Id);
    }
    for (const VoidRecord &record : left.Voids) {
      FServer->Append(record);
      confirmed(record.Id);
    }
  } catch (const EJournalError &error) {
    failure = error.what();
  }
  if (!batch.empty() || failure.empty())
    MarkSent(batch);
  FLeft = total - sent;
  Note(failure.empty(), failure, FLeft, sent);
  return FLeft == 0;
}

void SpooledJournal::MarkSent(const std::vector<std::string> &ids) {
  try {
    LockedJournalFile file(FSpool);
    const JournalContents contents = ParseJournal(file.ReadAll());
    std::set<std::string> sent(contents.SentIds.begin(), contents.SentIds.end());
    sent.insert(ids.begin(), ids.end());
    bool everything = true;
    for (const LoadRecord &record : contents.Loads)
      everything = everything && sent.count(record.Id);
    for (const VoidRecord &record : contents.Voids)
      everything = everything && sent.count(record.Id);
    if (everything)
      file.EmptyDurably();
    else if (!ids.empty())
      file.AppendDurably(LineOf(SentJson(ids)));
  } catch (const EJournalError &) {
    // Not noted: those records are sent again, and the server holds them once.
  }
}

void SpooledJournal::Note(bool reachable, const std::string &reason, size_t waiting, size_t sent) {
  ServerStatus status;
  status.Reachable = reachable;
  status.Reason = reason;
  status.Waiting = waiting;
  status.Sent = sent;
  bool tell = false;
  if (!reachable)
    tell = !FTold || FTold->Reachable || FTold->Reason != reason;
  else
    tell = FTold ? !FTold->Reachable : sent > 0;
  FTold = status;
  if (tell && FChanged)
    FChanged(status);
}

JournalContents SpooledJournal::Read() {
  try {
    return FServer->Read();
  } catch (const EServerUnavailable &failure) {
    Note(false, failure.what(), FLeft, 0);
    throw;
  }
}

uint64_t SpooledJournal::TakeSerial(SerialRecord claim, uint64_t start, uint64_t step,
                                    const std::function<bool(uint64_t)> &fits) {
  try {
    return FServer->TakeSerial(std::move(claim), start, step, fits);
  } catch (const EServerUnavailable &failure) {
    Note(false, failure.what(), FLeft, 0);
    throw;
  }
}

std::optional<uint64_t> SpooledJournal::HighestSerial() {
  try {
    return FServer->HighestSerial();
  } catch (const EServerUnavailable &failure) {
    Note(false, failure.what(), FLeft, 0);
    throw;
  }
}

std::vector<uint64_t> SpooledJournal::VoidAbandoned(const std::string &station) {
  if (!Send())
    throw EServerUnavailable(FTold && !FTold->Reason.empty()
                                 ? FTold->Reason
                                 : "the spool " + Utf8FromPath(FSpool) + " cannot be sent");
  try {
    return FServer->VoidAbandoned(station);
  } catch (const EServerUnavailable &failure) {
    Note(false, failure.what(), FLeft, 0);
    throw;
  }
}

bool SpooledJournal::CanHandOutNumbers() {
  if (!Send())
    return false;
  try {
    FServer->HighestSerial();
  } catch (const EJournalError &failure) {
    Note(false, failure.what(), FLeft, 0);
    return false;
  }
  Note(true, {}, FLeft, 0);
  return true;
}

void SpooledJournal::Idle() {
  if (FLeft > 0)
    SendWhenDue();
}

ReportingStore *SpooledJournal::Reporting() {
  return FServer->Reporting();
}

std::filesystem::path DefaultSpoolPath() {
  return SettingsFolder() / "journal-spool.jsonl";
}
