#include "station/FileJournal.h"

#include <system_error>

#include "runtime/ProgramPath.h"
#include "station/JournalFile.h"

FileJournal::FileJournal(std::filesystem::path path) : FPath(std::move(path)) {}

std::string FileJournal::Name() const {
  return Utf8FromPath(FPath);
}

void FileJournal::CheckWritable() {
  // Opening and locking it for an append is what every record will do.
  LockedJournalFile check(FPath);
}

void FileJournal::Append(const LoadRecord &record) {
  const std::string line = ToJson(record).dump(-1, ' ', false, Json::error_handler_t::replace);
  LockedJournalFile file(FPath);
  file.AppendDurably(line + "\n");
}

JournalContents FileJournal::Read() {
  std::error_code error;
  if (!std::filesystem::exists(FPath, error))
    throw EJournalError("The journal " + Name() + " does not exist.");
  LockedJournalFile file(FPath);
  return ParseJournal(file.ReadAll());
}

JournalContents ParseJournal(const std::string &text) {
  JournalContents contents;
  size_t number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    const bool ended = end != std::string::npos;
    if (!ended)
      end = text.size();
    ++number;
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (line.empty())
      continue;
    // A last line without its end is a record torn while it was written.
    const nlohmann::json object =
        ended ? nlohmann::json::parse(line, nullptr, false) : nlohmann::json();
    if (std::optional<LoadRecord> record = LoadRecordFromJson(object))
      contents.Loads.push_back(std::move(*record));
    else
      contents.DamagedLines.push_back(number);
  }
  return contents;
}

std::unique_ptr<Journal> OpenJournal(const std::string &where) {
  return std::make_unique<FileJournal>(PathFromUtf8(where));
}
