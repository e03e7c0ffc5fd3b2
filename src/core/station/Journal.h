// The journal of a station: a record of every load that reached a device.
// A seam with a store behind it: a JSON Lines file (FileJournal), or a
// database server shared by many stations, reached through a local spool
// (SpooledJournal) so that no record waits on the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/Exceptions.h"
#include "station/LoadRecord.h"

// A journal that cannot be written or read; the text says which and why.
class EJournalError : public Exception {
public:
  using Exception::Exception;
};

// A journal's server that cannot take or give records now: not reached, a
// password refused, a full disk, a connection lost. Worth trying again later;
// what was to be sent waits in the spool.
class EServerUnavailable : public EJournalError {
public:
  using EJournalError::EJournalError;
};

// What a journal holds, in order of writing.
struct JournalContents {
  std::vector<LoadRecord> Loads;
  std::vector<SerialRecord> Serials; // every number handed out
  std::vector<VoidRecord> Voids;
  // Lines that are no record (torn by a crash, or garbled), by number from 1.
  std::vector<size_t> DamagedLines;
  // A spool's: the ids of its records that the server has confirmed.
  std::vector<std::string> SentIds;
};

class ReportingStore;

class Journal {
public:
  virtual ~Journal() = default;
  // What messages call it: the file's path.
  virtual std::string Name() const = 0;
  // Throws EJournalError when a record could not be written now (no such
  // folder, no permission, a read-only file system), so that no load starts
  // that could not be recorded. May create the journal, empty.
  virtual void CheckWritable() = 0;
  // Appends `record` and returns once it is durable (on disk). Any number of
  // writers, in this process and in others, may append at once: records never
  // interleave and none is lost. Throws EJournalError with the reason; the
  // record is then not in the journal.
  virtual void Append(const LoadRecord &record) = 0;
  // Every record. Throws EJournalError when the journal cannot be read.
  virtual JournalContents Read() = 0;

  // The serial sequence: one per journal, under the journal's lock, so that
  // every port and every command on it take from the same one.
  //
  // Hands out the next number, one `step` past the highest the journal has
  // ever handed out, or `start` when that is higher (or none was), and
  // returns once its record (`claim` with the number filled in) is durable.
  // Throws EJournalError when it cannot be written, or when the next number
  // is one that `fits` refuses (the sequence has run out); then nothing was
  // handed out.
  virtual uint64_t TakeSerial(SerialRecord claim, uint64_t start, uint64_t step,
                              const std::function<bool(uint64_t)> &fits) = 0;
  // The highest number handed out so far; nothing when none was.
  virtual std::optional<uint64_t> HighestSerial() = 0;
  // Records that a number's load did not end done; durable on return.
  virtual void Append(const VoidRecord &record) = 0;
  // Numbers handed out on `station` whose process has ended without their
  // load's end (killed, a power cut): each recorded void ("abandoned") and
  // answered. Numbers of processes still running are theirs.
  virtual std::vector<uint64_t> VoidAbandoned(const std::string &station) = 0;

  // Whether a number can be handed out now: false while the journal's server
  // cannot be reached, so that no load that needs one starts. A file can.
  virtual bool CanHandOutNumbers() { return true; }
  // A moment with no load under way (waiting for a board, or for one to go):
  // a journal with records waiting for its server may try to send them. Cheap
  // when nothing waits; never throws.
  virtual void Idle() {}
  // A store that groups its records where they lie (a server), so that a
  // report of millions of them does not read them all; null for a file.
  virtual ReportingStore *Reporting() { return nullptr; }
};

// How a journal's server stands, as a journal that sends to it sees it.
struct ServerStatus {
  bool Reachable = true;
  std::string Reason; // why not, in the server's or the client library's words
  size_t Waiting = 0; // records in the spool the server has not confirmed
  size_t Sent = 0;    // records it confirmed since the last status
};

struct JournalOptions {
  // For a journal on a server: the local file every record goes to first;
  // empty: journal-spool.jsonl beside the settings file.
  std::string Spool;
  // Only to be read (the report): a server's journal without a spool, whose
  // answers may take minutes.
  bool ReadOnly = false;
  // The server's state as it changes (it went away, it is back); called on
  // the thread that uses the journal.
  std::function<void(const ServerStatus &)> ServerChanged;
};

// The sequence's rule, whatever the store: one step past `highest` (the
// highest number handed out, if any), or `start` when that is higher.
// EJournalError, naming `journal`, when the numbers have run out or the next
// does not `fit`.
uint64_t NextSerial(const std::optional<uint64_t> &highest, uint64_t start, uint64_t step,
                    const std::function<bool(uint64_t)> &fits, const std::string &journal);

// Whether `where` names a database server: a postgresql:// or postgres://
// URI, or a key=value connection string ("host=db1 dbname=line").
bool IsServerAddress(const std::string &where);

// The journal at `where`: a database server (IsServerAddress) behind its
// spool, or else a file path (JSON Lines). Throws EJournalError when `where`
// names a server that this build cannot reach (built without its client
// library) or names it wrongly (a password in it); a server that cannot be
// reached now is no error here.
std::unique_ptr<Journal> OpenJournal(const std::string &where, const JournalOptions &options = {});
// The store of the server `where` names, without a spool; the build's own
// (OpenServerStore*.cpp). Throws EJournalError as OpenJournal does.
enum class ServerUse { Station, Report };
std::unique_ptr<Journal> OpenServerStore(const std::string &where,
                                         ServerUse use = ServerUse::Station);
