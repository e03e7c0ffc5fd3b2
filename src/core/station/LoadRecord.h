// What a station keeps of each load that reached a device (its Identify was
// answered): one record, written when the load ends. In a JSON Lines journal
// a record is one object on one line:
//   {"record":"load","id":"...","time":"2026-12-09T10:41:07.125Z","station":"line2",
//    "port":"COM3","image":"app.rom","image_sha256":"...","image_bytes":98304,
//    "device_code":97,"reset_vector":"040200000000","outcome":"done","exit_code":0,
//    "message":"Загрузка окончена.","pages_sent":61,"finish_confirmed":true,
//    "seconds":26.154,"statistics":{...},"program":{"name":"korvalen-cli","version":"0.1"}}
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/LinkStatistics.h"
#include "loader/FirmwareImage.h"
#include "loader/LoadSequence.h"
#include "runtime/ProcessIdentity.h"

// Keys keep the order they were put in.
using Json = nlohmann::ordered_json;

struct LoadRecord {
  std::string Id;   // unique to this record, so a store can tell one sent twice
  std::string Time; // when the load ended: UTC, ISO 8601 with milliseconds and Z
  std::string Station;
  std::string Port; // "COM3", or the device path
  std::string Image;
  std::string ImageSha256;
  uint64_t ImageBytes = 0;
  uint16_t DeviceCode = 0;
  ResetVectorBytes ResetVector{};
  std::string Outcome; // "done", "rejected", "failed" or "cancelled"
  int ExitCode = 0;    // 0, 1, 2 or 3, as korvalen-cli ends such a load
  std::string Message; // the system's text, if one was shown
  int PagesSent = 0;
  bool FinishConfirmed = false;
  double Seconds = 0; // from the device's answer to the load's end
  LinkStatistics Statistics;
  uint64_t UnansweredPolls = 0;
  std::string ProgramName;
  std::string ProgramVersion;
  // The number written into the board (--serial), if one was.
  std::optional<uint64_t> Serial;
};

// A number handed out to one load: recorded before the first byte of the
// page that carries it is sent.
//   {"record":"serial","id":"...","time":"...","number":1042,"station":"line2",
//    "port":"COM3","owner":{"pid":4711,"started":"..."}}
struct SerialRecord {
  std::string Id;
  std::string Time;
  uint64_t Number = 0;
  std::string Station;
  std::string Port;
  ProcessIdentity Owner; // the process that took it
};

// A number whose load did not end done: never to be handed out again.
//   {"record":"void","id":"...","time":"...","number":1042,"station":"line2",
//    "port":"COM3","reason":"failed"}
struct VoidRecord {
  std::string Id;
  std::string Time;
  uint64_t Number = 0;
  std::string Station;
  std::string Port;
  // "rejected", "failed" or "cancelled" as the load ended; "abandoned" when
  // the process that took it ended without its load's end (killed, a power
  // cut), as found at the next start.
  std::string Reason;
};

// A spool's note that the server confirmed records (by their ids); the
// records themselves stay where they are until the spool is emptied.
//   {"record":"sent","time":"...","ids":["...","..."]}
Json SentJson(const std::vector<std::string> &ids);
std::optional<std::vector<std::string>> SentIdsFromJson(const nlohmann::json &object);

// The outcome's name and exit code of a load that reached a device; nothing
// for one that did not (no file, file not found).
std::optional<std::pair<std::string, int>> RecordedOutcome(LoadOutcome outcome);

// The line's counts as the events and the records give them: exchanges,
// failed_exchanges, attempts, retries, failed_attempts by reason,
// line_bytes_sent, line_bytes_received, unanswered_polls.
Json StatisticsJson(const LinkStatistics &statistics, uint64_t unansweredPolls);

Json ToJson(const LoadRecord &record);
Json ToJson(const SerialRecord &record);
Json ToJson(const VoidRecord &record);
std::optional<SerialRecord> SerialRecordFromJson(const nlohmann::json &object);
std::optional<VoidRecord> VoidRecordFromJson(const nlohmann::json &object);
// The record an object holds (read without keeping the keys' order, which is
// faster); nothing when it is not a load record or lacks a field of one.
std::optional<LoadRecord> LoadRecordFromJson(const nlohmann::json &object);

// 12 hex digits, upper case: "040200000000".
std::string ResetVectorHex(const ResetVectorBytes &bytes);
// "2026-12-09T10:41:07.125Z": the time now, in UTC.
std::string UtcTimeNow();
// 32 random hex digits.
std::string NewRecordId();
// The SHA-256 of the image as the load sends it: the bytes of the .rom file,
// or of the image packed from Intel HEX.
std::string ImageDigest(const FirmwareImage &image);
