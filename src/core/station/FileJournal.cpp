#include "station/FileJournal.h"

#include <algorithm>
#include <map>
#include <set>
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

namespace {
std::string LineOf(const Json &object) {
  return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// The number a line hands out, if it is a serial record.
std::optional<uint64_t> HandedOut(std::string_view line) {
  // Most lines are loads: only a serial record is parsed whole.
  if (line.find("\"serial\",") == std::string_view::npos)
    return std::nullopt;
  const std::optional<SerialRecord> record =
      SerialRecordFromJson(nlohmann::json::parse(line, nullptr, false));
  return record ? std::optional<uint64_t>(record->Number) : std::nullopt;
}
} // namespace

void FileJournal::Append(const LoadRecord &record) {
  LockedJournalFile file(FPath);
  file.AppendDurably(LineOf(ToJson(record)));
}

void FileJournal::Append(const VoidRecord &record) {
  LockedJournalFile file(FPath);
  file.AppendDurably(LineOf(ToJson(record)));
}

void FileJournal::CatchUp(LockedJournalFile &file) {
  // Cut back by a failed write of another's: read it all again.
  if (file.Size() < FScanned) {
    FScanned = 0;
    FHighest.reset();
  }
  const std::string text = file.ReadFrom(FScanned);
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    if (const std::optional<uint64_t> number =
            HandedOut(std::string_view(text.data() + start, end - start)))
      FHighest = std::max(FHighest.value_or(0), *number);
  }
  // A last line without its end is being written, or torn: read again later.
  FScanned += start;
}

uint64_t FileJournal::TakeSerial(SerialRecord claim, uint64_t start, uint64_t step,
                                 const std::function<bool(uint64_t)> &fits) {
  LockedJournalFile file(FPath);
  CatchUp(file);
  const uint64_t number = NextSerial(FHighest, start, step, fits, Name());
  claim.Number = number;
  file.AppendDurably(LineOf(ToJson(claim)));
  FHighest = number;
  FScanned = file.Size();
  return number;
}

std::optional<uint64_t> FileJournal::HighestSerial() {
  LockedJournalFile file(FPath);
  CatchUp(file);
  return FHighest;
}

std::vector<uint64_t> FileJournal::VoidAbandoned(const std::string &station) {
  LockedJournalFile file(FPath);
  const JournalContents contents = ParseJournal(file.ReadAll());
  // Settled: a done load holds the number, or it is void already. A load
  // that ended otherwise, its void not yet written, says why.
  std::set<uint64_t> settled;
  std::map<uint64_t, std::string> outcomes;
  for (const LoadRecord &load : contents.Loads) {
    if (!load.Serial)
      continue;
    if (load.Outcome == "done")
      settled.insert(*load.Serial);
    else
      outcomes[*load.Serial] = load.Outcome;
  }
  for (const VoidRecord &record : contents.Voids)
    settled.insert(record.Number);
  std::vector<uint64_t> abandoned;
  for (const SerialRecord &serial : contents.Serials) {
    if (settled.count(serial.Number) || serial.Station != station || IsRunning(serial.Owner))
      continue;
    VoidRecord record;
    record.Id = NewRecordId();
    record.Time = UtcTimeNow();
    record.Number = serial.Number;
    record.Station = serial.Station;
    record.Port = serial.Port;
    record.Reason = outcomes.count(serial.Number) ? outcomes[serial.Number] : "abandoned";
    file.AppendDurably(LineOf(ToJson(record)));
    abandoned.push_back(serial.Number);
  }
  return abandoned;
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
    else if (std::optional<SerialRecord> serial = SerialRecordFromJson(object))
      contents.Serials.push_back(std::move(*serial));
    else if (std::optional<VoidRecord> voided = VoidRecordFromJson(object))
      contents.Voids.push_back(std::move(*voided));
    else if (std::optional<std::vector<std::string>> sent = SentIdsFromJson(object))
      contents.SentIds.insert(contents.SentIds.end(), sent->begin(), sent->end());
    else
      contents.DamagedLines.push_back(number);
  }
  return contents;
}
