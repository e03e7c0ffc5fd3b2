#include "cli/LoadOnePort.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>

#include "cli/Console.h"
#include "cli/EchoCheck.h"
#include "cli/ExitCodes.h"
#include "cli/FrameTrace.h"
#include "cli/ImageFile.h"
#include "cli/RunReport.h"
#include "cli/Signals.h"
#include "cli/TerminalProgress.h"
#include "loader/LoadSequence.h"
#include "runtime/Exceptions.h"
#include "runtime/HostName.h"
#include "runtime/ProgramPath.h"
#include "station/SpooledJournal.h"
#include "station/Station.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr const char *kProgramName = "korvalen-cli";
constexpr const char *kProgramVersion = KORVALEN_VERSION;

void PrintSummary(const BoardEnd &end, const RunReport &report) {
  const double seconds = end.Seconds;
  const size_t bytes = static_cast<size_t>(end.Result.PagesSent) * kPageSize;
  char line[200];
  std::snprintf(line, sizeof line,
                "Sent %zu bytes (%d pages) in %.2f s: %.0f bytes/s; %llu retries.", bytes,
                end.Result.PagesSent, seconds, seconds > 0 ? bytes / seconds : 0.0,
                static_cast<unsigned long long>(report.Statistics().Retries()));
  Results(report) << line << " Line: " << report.StatisticsText() << "." << std::endl;
}

// The exit code of one load, with what it says at its end; its event goes
// out with report.End.
int EndOfLoad(const BoardEnd &end, RunReport &report, bool waitExpired) {
  const LoadResult &result = end.Result;
  if (end.Identity && result.Outcome != LoadOutcome::Rejected)
    PrintSummary(end, report);
  switch (result.Outcome) {
  case LoadOutcome::Done:
    if (result.PagesSent == 0)
      std::cerr << "Warning: no page was sent: the image holds no page to send." << std::endl;
    if (!result.FinishConfirmed)
      std::cerr << "Note: the device did not confirm Finish (it may already be running its "
                   "program)."
                << std::endl;
    return report.End(kExitDone, {}, &result);
  case LoadOutcome::Rejected:
    return report.End(kExitRejected, {}, &result);
  case LoadOutcome::Failed:
    return report.End(kExitLinkFailure, {}, &result);
  case LoadOutcome::Cancelled: {
    const std::string text = waitExpired ? "No answer within the wait." : "Cancelled.";
    std::cerr << text << std::endl;
    if (!end.Identity)
      PrintWaitStatistics(report);
    return report.End(kExitCancelled, text, &result, waitExpired ? "wait" : "interrupt");
  }
  case LoadOutcome::FileNotFound:
  case LoadOutcome::NoFile:
    return report.End(kExitFileProblem, {}, &result);
  }
  return report.End(kExitLinkFailure, {}, &result);
}

// A record the journal would not take: said in full, so that it is not lost.
void SayUnwritten(const BoardEnd &end) {
  std::cerr << end.JournalFailure << " The record of this load, which it does not hold:\n"
            << ToJson(*end.Record).dump(-1, ' ', false, Json::error_handler_t::replace)
            << std::endl;
}

const char *SessionEndName(SessionEnd end) {
  switch (end) {
  case SessionEnd::OneLoad:
  case SessionEnd::Stopped:
    return "stopped";
  case SessionEnd::Interrupted:
    return "interrupted";
  case SessionEnd::HungUp:
    return "hung_up";
  case SessionEnd::JournalFailed:
    return "journal";
  case SessionEnd::FileProblem:
    return "file";
  }
  return "stopped";
}

// The session's exit code: the highest of its loads', or what ended it.
int SessionExitCode(const SessionSummary &summary) {
  switch (summary.End) {
  case SessionEnd::JournalFailed:
    return kExitOutputFailed;
  case SessionEnd::FileProblem:
    return std::max<int>(summary.ExitCode, kExitFileProblem);
  case SessionEnd::HungUp:
    return std::max<int>(summary.ExitCode, kExitLinkFailure);
  default:
    return summary.ExitCode;
  }
}
} // namespace

namespace {
// A reason as the end of a sentence: "... on that socket?", "... is full.".
std::string Sentence(const std::string &text) {
  return !text.empty() && (text.back() == '.' || text.back() == '?' || text.back() == '!')
             ? text
             : text + ".";
}
} // namespace

std::unique_ptr<Journal> OpenLoadJournal(const LoadOptions &load,
                                         std::function<void(const ServerStatus &)> told) {
  JournalOptions options;
  options.Spool = load.Spool;
  const std::string spool =
      Utf8FromPath(load.Spool.empty() ? DefaultSpoolPath() : PathFromUtf8(load.Spool));
  const std::string server = load.Journal;
  options.ServerChanged = [server, spool, told, away = false](const ServerStatus &status) mutable {
    if (!status.Reachable)
      std::cerr << "The journal's server " << server
                << " cannot take records now: " << Sentence(status.Reason) << " "
                << (status.Waiting == 0 ? std::string("Records")
                                        : std::to_string(status.Waiting) +
                                              (status.Waiting == 1 ? " record" : " records"))
                << " wait in the spool " << spool << ", to be sent when it can." << std::endl;
    else if (away)
      std::cerr << "The journal's server " << server << " takes records again: " << status.Sent
                << (status.Sent == 1 ? " record" : " records") << " sent from the spool."
                << std::endl;
    else
      std::cerr << status.Sent << (status.Sent == 1 ? " record" : " records") << " from the spool "
                << spool << " sent to the journal's server " << server << "." << std::endl;
    away = !status.Reachable;
    if (told)
      told(status);
  };
  return OpenJournal(load.Journal, options);
}

void AnnounceSerials(Journal &journal, const SerialLayout &layout) {
  std::vector<uint64_t> abandoned;
  std::optional<uint64_t> highest;
  try {
    abandoned = journal.VoidAbandoned(HostName());
    highest = journal.HighestSerial();
  } catch (const EServerUnavailable &failure) {
    std::cerr << "Serial numbers from " << journal.Name()
              << ": its server cannot hand one out now: " << Sentence(failure.what())
              << " No board is loaded until it can." << std::endl;
    return;
  }
  if (!abandoned.empty()) {
    std::cerr << "Serial numbers handed out to loads that never ended (a crash, a power cut), "
                 "now void:";
    for (uint64_t number : abandoned)
      std::cerr << " " << number;
    std::cerr << "." << std::endl;
  }
  const uint64_t next = highest ? std::max(*highest + layout.Step, layout.Start) : layout.Start;
  std::cerr << "Serial numbers from " << journal.Name() << ": the next is " << next;
  if (highest && layout.Start < *highest + layout.Step)
    std::cerr << " (--serial-start " << layout.Start << " is passed over: " << *highest
              << " is handed out already)";
  std::cerr << "." << std::endl;
}

int LoadOnePort(const LinkOptions &options, const LoadOptions &load) {
  std::optional<RunReport> report;
  report.emplace(PortName(options), options.Json);
  // The file and the journal are checked before any port is opened.
  std::optional<FirmwareImage> packed;
  if (const int refused = CheckLoadFile(load.File, load.DeviceCode, *report, packed);
      refused != kExitDone)
    return report->End(refused);
  std::unique_ptr<Journal> journal;
  if (!load.Journal.empty()) {
    try {
      journal = OpenLoadJournal(load, [&report](const ServerStatus &status) {
        report->Server(status.Reachable ? "back" : "away", status.Reason, status.Waiting,
                       status.Sent);
      });
      journal->CheckWritable();
      if (load.Layout && !load.InGang)
        AnnounceSerials(*journal, *load.Layout);
    } catch (const EJournalError &failure) {
      std::cerr << failure.what() << std::endl;
      return report->End(kExitOutputFailed, failure.what());
    }
  }
  EchoCheck echoCheck(static_cast<uint8_t>(options.LineMode));
  std::string problem;
  auto link = OpenLink(options, echoCheck, problem);
  if (!link)
    return report->End(kExitLinkFailure, problem);

  const WaitLimit limit(WaitSeconds(options));
  bool waitExpired = false;
  TerminalProgress *progress = nullptr;
  std::pair<std::string, uint64_t> facts;
  bool firstBoard = true;
  int loadExitCode = kExitDone;
  int boardsDone = 0;

  StationSetup setup;
  setup.Records = journal.get();
  setup.Repeat = load.Repeat;
  setup.Serial = load.Layout;
  setup.GoneAfter = std::chrono::milliseconds(
      static_cast<int64_t>(std::strtod(load.Gone.c_str(), nullptr) * 1000 + 0.5));
  setup.Template.Station = HostName();
  setup.Template.Port = PortName(options);
  std::error_code noPath;
  const std::filesystem::path image = std::filesystem::absolute(PathFromUtf8(load.File), noPath);
  setup.Template.Image = noPath ? load.File : Utf8FromPath(image);
  setup.Template.ProgramName = kProgramName;
  setup.Template.ProgramVersion = kProgramVersion;
  setup.Interrupted = Interrupted;
  setup.StopRequested = [&] {
    return Interrupted() || (load.Count > 0 && boardsDone >= load.Count) ||
           (load.InGang && StandardInputEnded());
  };
  setup.ImageFacts = [&] { return facts; };
  setup.NextLoad = [&]() -> std::optional<LoadRequest> {
    if (!firstBoard)
      report.emplace(PortName(options), options.Json);
    firstBoard = false;
    LoadRequest request;
    request.FileName = load.File;
    request.Image = packed;
    // The record names what this board gets: the file as it stands now (the
    // load reads it again, as it always does).
    FirmwareImage image;
    if (!packed && ReadImage(load.File, image) != kExitDone)
      return std::nullopt;
    const FirmwareImage &sent = packed ? *packed : image;
    facts = {ImageDigest(sent), sent.Size()};
    report->Watch(*link);
    request.CreateProgress = [&] {
      // With --json and no terminal to draw on, the events carry the progress.
      auto view = std::make_unique<TerminalProgress>(limit, &waitExpired,
                                                     options.Json && !StandardErrorIsTerminal());
      progress = view.get();
      return view;
    };
    request.Observer.Identified = [&](const DeviceIdentity &identity) {
      if (options.Verbose)
        PrintIdentity(identity, Results(*report));
    };
    if (options.Verbose) {
      request.Observer.BeforeWritePage = [](int page, uint32_t address) {
        EndBarLine();
        std::fprintf(stderr, "page %d at program address 0x%06X\n", page, address);
      };
    }
    // The gauge skips pages 2 to 4 without a step; done is all of it.
    request.Observer.BeforeFinish = [&] { progress->SetGaugeValue(100); };
    report->Follow(request);
    return request;
  };

  StationObserver observer;
  observer.StateChanged = [&](StationState state) {
    if (state != StationState::NoServer)
      return;
    std::cerr << "Serial numbers need the journal's server, which cannot hand one out now: no "
                 "board is loaded on this port until it can (asked again every "
              << kServerRetry.count() << " s)." << std::endl;
    report->Server("no_numbers", {}, 0, 0);
  };
  observer.BoardEnded = [&](const BoardEnd &end) {
    if (!end.JournalFailure.empty())
      SayUnwritten(end);
    else if (end.Record && journal)
      report->Recorded(end.Record->Id);
    // In a session, a board that never came ends nothing worth an event.
    if (load.Repeat && !end.Identity)
      return;
    loadExitCode = EndOfLoad(end, *report, waitExpired);
    if (end.Result.Outcome == LoadOutcome::Done)
      ++boardsDone;
  };
  observer.BoardGone = [&] { report->Gone(); };
  observer.SerialWritten = [&](uint64_t number, int page, const PageBytes &bytes) {
    report->Serial(number);
    if (!options.Verbose)
      return;
    EndBarLine();
    std::cerr << "serial " << number << " into page " << page << ", "
              << DescribeSerialPlace(*load.Layout) << ":\n";
    // The page's bytes as they are sent, 24 a line (8 instruction words).
    for (size_t at = 0; at < bytes.size(); at += 24)
      std::cerr << "  " << HexBytes(bytes.data() + at, 24) << "\n";
    std::cerr.flush();
  };

  SessionSummary summary;
  try {
    summary = RunStation(*link, setup, observer);
  } catch (const EImageTooLarge &failure) {
    ShowError(failure.what());
    return report->End(kExitRejected);
  } catch (const EInOutError &failure) {
    ShowError(failure.what());
    return report->End(kExitFileProblem);
  } catch (const EJournalError &failure) {
    std::cerr << failure.what() << std::endl;
    return report->End(kExitOutputFailed, failure.what());
  }
  if (!load.Repeat) {
    if (summary.End == SessionEnd::FileProblem)
      return report->End(kExitFileProblem);
    // Stopped while its number's server was away: no board was loaded.
    if (summary.Boards == 0 && summary.End == SessionEnd::Interrupted) {
      std::cerr << "Cancelled." << std::endl;
      return report->End(kExitCancelled, "Cancelled.", nullptr, "interrupt");
    }
    return summary.End == SessionEnd::JournalFailed ? kExitOutputFailed : loadExitCode;
  }
  const int code = SessionExitCode(summary);
  if (summary.End == SessionEnd::HungUp)
    std::cerr << "The device's line is gone (an adapter pulled, or the device's side closed): "
                 "this port stops."
              << std::endl;
  report->Session(summary.Boards, summary.Done, summary.Rejected, summary.Failed, summary.Cancelled,
                  code, SessionEndName(summary.End));
  return code;
}
