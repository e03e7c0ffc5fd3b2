#include "cli/RunReport.h"

#include <algorithm>
#include <iostream>
#include <utility>

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
    if (visible && Report.Json)
      Report.Json->Progress(0);
    Inner->SetGaugeVisible(visible);
  }
  void SetGaugeValue(int percent) override {
    ++Report.PagesConfirmed;
    if (Report.Json)
      Report.Json->Progress(percent);
    Inner->SetGaugeValue(percent);
  }
  bool IsCancelled() const override { return Inner->IsCancelled(); }

private:
  RunReport &Report;
  std::unique_ptr<ProgressView> Inner;
};

RunReport::RunReport(std::string port, bool json) {
  if (json)
    Json.emplace(std::cout, std::move(port));
  Previous = SetMessagePresenter(this);
}

RunReport::~RunReport() {
  SetMessagePresenter(Previous);
}

void RunReport::Watch(TZor_RS &link) {
  Link = &link;
  link.AttemptFailed = [this](uint8_t command, AttemptFailure failure, int attempt) {
    // Before the device answers, failed polls are the wait, not trouble.
    if (Json && Answered && attempt < kAttempts)
      Json->Retry(command, failure, attempt);
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
  auto beforeBlock = std::move(request.Observer.BeforeWriteBlock);
  request.Observer.BeforeWriteBlock = [this, beforeBlock](int page, int block) {
    if (Json && block == 0)
      Json->Page(page, FirmwareImage::PageAddress(page));
    if (beforeBlock)
      beforeBlock(page, block);
  };
}

void RunReport::Waiting() {
  if (Json)
    Json->Waiting();
}

void RunReport::PollFailed() {
  ++Polls;
  if (Link)
    AtAnswer = Link->Statistics;
}

void RunReport::Identified(const DeviceIdentity &identity) {
  Answered = true;
  if (Json)
    Json->Identified(identity);
}

int RunReport::End(int exitCode, const std::string &message, const LoadResult *result,
                   std::optional<std::string> cancelledBy) {
  if (!Json)
    return exitCode;
  RunEnd end;
  end.ExitCode = exitCode;
  end.Message = message.empty() ? LastShown : message;
  end.Elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
  end.CancelledBy = std::move(cancelledBy);
  end.PagesSent = PagesConfirmed;
  (void)result;
  if (Link) {
    end.Statistics = Statistics();
    end.UnansweredPolls = Polls;
  }
  Json->End(end);
  return exitCode;
}

LinkStatistics RunReport::Statistics() const {
  if (!Link)
    return {};
  // A device that never answered: how its polls failed is the whole story.
  return Answered ? Link->Statistics.Since(AtAnswer) : Link->Statistics;
}

std::string RunReport::StatisticsText() const {
  return ::StatisticsText(Statistics(), Polls);
}

void RunReport::Error(const std::string &text) {
  LastShown = text;
  if (Previous)
    Previous->Error(text);
}

void RunReport::Info(const std::string &text) {
  LastShown = text;
  if (Previous)
    Previous->Info(text);
}

uint16_t RunReport::YesNo(const std::string &text) {
  return Previous ? Previous->YesNo(text) : kNo;
}

std::string StatisticsText(const LinkStatistics &s, uint64_t unansweredPolls) {
  std::string text =
      std::to_string(s.Exchanges) + " exchanges, " + std::to_string(s.Attempts) + " attempts";
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
    text += "; " + std::to_string(unansweredPolls) + " unanswered polls before the device answered";
  return text;
}
