#include "cli/RunReport.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <utility>

#include "cli/FrameTrace.h"
#include "cli/TerminalProgress.h"

// Tells the report what the load shows, and shows it on the real view.
class RunReport::ReportingProgress : public ProgressView {
public:
  ReportingProgress(RunReport &report, std::unique_ptr<ProgressView> inner)
      : FReport(report), FInner(std::move(inner)) {}
  void ShowView() override { FInner->ShowView(); }
  void SetCancelVisible(bool visible) override { FInner->SetCancelVisible(visible); }
  void SetLabel(const std::string &text) override {
    if (text == SSwitchOnDevice)
      FReport.Waiting();
    FInner->SetLabel(text);
  }
  void SetGaugeVisible(bool visible) override {
    // The transfer begins: the gauge starts from nothing.
    if (visible)
      FReport.Progress(0);
    FInner->SetGaugeVisible(visible);
  }
  void SetGaugeValue(int percent) override {
    FReport.Progress(percent);
    FInner->SetGaugeValue(percent);
  }
  bool IsCancelled() const override { return FInner->IsCancelled(); }

private:
  RunReport &FReport;
  std::unique_ptr<ProgressView> FInner;
};

RunReport::RunReport(std::string port, bool json) {
  if (json)
    FEvents.emplace(std::cout, std::move(port));
  FPrevious = SetMessagePresenter(this);
}

RunReport::~RunReport() {
  SetMessagePresenter(FPrevious);
}

void RunReport::Watch(TZor_RS &link) {
  FLink = &link;
  FCounts = RunStatistics(link.Statistics);
  link.AttemptFailed = [this](uint8_t command, AttemptFailure failure, int attempt) {
    // Before the device answers, failed polls are the wait, not trouble.
    // After the end, the polls that ask whether the board is still there.
    if (FEvents && FCounts.HasAnswered() && !FEnded && attempt < kAttempts)
      FEvents->Retry(command, failure, attempt);
  };
}

void RunReport::Follow(LoadRequest &request) {
  auto create = std::move(request.CreateProgress);
  request.CreateProgress = [this, create] {
    return std::make_unique<ReportingProgress>(*this, create());
  };
  auto identified = std::move(request.Observer.Identified);
  request.Observer.Identified = [this, identified](const DeviceIdentity &identity) {
    Identified(identity);
    if (identified)
      identified(identity);
  };
  auto pollFailed = std::move(request.Observer.PollFailed);
  request.Observer.PollFailed = [this, pollFailed] {
    PollFailed();
    if (pollFailed)
      pollFailed();
  };
  // Pages 2 to 4 are skipped without a step: done is all of it.
  auto beforeFinish = std::move(request.Observer.BeforeFinish);
  request.Observer.BeforeFinish = [this, beforeFinish] {
    Progress(100);
    if (beforeFinish)
      beforeFinish();
  };
  auto beforeBlock = std::move(request.Observer.BeforeWriteBlock);
  request.Observer.BeforeWriteBlock = [this, beforeBlock](int page, int block) {
    if (FEvents && block == 0)
      FEvents->Page(page, FirmwareImage::PageAddress(page));
    if (beforeBlock)
      beforeBlock(page, block);
  };
}

void RunReport::Waiting() {
  if (FEvents)
    FEvents->Waiting();
}

void RunReport::Progress(int percent) {
  if (FEvents && percent != FLastPercent)
    FEvents->Progress(percent);
  FLastPercent = percent;
}

void RunReport::Warning(const std::string &text) {
  if (FEvents)
    FEvents->Write("warning", {{"message", text}});
}

void RunReport::Server(const std::string &state, const std::string &reason, size_t waiting,
                       size_t sent) {
  if (!FEvents)
    return;
  Json fields = {{"state", state}};
  if (state == "away")
    fields.update({{"reason", reason}, {"waiting", waiting}});
  else if (state == "back")
    fields.update({{"sent", sent}, {"waiting", waiting}});
  FEvents->Write("server", fields);
}

void RunReport::Gone() {
  if (FEvents)
    FEvents->Write("gone");
}

void RunReport::Session(int boards, int done, int rejected, int failed, int cancelled, int exitCode,
                        const std::string &endedBy) {
  std::cerr << "Session: " << boards << (boards == 1 ? " board" : " boards") << ", " << done
            << " done, " << failed << " failed, " << rejected << " rejected, " << cancelled
            << " cancelled." << std::endl;
  if (FEvents)
    FEvents->Write("session", {{"boards", boards},
                               {"done", done},
                               {"failed", failed},
                               {"rejected", rejected},
                               {"cancelled", cancelled},
                               {"exit_code", exitCode},
                               {"ended_by", endedBy}});
}

void RunReport::PollFailed() {
  if (FLink)
    FCounts.PollFailed(FLink->Statistics);
}

void RunReport::Identified(const DeviceIdentity &identity) {
  FCounts.Answered();
  if (FEvents)
    FEvents->Identified(identity);
}

int RunReport::End(int exitCode, const std::string &message, const LoadResult *result,
                   std::optional<std::string> cancelledBy) {
  if (!FEvents)
    return exitCode;
  RunEnd end;
  end.ExitCode = exitCode;
  end.Message = message.empty() ? FLastShown : message;
  end.Elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStarted).count();
  end.CancelledBy = std::move(cancelledBy);
  end.RecordId = FRecordId;
  end.Serial = FSerial;
  FEnded = true;
  if (result) {
    end.PagesSent = result->PagesSent;
    if (result->Outcome == LoadOutcome::Done)
      end.FinishConfirmed = result->FinishConfirmed;
  }
  if (FLink) {
    end.Statistics = Statistics();
    end.UnansweredPolls = FCounts.UnansweredPolls();
  }
  FEvents->End(end);
  return exitCode;
}

LinkStatistics RunReport::Statistics() const {
  return FLink ? FCounts.Since(FLink->Statistics) : LinkStatistics{};
}

std::string RunReport::StatisticsText() const {
  return ::StatisticsText(Statistics(), FCounts.UnansweredPolls());
}

void RunReport::Error(const std::string &text) {
  FLastShown = text;
  if (FPrevious)
    FPrevious->Error(text);
}

void RunReport::Info(const std::string &text) {
  FLastShown = text;
  // Standard output carries the events alone.
  if (FEvents) {
    EndBarLine();
    std::cerr << text << std::endl;
  } else if (FPrevious) {
    FPrevious->Info(text);
  }
}

uint16_t RunReport::YesNo(const std::string &text) {
  return FPrevious ? FPrevious->YesNo(text) : kNo;
}

namespace {
// "1 exchange", "2 exchanges".
std::string Count(uint64_t n, const std::string &noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}
} // namespace

std::string StatisticsText(const LinkStatistics &s, uint64_t unansweredPolls) {
  std::string text = Count(s.Exchanges, "exchange") + ", " + Count(s.Attempts, "attempt");
  if (const uint64_t failed = s.FailedAttemptsTotal(); failed > 0) {
    text += " (" + std::to_string(failed) + " failed:";
    const char *separator = " ";
    for (size_t i = 0; i < kAttemptFailureKinds; ++i) {
      if (s.FailedAttempts[i] == 0)
        continue;
      std::string name(AttemptFailureName(static_cast<AttemptFailure>(i)));
      std::replace(name.begin(), name.end(), '_', ' ');
      text += separator + name + " " + std::to_string(s.FailedAttempts[i]);
      separator = ", ";
    }
    text += ")";
  }
  text += ", " + std::to_string(s.BytesSent) + " bytes sent, " + std::to_string(s.BytesReceived) +
          " received";
  if (unansweredPolls > 0)
    text += "; " + Count(unansweredPolls, "unanswered poll") + " before the device answered";
  return text;
}

std::ostream &Results(const RunReport &report) {
  return report.WritesJson() ? std::cerr : std::cout;
}

void PrintIdentity(const DeviceIdentity &identity, std::ostream &out) {
  char code[32];
  std::snprintf(code, sizeof code, "%u (0x%02X)", identity.DeviceCode, identity.DeviceCode);
  char byte4[8];
  std::snprintf(byte4, sizeof byte4, "0x%02X", identity.Data4);
  out << "Device code: " << code << "\n"
      << "Data byte 4: " << byte4 << "\n"
      << "Reset vector: " << HexBytes(identity.ResetVector.data(), identity.ResetVector.size())
      << "\n"
      << "Accepted: " << (IsAcceptedDevice(identity) ? "yes" : "no") << std::endl;
}

void PrintWaitStatistics(const RunReport &report) {
  if (report.Statistics().Exchanges > 0)
    std::cerr << "Line: " << report.StatisticsText() << "." << std::endl;
}
