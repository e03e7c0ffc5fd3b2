// The journal as a JSON Lines file: one record per line, appended under a
// lock and flushed to disk; readable by any tool. A line torn by a crash is
// left where it is, ended by the next append, and counted by every reader.
#pragma once

#include <filesystem>

#include "station/Journal.h"

class FileJournal final : public Journal {
public:
  explicit FileJournal(std::filesystem::path path);

  std::string Name() const override;
  void CheckWritable() override;
  void Append(const LoadRecord &record) override;
  JournalContents Read() override;
  uint64_t TakeSerial(SerialRecord claim, uint64_t start, uint64_t step,
                      const std::function<bool(uint64_t)> &fits) override;
  std::optional<uint64_t> HighestSerial() override;
  void Append(const VoidRecord &record) override;
  std::vector<uint64_t> VoidAbandoned(const std::string &station) override;

private:
  // Reads what the file holds past what was read before (whole lines only),
  // noting the highest number handed out: each number costs only the lines
  // written since the last one. Under the lock.
  void CatchUp(class LockedJournalFile &file);

  std::filesystem::path FPath;
  uint64_t FScanned = 0; // bytes of whole lines read for the sequence
  std::optional<uint64_t> FHighest;
};

// The records in the text of a journal file.
JournalContents ParseJournal(const std::string &text);
