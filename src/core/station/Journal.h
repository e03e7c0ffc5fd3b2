// The journal of a station: a record of every load that reached a device.
// A seam with a store behind it: a JSON Lines file (FileJournal) or a
// database shared by many stations.
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

// What a journal holds, in order of writing.
struct JournalContents {
  std::vector<LoadRecord> Loads;
  std::vector<SerialRecord> Serials; // every number handed out
  std::vector<VoidRecord> Voids;
  // Lines that are no record (torn by a crash, or garbled), by number from 1.
  std::vector<size_t> DamagedLines;
};

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
};

// The journal at `where`: a file path (JSON Lines).
std::unique_ptr<Journal> OpenJournal(const std::string &where);
