#include "station/LoadRecord.h"

#include <chrono>
#include <cstdio>
#include <random>

#include "station/Sha256.h"

namespace {
constexpr const char *kRecordKind = "load";
constexpr const char *kSerialKind = "serial";
constexpr const char *kVoidKind = "void";
constexpr const char *kSentKind = "sent";

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int &year, unsigned &month, unsigned &day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shifted = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  month = shifted < 10 ? shifted + 3 : shifted - 9;
  year = static_cast<int>(yearOfEra) + static_cast<int>(era) * 400 + (month <= 2 ? 1 : 0);
}

// Every field of a load record must be there, of its type.
template <class T> bool Take(const nlohmann::json &object, const char *key, T &value) {
  const auto it = object.find(key);
  if (it == object.end())
    return false;
  try {
    value = it->get<T>();
    return true;
  } catch (const nlohmann::json::exception &) {
    return false;
  }
}

bool ParseResetVector(const std::string &text, ResetVectorBytes &bytes) {
  if (text.size() != 2 * bytes.size())
    return false;
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned value = 0;
    char extra = 0;
    if (std::sscanf(text.substr(2 * i, 2).c_str(), "%2x%c", &value, &extra) != 1)
      return false;
    bytes[i] = static_cast<uint8_t>(value);
  }
  return true;
}
} // namespace

std::optional<std::pair<std::string, int>> RecordedOutcome(LoadOutcome outcome) {
  switch (outcome) {
  case LoadOutcome::Done:
    return std::pair<std::string, int>{"done", 0};
  case LoadOutcome::Rejected:
    return std::pair<std::string, int>{"rejected", 1};
  case LoadOutcome::Failed:
    return std::pair<std::string, int>{"failed", 2};
  case LoadOutcome::Cancelled:
    return std::pair<std::string, int>{"cancelled", 3};
  case LoadOutcome::NoFile:
  case LoadOutcome::FileNotFound:
    break;
  }
  return std::nullopt;
}

Json StatisticsJson(const LinkStatistics &statistics, uint64_t unansweredPolls) {
  Json failed = Json::object();
  for (size_t i = 0; i < kAttemptFailureKinds; ++i)
    failed[std::string(AttemptFailureName(static_cast<AttemptFailure>(i)))] =
        statistics.FailedAttempts[i];
  return Json{{"exchanges", statistics.Exchanges},
              {"failed_exchanges", statistics.FailedExchanges},
              {"attempts", statistics.Attempts},
              {"retries", statistics.Attempts - statistics.Exchanges},
              {"failed_attempts", failed},
              {"line_bytes_sent", statistics.BytesSent},
              {"line_bytes_received", statistics.BytesReceived},
              {"unanswered_polls", unansweredPolls}};
}

Json ToJson(const LoadRecord &record) {
  return Json{{"record", kRecordKind},
              {"id", record.Id},
              {"time", record.Time},
              {"station", record.Station},
              {"port", record.Port},
              {"image", record.Image},
              {"image_sha256", record.ImageSha256},
              {"image_bytes", record.ImageBytes},
              {"device_code", record.DeviceCode},
              {"reset_vector", ResetVectorHex(record.ResetVector)},
              {"outcome", record.Outcome},
              {"exit_code", record.ExitCode},
              {"message", record.Message},
              {"pages_sent", record.PagesSent},
              {"finish_confirmed", record.FinishConfirmed},
              {"seconds", record.Seconds},
              {"statistics", StatisticsJson(record.Statistics, record.UnansweredPolls)},
              {"program", {{"name", record.ProgramName}, {"version", record.ProgramVersion}}},
              {"serial", record.Serial ? Json(*record.Serial) : Json()}};
}

Json ToJson(const SerialRecord &record) {
  return Json{{"record", kSerialKind},
              {"id", record.Id},
              {"time", record.Time},
              {"number", record.Number},
              {"station", record.Station},
              {"port", record.Port},
              {"owner", {{"pid", record.Owner.Pid}, {"started", record.Owner.Started}}}};
}

Json ToJson(const VoidRecord &record) {
  return Json{{"record", kVoidKind},     {"id", record.Id},           {"time", record.Time},
              {"number", record.Number}, {"station", record.Station}, {"port", record.Port},
              {"reason", record.Reason}};
}

Json SentJson(const std::vector<std::string> &ids) {
  return Json{{"record", kSentKind}, {"time", UtcTimeNow()}, {"ids", ids}};
}

std::optional<std::vector<std::string>> SentIdsFromJson(const nlohmann::json &object) {
  if (!object.is_object() || object.value("record", "") != kSentKind)
    return std::nullopt;
  std::vector<std::string> ids;
  if (!Take(object, "ids", ids))
    return std::nullopt;
  return ids;
}

std::optional<SerialRecord> SerialRecordFromJson(const nlohmann::json &object) {
  if (!object.is_object() || object.value("record", "") != kSerialKind)
    return std::nullopt;
  SerialRecord record;
  if (!Take(object, "id", record.Id) || !Take(object, "time", record.Time) ||
      !Take(object, "number", record.Number) || !Take(object, "station", record.Station) ||
      !Take(object, "port", record.Port))
    return std::nullopt;
  if (const auto owner = object.find("owner"); owner != object.end() && owner->is_object()) {
    Take(*owner, "pid", record.Owner.Pid);
    Take(*owner, "started", record.Owner.Started);
  }
  return record;
}

std::optional<VoidRecord> VoidRecordFromJson(const nlohmann::json &object) {
  if (!object.is_object() || object.value("record", "") != kVoidKind)
    return std::nullopt;
  VoidRecord record;
  if (!Take(object, "id", record.Id) || !Take(object, "time", record.Time) ||
      !Take(object, "number", record.Number) || !Take(object, "station", record.Station) ||
      !Take(object, "port", record.Port) || !Take(object, "reason", record.Reason))
    return std::nullopt;
  return record;
}

std::optional<LoadRecord> LoadRecordFromJson(const nlohmann::json &object) {
  if (!object.is_object() || object.value("record", "") != kRecordKind)
    return std::nullopt;
  LoadRecord record;
  std::string resetVector;
  const bool complete =
      Take(object, "id", record.Id) && Take(object, "time", record.Time) &&
      Take(object, "station", record.Station) && Take(object, "port", record.Port) &&
      Take(object, "image", record.Image) && Take(object, "image_sha256", record.ImageSha256) &&
      Take(object, "image_bytes", record.ImageBytes) &&
      Take(object, "device_code", record.DeviceCode) && Take(object, "reset_vector", resetVector) &&
      ParseResetVector(resetVector, record.ResetVector) &&
      Take(object, "outcome", record.Outcome) && Take(object, "exit_code", record.ExitCode) &&
      Take(object, "message", record.Message) && Take(object, "pages_sent", record.PagesSent) &&
      Take(object, "finish_confirmed", record.FinishConfirmed) &&
      Take(object, "seconds", record.Seconds);
  if (!complete)
    return std::nullopt;
  if (const auto statistics = object.find("statistics");
      statistics != object.end() && statistics->is_object()) {
    LinkStatistics &counts = record.Statistics;
    Take(*statistics, "exchanges", counts.Exchanges);
    Take(*statistics, "failed_exchanges", counts.FailedExchanges);
    Take(*statistics, "attempts", counts.Attempts);
    Take(*statistics, "line_bytes_sent", counts.BytesSent);
    Take(*statistics, "line_bytes_received", counts.BytesReceived);
    Take(*statistics, "unanswered_polls", record.UnansweredPolls);
    if (const auto failed = statistics->find("failed_attempts");
        failed != statistics->end() && failed->is_object())
      for (size_t i = 0; i < kAttemptFailureKinds; ++i)
        Take(*failed, std::string(AttemptFailureName(static_cast<AttemptFailure>(i))).c_str(),
             counts.FailedAttempts[i]);
  }
  if (const auto serial = object.find("serial"); serial != object.end() && !serial->is_null()) {
    uint64_t number = 0;
    if (!Take(object, "serial", number))
      return std::nullopt;
    record.Serial = number;
  }
  if (const auto program = object.find("program");
      program != object.end() && program->is_object()) {
    Take(*program, "name", record.ProgramName);
    Take(*program, "version", record.ProgramVersion);
  }
  return record;
}

std::string ResetVectorHex(const ResetVectorBytes &bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

std::string UtcTimeNow() {
  using namespace std::chrono;
  const auto now = time_point_cast<milliseconds>(system_clock::now());
  const int64_t milliseconds = now.time_since_epoch().count();
  int64_t days = milliseconds / 86'400'000;
  int64_t rest = milliseconds % 86'400'000;
  if (rest < 0) {
    rest += 86'400'000;
    --days;
  }
  int year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", year, month, day,
                static_cast<int>(rest / 3'600'000), static_cast<int>(rest / 60'000 % 60),
                static_cast<int>(rest / 1000 % 60), static_cast<int>(rest % 1000));
  return text;
}

std::string NewRecordId() {
  // From the system's generator at every call: a process made by fork keeps
  // no state of its parent's that could repeat an id.
  std::random_device random;
  char text[40];
  std::snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(), random(), random());
  return text;
}

std::string ImageDigest(const FirmwareImage &image) {
  return Sha256Hex(image.Data().data(), image.Data().size());
}
