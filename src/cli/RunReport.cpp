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
      : Report(report), Inner(std::move(inner)) {}
  void ShowView() override { Inner->ShowView(); }
  void SetCancelVisible(bool visible) override { Inner->SetCancelVisible(visible); }
  void SetLabel(const std::string &text) override {
    if (text == SSwitchOnDevice)
      Report.Waiting();
    Inner->SetLabel(text);
  }
  void SetGaugeVisible(bool visible) override {
    // The transfer begins: the gauge starts from nothing.
    if (visible)
      Report.Progress(0);
    Inner->SetGaugeVisible(visible);
  }
  void SetGaugeValue(int percent) override {
    Report.Progress(percent);
    Inner->SetGaugeValue(percent);
  }
  bool IsCancelled() const override { return Inner->IsCancelled(); }

private:
  RunReport &Report;
  std::unique_ptr<ProgressView> Inner;
};

RunReport::RunReport(std::string port, bool json) {
  if (json)
    Events.emplace(std::cout, std::move(port));
  Previous = SetMessagePresenter(this);
}

RunReport::~RunReport() {
  SetMessagePresenter(Previous);
}

void RunReport::Watch(TZor_RS &link) {
  Link = &link;
  Counts = RunStatistics(link.Statistics);
  link.AttemptFailed = [this](uint8_t command, AttemptFailure failure, int attempt) {
    // Before the device answers, failed polls are the wait, not trouble.
    if (Events && Counts.HasAnswered() && attempt < kAttempts)
      Events->Retry(command, failure, attempt);
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
    if (Events && block == 0)
      Events->Page(page, FirmwareImage::PageAddress(page));
    if (beforeBlock)
      beforeBlock(page, block);
  };
}

void RunReport::Waiting() {
  if (Events)
    Events->Waiting();
}

void RunReport::Progress(int percent) {
  if (Events && percent != LastPercent)
    Events->Progress(percent);
  LastPercent = percent;
}

void RunReport::Warning(const std::string &text) {
  if (Events)
    Events->Write("warning", {{"message", text}});
}

void RunReport::Gone() {
  if (Events)
    Events->Write("gone");
}

void RunReport::Session(int boards, int done, int rejected, int failed, int cancelled, int exitCode,
                        const std::string &endedBy) {
  std::cerr << "Session: " << boards << (boards == 1 ? " board" : " boards") << ", " << done
            << " done, " << failed << " failed, " << rejected << " rejected, " << cancelled
            << " cancelled." << std::endl;
  if (Events)
    Events->Write("session", {{"boards", boards},
                              {"done", done},
                              {"failed", failed},
                              {"rejected", rejected},
                              {"cancelled", cancelled},
                              {"exit_code", exitCode},
                              {"ended_by", endedBy}});
}

void RunReport::PollFailed() {
  if (Link)
    Counts.PollFailed(Link->Statistics);
}

void RunReport::Identified(const DeviceIdentity &identity) {
  Counts.Answered();
  if (Events)
    Events->Identified(identity);
}

int RunReport::End(int exitCode, const std::string &message, const LoadResult *result,
                   std::optional<std::string> cancelledBy) {
  if (!Events)
    return exitCode;
  RunEnd end;
  end.ExitCode = exitCode;
  end.Message = message.empty() ? LastShown : message;
  end.Elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
  end.CancelledBy = std::move(cancelledBy);
  if (result) {
    end.PagesSent = result->PagesSent;
    if (result->Outcome == LoadOutcome::Done)
      end.FinishConfirmed = result->FinishConfirmed;
  }
  if (Link) {
    end.Statistics = Statistics();
    end.UnansweredPolls = Counts.UnansweredPolls();
  }
  Events->End(end);
  return exitCode;
}

LinkStatistics RunReport::Statistics() const {
  return Link ? Counts.Since(Link->Statistics) : LinkStatistics{};
}

std::string RunReport::StatisticsText() const {
  return ::StatisticsText(Statistics(), Counts.UnansweredPolls());
}

void RunReport::Error(const std::string &text) {
  LastShown = text;
  if (Previous)
    Previous->Error(text);
}

void RunReport::Info(const std::string &text) {
  LastShown = text;
  // Standard output carries the events alone.
  if (Events) {
    EndBarLine();
    std::cerr << text << std::endl;
  } else if (Previous) {
    Previous->Info(text);
  }
}

uint16_t RunReport::YesNo(const std::string &text) {
  return Previous ? Previous->YesNo(text) : kNo;
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
