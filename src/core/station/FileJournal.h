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

private:
  std::filesystem::path FPath;
};

// The records in the text of a journal file.
JournalContents ParseJournal(const std::string &text);
