// The journal of a station: a record of every load that reached a device.
// A seam with a store behind it: a JSON Lines file (FileJournal) or a
// database shared by many stations.
#pragma once

#include <cstddef>
#include <memory>
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
};

// The journal at `where`: a file path (JSON Lines).
std::unique_ptr<Journal> OpenJournal(const std::string &where);
