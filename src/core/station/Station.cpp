#include "station/Station.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/Hooks.h"

#include "station/RunStatistics.h"

namespace {
using Clock = std::chrono::steady_clock;

// How often a board that still answers is asked again whether it is there.
constexpr std::chrono::milliseconds kPresentPollPause{100};
// How often a station waiting for the journal's server looks at Ctrl-C.
constexpr std::chrono::milliseconds kStopPollPause{100};

bool Asked(const std::function<bool()> &question) {
  return question && question();
}

uint64_t HangUps(const TZor_RS &link) {
  return link.Statistics.Failed(AttemptFailure::HungUp);
}

// The boxes a load shows, held until its record is on disk: nothing says a
// load has ended before the journal holds it.
class HeldMessages final : public MessagePresenter {
public:
  HeldMessages() : FPrevious(SetMessagePresenter(this)) {}
  ~HeldMessages() override {
    Release();
    SetMessagePresenter(FPrevious);
  }
  HeldMessages(const HeldMessages &) = delete;
  HeldMessages &operator=(const HeldMessages &) = delete;

  void Error(const std::string &text) override { FHeld.emplace_back(true, text); }
  void Info(const std::string &text) override { FHeld.emplace_back(false, text); }
  // A question cannot wait: it is asked at once.
  uint16_t YesNo(const std::string &text) override {
    return FPrevious ? FPrevious->YesNo(text) : kNo;
  }
  // Shows what was held, in order, through the presenter of before.
  void Release() {
    SetMessagePresenter(FPrevious);
    for (const auto &[error, text] : std::exchange(FHeld, {})) {
      if (error)
        ShowError(text);
      else
        ShowInfo(text);
    }
    SetMessagePresenter(this);
  }

private:
  MessagePresenter *FPrevious;
  std::vector<std::pair<bool, std::string>> FHeld;
};

// The load's own view, which also gives up the wait for a board when the
// session is to stop or the port has gone.
class StationView final : public ProgressView {
public:
  StationView(std::unique_ptr<ProgressView> inner, std::function<bool()> giveUpWaiting,
              const bool &loading, Journal *records)
      : FInner(std::move(inner)), FGiveUpWaiting(std::move(giveUpWaiting)), FLoading(loading),
        FRecords(records) {}
  void ShowView() override { FInner->ShowView(); }
  void SetCancelVisible(bool visible) override { FInner->SetCancelVisible(visible); }
  void SetLabel(const std::string &text) override { FInner->SetLabel(text); }
  void SetGaugeVisible(bool visible) override { FInner->SetGaugeVisible(visible); }
  void SetGaugeValue(int percent) override { FInner->SetGaugeValue(percent); }
  bool IsCancelled() const override {
    // Between two polls for a board: what waits for the journal's server may go.
    if (!FLoading && FRecords)
      FRecords->Idle();
    return FInner->IsCancelled() || (!FLoading && FGiveUpWaiting());
  }

private:
  std::unique_ptr<ProgressView> FInner;
  std::function<bool()> FGiveUpWaiting;
  const bool &FLoading;
  Journal *FRecords;
};

// One board's load, followed as it goes.
class Board {
public:
  Board(TZor_RS &link, const StationSetup &setup, const StationObserver &observer)
      : FLink(link), FSetup(setup), FObserver(observer), FStatistics(link.Statistics),
        FHangUpsBefore(HangUps(link)) {}

  bool HungUp() const { return HangUps(FLink) > FHangUpsBefore; }

  BoardEnd Run(LoadRequest request) {
    Follow(request);
    BoardEnd end;
    end.Result = RunLoadSequence(FLink, request);
    end.Identity = FIdentity;
    if (FIdentity)
      end.Seconds = std::chrono::duration<double>(Clock::now() - FAnswered).count();
    end.Statistics = FStatistics.Since(FLink.Statistics);
    end.UnansweredPolls = FStatistics.UnansweredPolls();
    end.HungUp = HungUp();
    end.Serial = FSerial;
    end.JournalFailure = FJournalFailure;
    return end;
  }

private:
  void Follow(LoadRequest &request) {
    auto pollFailed = std::move(request.Observer.PollFailed);
    request.Observer.PollFailed = [this, pollFailed] {
      FStatistics.PollFailed(FLink.Statistics);
      if (pollFailed)
        pollFailed();
    };
    auto identified = std::move(request.Observer.Identified);
    request.Observer.Identified = [this, identified](const DeviceIdentity &identity) {
      FIdentity = identity;
      FAnswered = Clock::now();
      FStatistics.Answered();
      FLoading = true;
      if (FObserver.StateChanged)
        FObserver.StateChanged(StationState::Loading);
      if (identified)
        identified(identity);
    };
    if (FSetup.Serial)
      request.PreparePage = [this, prepare = std::move(request.PreparePage)](int page,
                                                                             PageBytes &bytes) {
        WriteNumber(page, bytes);
        if (prepare)
          prepare(page, bytes);
      };
    auto create = std::move(request.CreateProgress);
    request.CreateProgress = [this, create] {
      return std::make_unique<StationView>(
          create(), [this] { return Asked(FSetup.StopRequested) || HungUp(); }, FLoading,
          FSetup.Records);
    };
  }

  // Takes the board's number from the journal before the first byte of the
  // page that carries it goes out, and writes it into every page it falls in.
  void WriteNumber(int page, PageBytes &bytes) {
    const SerialLayout &layout = *FSetup.Serial;
    if (!FValue && page == SerialPage(layout)) {
      SerialRecord claim;
      claim.Id = NewRecordId();
      claim.Time = UtcTimeNow();
      claim.Station = FSetup.Template.Station;
      claim.Port = FSetup.Template.Port;
      claim.Owner = ThisProcess();
      try {
        FSerial = FSetup.Records->TakeSerial(claim, layout.Start, layout.Step, [&](uint64_t n) {
          return EncodeSerial(layout, n).has_value();
        });
      } catch (const EServerUnavailable &) {
        // The server went away since the station asked it: this load fails
        // without a number, and its record waits in the spool.
        throw;
      } catch (const EJournalError &failure) {
        FJournalFailure = failure.what();
        throw;
      }
      FValue = EncodeSerial(layout, *FSerial);
      WriteSerial(layout, *FValue, page, bytes);
      if (FObserver.SerialWritten)
        FObserver.SerialWritten(*FSerial, page, bytes);
      return;
    }
    if (FValue)
      WriteSerial(layout, *FValue, page, bytes);
  }

  TZor_RS &FLink;
  const StationSetup &FSetup;
  const StationObserver &FObserver;
  RunStatistics FStatistics;
  uint64_t FHangUpsBefore;
  bool FLoading = false;
  std::optional<DeviceIdentity> FIdentity;
  Clock::time_point FAnswered{};
  std::optional<uint64_t> FSerial;
  std::optional<std::vector<uint8_t>> FValue;
  std::string FJournalFailure;
};

LoadRecord RecordOf(const StationSetup &setup, const BoardEnd &end,
                    const std::pair<std::string, int> &outcome) {
  LoadRecord record = setup.Template;
  record.Id = NewRecordId();
  record.Time = UtcTimeNow();
  if (setup.ImageFacts)
    std::tie(record.ImageSha256, record.ImageBytes) = setup.ImageFacts();
  record.DeviceCode = end.Identity->DeviceCode;
  record.ResetVector = end.Identity->ResetVector;
  record.Outcome = outcome.first;
  record.ExitCode = outcome.second;
  record.Message = end.Result.Message;
  record.PagesSent = end.Result.PagesSent;
  record.FinishConfirmed = end.Result.FinishConfirmed;
  // Milliseconds are what the line's waits are made of; finer is noise.
  record.Seconds = std::round(end.Seconds * 1000) / 1000;
  record.Statistics = end.Statistics;
  record.UnansweredPolls = end.UnansweredPolls;
  record.Serial = end.Serial;
  return record;
}

VoidRecord VoidOf(const StationSetup &setup, uint64_t number, const std::string &reason) {
  VoidRecord record;
  record.Id = NewRecordId();
  record.Time = UtcTimeNow();
  record.Number = number;
  record.Station = setup.Template.Station;
  record.Port = setup.Template.Port;
  record.Reason = reason;
  return record;
}

void Count(SessionSummary &summary, const LoadRecord &record) {
  ++summary.Boards;
  if (record.Outcome == "done")
    ++summary.Done;
  else if (record.Outcome == "rejected")
    ++summary.Rejected;
  else if (record.Outcome == "failed")
    ++summary.Failed;
  else
    ++summary.Cancelled;
  summary.ExitCode = std::max(summary.ExitCode, record.ExitCode);
}

enum class Departure { Gone, Stopped, HungUp };

// Asks the board whether it is there until it has not answered for
// GoneAfter in a row.
Departure WaitUntilGone(TZor_RS &link, const StationSetup &setup, uint64_t hangUpsBefore) {
  Clock::time_point lastAnswer = Clock::now();
  for (;;) {
    if (Asked(setup.StopRequested) || Asked(setup.Interrupted))
      return Departure::Stopped;
    if (setup.Records)
      setup.Records->Idle();
    bool answered = false;
    link.ReplyTimeout = kIdentifyTimeoutMs;
    try {
      link.SendCommand(kBootloaderAddress, kCommandIdentify);
      answered = true;
    } catch (...) {
    }
    if (HangUps(link) > hangUpsBefore)
      return Departure::HungUp;
    if (answered) {
      lastAnswer = Clock::now();
      std::this_thread::sleep_for(kPresentPollPause);
    } else if (Clock::now() - lastAnswer >= setup.GoneAfter) {
      return Departure::Gone;
    }
  }
}
// Until the journal can hand out a number; false when the session is to
// stop first.
bool WaitForNumbers(const StationSetup &setup, const std::function<void(StationState)> &changed) {
  bool told = false;
  while (!setup.Records->CanHandOutNumbers()) {
    if (!told)
      changed(StationState::NoServer);
    told = true;
    for (const auto next = Clock::now() + kServerRetry; Clock::now() < next;) {
      if (Asked(setup.StopRequested) || Asked(setup.Interrupted))
        return false;
      std::this_thread::sleep_for(kStopPollPause);
    }
  }
  return true;
}
} // namespace

SessionSummary RunStation(TZor_RS &link, const StationSetup &setup,
                          const StationObserver &observer) {
  if (setup.Records)
    setup.Records->CheckWritable();
  const auto changed = [&observer](StationState state) {
    if (observer.StateChanged)
      observer.StateChanged(state);
  };
  SessionSummary summary;
  for (;;) {
    if (summary.Boards > 0 && Asked(setup.StopRequested)) {
      summary.End = SessionEnd::Stopped;
      return summary;
    }
    if (setup.Serial && setup.Records && !WaitForNumbers(setup, changed)) {
      summary.End = Asked(setup.Interrupted) ? SessionEnd::Interrupted : SessionEnd::Stopped;
      return summary;
    }
    std::optional<LoadRequest> request = setup.NextLoad();
    if (!request) {
      summary.End = SessionEnd::FileProblem;
      return summary;
    }
    changed(StationState::Waiting);
    Board board(link, setup, observer);
    std::optional<HeldMessages> held;
    if (setup.Records)
      held.emplace();
    BoardEnd end = board.Run(std::move(*request));
    const auto outcome = RecordedOutcome(end.Result.Outcome);
    if (end.Identity && outcome) {
      end.Record = RecordOf(setup, end, *outcome);
      if (setup.Records && end.JournalFailure.empty()) {
        try {
          setup.Records->Append(*end.Record);
          // A number whose board did not end done is never handed out again.
          if (end.Serial && outcome->first != "done")
            setup.Records->Append(VoidOf(setup, *end.Serial, outcome->first));
        } catch (const EJournalError &failure) {
          end.JournalFailure = failure.what();
        }
      }
      Count(summary, *end.Record);
    }
    held.reset();
    if (observer.BoardEnded)
      observer.BoardEnded(end);

    if (!end.JournalFailure.empty())
      summary.End = SessionEnd::JournalFailed;
    else if (end.HungUp)
      summary.End = SessionEnd::HungUp;
    else if (!end.Identity)
      summary.End = SessionEnd::Stopped; // given up while waiting: nothing to record
    else if (end.Result.Outcome == LoadOutcome::Cancelled)
      summary.End = SessionEnd::Interrupted;
    else if (!setup.Repeat)
      summary.End = SessionEnd::OneLoad;
    else {
      changed(StationState::TakeOut);
      const Departure departure = WaitUntilGone(link, setup, HangUps(link));
      if (departure == Departure::Gone) {
        if (observer.BoardGone)
          observer.BoardGone();
        continue;
      }
      summary.End = departure == Departure::HungUp ? SessionEnd::HungUp : SessionEnd::Stopped;
    }
    return summary;
  }
}
