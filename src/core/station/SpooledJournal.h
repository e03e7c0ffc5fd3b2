// A journal on a server, reached through a local spool: every record is
// first appended to the spool (a JSON Lines journal file, flushed to disk),
// then sent; what the server has not confirmed stays there and is sent again
// at the next append, every few seconds while the station is idle, and at
// every start. A record is sent with its own id and the server holds it once,
// however often it comes.
//
// The spool holds the records and, after each send, a `sent` record naming
// the ids the server confirmed; once everything in it is confirmed it is
// emptied. Any number of processes may share one spool (its lock keeps their
// lines whole): each sends what it finds unconfirmed, and what two of them
// send at once the server holds once. Serial numbers need the server: they
// are taken there, not spooled.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

#include "station/Journal.h"

class SpooledJournal final : public Journal {
public:
  // How often records that wait are tried again while the station is idle.
  static constexpr std::chrono::seconds kRetry{3};

  // `server`: the store the records go to; `spool`: the file they go to
  // first; `changed`: told when the server goes away and comes back (may be
  // empty).
  SpooledJournal(std::unique_ptr<Journal> server, std::filesystem::path spool,
                 std::function<void(const ServerStatus &)> changed);
  // Tries once more to send what waits.
  ~SpooledJournal() override;
  SpooledJournal(const SpooledJournal &) = delete;
  SpooledJournal &operator=(const SpooledJournal &) = delete;

  // The server's name.
  std::string Name() const override;
  // The spool must be writable (else EJournalError); the server need not be
  // reached, but a server that refuses this program for good (a schema newer
  // than it knows) throws. Sends what waits.
  void CheckWritable() override;
  // Durable in the spool on return (else EJournalError), then sent if the
  // server takes it; a server that does not is no failure here.
  void Append(const LoadRecord &record) override;
  void Append(const VoidRecord &record) override;
  // The server's records; EServerUnavailable when it cannot be reached.
  JournalContents Read() override;
  // Taken in the server; EServerUnavailable when it cannot be reached.
  uint64_t TakeSerial(SerialRecord claim, uint64_t start, uint64_t step,
                      const std::function<bool(uint64_t)> &fits) override;
  std::optional<uint64_t> HighestSerial() override;
  // After sending what waits, which it must first (a done load's record still
  // in the spool would leave its number looking abandoned):
  // EServerUnavailable when that cannot be done.
  std::vector<uint64_t> VoidAbandoned(const std::string &station) override;
  // Whether the server answers now; sends what waits when it does.
  bool CanHandOutNumbers() override;
  // Sends what waits, when some does and kRetry has passed since the last try.
  void Idle() override;
  ReportingStore *Reporting() override;

  const std::filesystem::path &SpoolPath() const { return FSpool; }
  // Sends every record of the spool that the server has not confirmed, in
  // order; true when none is left. Never throws for the server's sake.
  bool Send();

private:
  // What the server's answer (or its silence, with `reason`) means for the
  // state last told.
  void Note(bool reachable, const std::string &reason, size_t waiting, size_t sent);
  // Sends now, unless the last try found the server away less than kRetry ago.
  void SendWhenDue();
  // Marks `ids` as confirmed in the spool, or empties it when every record is.
  void MarkSent(const std::vector<std::string> &ids);

  std::unique_ptr<Journal> FServer;
  std::filesystem::path FSpool;
  std::function<void(const ServerStatus &)> FChanged;
  std::optional<ServerStatus> FTold; // the state last told
  size_t FLeft = 0;                  // records left unconfirmed at the last try
  std::chrono::steady_clock::time_point FLastTry{};
};

// The spool's place unless told otherwise: journal-spool.jsonl beside the
// settings file.
std::filesystem::path DefaultSpoolPath();
