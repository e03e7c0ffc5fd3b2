#include "cli/LoadOnePort.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>

#include "cli/Console.h"
#include "cli/EchoCheck.h"
#include "cli/ExitCodes.h"
#include "cli/ImageFile.h"
#include "cli/RunReport.h"
#include "cli/Signals.h"
#include "cli/TerminalProgress.h"
#include "loader/LoadSequence.h"
#include "runtime/Exceptions.h"

namespace {
// What one load did, for its summary line.
struct LoadTally {
  std::optional<std::chrono::steady_clock::time_point> Started;
};

void PrintSummary(const LoadResult &result, const LoadTally &tally, const RunReport &report) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - *tally.Started).count();
  const size_t bytes = static_cast<size_t>(result.PagesSent) * kPageSize;
  char line[200];
  std::snprintf(line, sizeof line,
                "Sent %zu bytes (%d pages) in %.2f s: %.0f bytes/s; %llu retries.", bytes,
                result.PagesSent, seconds, seconds > 0 ? bytes / seconds : 0.0,
                static_cast<unsigned long long>(report.Statistics().Retries()));
  Results(report) << line << " Line: " << report.StatisticsText() << "." << std::endl;
}

} // namespace

int LoadOnePort(const LinkOptions &options, const std::string &file, int deviceCode) {
  RunReport report(PortName(options), options.Json);
  LoadRequest request;
  request.FileName = file;
  if (const int refused = CheckLoadFile(file, deviceCode, report, request.Image);
      refused != kExitDone)
    return report.End(refused);
  EchoCheck echoCheck(static_cast<uint8_t>(options.LineMode));
  std::string problem;
  auto link = OpenLink(options, echoCheck, problem);
  if (!link)
    return report.End(kExitLinkFailure, problem);
  report.Watch(*link);
  const WaitLimit limit(WaitSeconds(options));
  bool waitExpired = false;
  TerminalProgress *progress = nullptr;
  LoadTally tally;
  request.CreateProgress = [&] {
    // With --json and no terminal to draw on, the events carry the progress.
    auto view = std::make_unique<TerminalProgress>(limit, &waitExpired,
                                                   options.Json && !StandardErrorIsTerminal());
    progress = view.get();
    return view;
  };
  request.Observer.Identified = [&](const DeviceIdentity &identity) {
    tally.Started = std::chrono::steady_clock::now();
    if (options.Verbose)
      PrintIdentity(identity, Results(report));
  };
  if (options.Verbose) {
    request.Observer.BeforeWritePage = [](int page, uint32_t address) {
      EndBarLine();
      std::fprintf(stderr, "page %d at program address 0x%06X\n", page, address);
    };
  }
  // The gauge skips pages 2 to 4 without a step; done is all of it.
  request.Observer.BeforeFinish = [&] { progress->SetGaugeValue(100); };
  report.Follow(request);
  LoadResult result;
  try {
    result = RunLoadSequence(*link, request);
  } catch (const EImageTooLarge &failure) {
    ShowError(failure.what());
    return report.End(kExitRejected);
  } catch (const EInOutError &failure) {
    ShowError(failure.what());
    return report.End(kExitFileProblem);
  }
  const bool transferred = tally.Started && result.Outcome != LoadOutcome::Rejected;
  if (transferred)
    PrintSummary(result, tally, report);
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
    if (!tally.Started)
      PrintWaitStatistics(report);
    return report.End(kExitCancelled, text, &result, waitExpired ? "wait" : "interrupt");
  }
  case LoadOutcome::FileNotFound:
  case LoadOutcome::NoFile:
    return report.End(kExitFileProblem, {}, &result);
  }
  return report.End(kExitLinkFailure, {}, &result);
}
