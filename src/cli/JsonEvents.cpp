#include "cli/JsonEvents.h"

#include <chrono>
#include <ostream>

#include "cli/ExitCodes.h"
#include "cli/FrameTrace.h"

namespace {
const std::chrono::steady_clock::time_point gProgramStart = std::chrono::steady_clock::now();
// Milliseconds are what the line's waits are made of; finer is noise.
constexpr double kTimeResolution = 1000.0;

double Rounded(double seconds) {
  return static_cast<double>(static_cast<int64_t>(seconds * kTimeResolution + 0.5)) /
         kTimeResolution;
}
} // namespace

double SecondsSinceStart() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - gProgramStart).count();
}

const char *EndEventName(int exitCode) {
  if (exitCode == kExitDone)
    return "done";
  return exitCode == kExitCancelled ? "cancelled" : "failed";
}

JsonEvents::JsonEvents(std::ostream &out, std::string port) : FOut(out) {
  if (!port.empty())
    FPort = std::move(port);
}

void JsonEvents::Waiting() {
  Write("waiting");
}

void JsonEvents::Identified(const DeviceIdentity &identity) {
  Write("identified",
        {{"device_code", identity.DeviceCode},
         {"data_bytes", {identity.Data2, identity.Data3, identity.Data4, identity.Data5}},
         {"reset_vector", identity.ResetVector},
         {"accepted", IsAcceptedDevice(identity)}});
}

void JsonEvents::Page(int page, uint32_t address) {
  Write("page", {{"page", page}, {"address", address}});
}

void JsonEvents::Progress(int percent) {
  Write("progress", {{"percent", percent}});
}

void JsonEvents::Retry(uint8_t command, AttemptFailure failure, int attempt) {
  Write("retry", {{"command", CommandCodeName(command)},
                  {"reason", std::string(AttemptFailureName(failure))},
                  {"attempt", attempt}});
}

void JsonEvents::End(const RunEnd &end) {
  Json fields{{"exit_code", end.ExitCode},
              {"message", end.Message},
              {"elapsed", Rounded(end.Elapsed)},
              {"bytes_sent", static_cast<uint64_t>(end.PagesSent) * kPageSize},
              {"pages_sent", end.PagesSent}};
  if (end.FinishConfirmed)
    fields["finish_confirmed"] = *end.FinishConfirmed;
  if (end.CancelledBy)
    fields["cancelled_by"] = *end.CancelledBy;
  if (end.RecordId)
    fields["record"] = *end.RecordId;
  if (end.Serial)
    fields["serial"] = *end.Serial;
  fields["statistics"] =
      end.Statistics ? StatisticsJson(*end.Statistics, end.UnansweredPolls) : Json(nullptr);
  Write(EndEventName(end.ExitCode), fields);
}

void JsonEvents::Write(const std::string &event, const Json &fields) {
  Json object{{"port", FPort}, {"t", Rounded(SecondsSinceStart())}, {"event", event}};
  object.update(fields);
  // One line per event, handed on at once: a reader follows the run live.
  FOut << object.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n' << std::flush;
}
