// korvalen-station-bench: what a production station costs.
//
//   korvalen-station-bench BIN_DIR [--ports N] [--boards N] [--pages N]
//
// 1. A journal append (write and flush to disk), 1000 times: its median, 99th
//    percentile and slowest.
// 2. korvalen-cli report over a journal of 100 000 records.
// 1b. Handing out a serial number, 1000 times, as 1 is measured.
// 3. Repeat mode: N ports (8), each a korvalen-sim fixture of N boards (5)
//    with the wire modelled at 115200 bit/s, loaded by one korvalen-cli load
//    --repeat: from each board's arrival to its load's start (its first
//    Identify answered, both in the fixture's log), and the station's CPU
//    (korvalen-cli and every port's child, from /proc) while some port loads
//    and while every port waits.
// Prints Markdown tables. Exits 0 when every run completed (whatever the
// figures), 1 otherwise, 64 on a usage error.
#include "Child.h"
#include "Figures.h"
#include "LoadRun.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "station/FileJournal.h"

namespace {
using namespace bench;
using Clock = std::chrono::steady_clock;

constexpr int kAppends = 1000;
constexpr size_t kReportRecords = 100000;
constexpr int kReportRuns = 3;
constexpr double kAppendTargetMs = 20;
constexpr double kReportTargetSeconds = 2;
constexpr double kArrivalTargetSeconds = 0.3;
constexpr double kLoadingCpuTarget = 10;
constexpr double kWaitingCpuTarget = 1;
constexpr double kSerialTarget = 2;
constexpr std::chrono::milliseconds kSample{100};
constexpr std::chrono::seconds kWaitingSpan{30};
constexpr std::chrono::seconds kWarmUp{2};

LoadRecord Sample(size_t n) {
  LoadRecord record;
  record.Id = NewRecordId();
  record.Time = "2026-12-09T10:00:00.000Z";
  record.Station = "line" + std::to_string(n % 2 + 1);
  record.Port = "COM" + std::to_string(3 + n % 8);
  record.Image = "/srv/images/app.rom";
  record.ImageSha256 = std::string(64, 'a');
  record.ImageBytes = 24576;
  record.DeviceCode = 97;
  record.Outcome = n % 50 == 0 ? "failed" : "done";
  record.ExitCode = n % 50 == 0 ? 2 : 0;
  record.Message = "Загрузка окончена.";
  record.PagesSent = 13;
  record.FinishConfirmed = true;
  record.Seconds = 5.2 + static_cast<double>(n % 100) / 100;
  record.Statistics.Exchanges = 171;
  record.Statistics.Attempts = 171 + n % 3;
  record.ProgramName = "korvalen-cli";
  record.ProgramVersion = "0.1";
  return record;
}

// CPU seconds of `pid` and of every process below it, from /proc, each
// process's own.
void TreeCpuSeconds(pid_t pid, std::map<pid_t, double> &seconds) {
  static const double kTicks = static_cast<double>(sysconf(_SC_CLK_TCK));
  const std::string stat = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14)
        utime = std::stoull(field);
      if (i == 15)
        stime = std::stoull(field);
    }
    // A process that has ended is read no more: what it used stays counted.
    double &own = seconds[pid];
    own = std::max(own, static_cast<double>(utime + stime) / kTicks);
  }
  std::istringstream children(
      ReadFileText("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
  for (pid_t child; children >> child;)
    TreeCpuSeconds(child, seconds);
}

// Still running (an ended child stays a zombie until it is reaped).
bool Running(pid_t pid) {
  const std::string stat = ReadFileText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

struct Fixture {
  Child Sim;
  std::string Path;
  std::string Log;
};

// From each board's "board k in" to its first Identify reply, in seconds.
std::vector<double> Arrivals(const std::string &log) {
  static const std::regex kIn(R"(^\s*([0-9.]+) ms  dev->host  board ([0-9]+) in)");
  static const std::regex kAnswer(
      R"(^\s*([0-9.]+) ms  dev->host  board ([0-9]+): Identify #[0-9]+ reply)");
  std::map<int, double> in, answered;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, kIn))
      in[std::stoi(match[2])] = std::stod(match[1]);
    else if (std::regex_search(line, match, kAnswer) && !answered.count(std::stoi(match[2])))
      answered[std::stoi(match[2])] = std::stod(match[1]);
  }
  std::vector<double> seconds;
  for (const auto &[board, at] : in)
    if (answered.count(board))
      seconds.push_back((answered[board] - at) / 1000);
  return seconds;
}
} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvalen-station-bench BIN_DIR [--ports N] [--boards N] "
                         "[--pages N]\n");
    return 64;
  }
  const std::string bin = argv[1];
  int ports = 8, boards = 5, pages = 16;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (arg == "--ports")
      ports = value;
    else if (arg == "--boards")
      boards = value;
    else if (arg == "--pages")
      pages = value;
    else {
      std::fprintf(stderr, "korvalen-station-bench: unknown argument %s\n", arg.c_str());
      return 64;
    }
  }
  if (ports < 1 || ports > 32 || boards < 1 || pages < 1) {
    std::fprintf(stderr, "korvalen-station-bench: --ports 1-32, --boards and --pages 1 or more\n");
    return 64;
  }
  bool completed = true;
  try {
    ScratchDir scratch("korvalen-station-bench-");

    // 1. Appends, each flushed to disk before it returns.
    {
      FileJournal journal(scratch.File("appends.jsonl"));
      std::vector<double> ms;
      for (int i = 0; i < kAppends; ++i) {
        const LoadRecord record = Sample(static_cast<size_t>(i));
        const auto start = Clock::now();
        journal.Append(record);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
      const double p99 = Percentile(ms, 0.99);
      std::printf("### The journal\n\n");
      std::printf("| what | median | p99 | slowest | target |\n|---|---:|---:|---:|---|\n");
      std::printf("| append of one record, flushed to disk (%d) | %.2f ms | %.2f ms | %.2f ms | "
                  "p99 ≤ %.0f ms %s |\n",
                  kAppends, Percentile(ms, 0.5), p99, *std::max_element(ms.begin(), ms.end()),
                  kAppendTargetMs, Mark(p99 <= kAppendTargetMs));
    }

    // 1b. Handing out a number: lock, read what came since, append, flush.
    {
      FileJournal journal(scratch.File("serials.jsonl"));
      std::vector<double> ms;
      SerialRecord claim;
      claim.Station = "line2";
      claim.Port = "COM3";
      claim.Owner = ThisProcess();
      for (int i = 0; i < kAppends; ++i) {
        claim.Id = NewRecordId();
        claim.Time = UtcTimeNow();
        const auto start = Clock::now();
        journal.TakeSerial(claim, 1, 1, nullptr);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
      const double p99 = Percentile(ms, 0.99);
      std::printf("| a serial number handed out (lock, read on, append, flush; %d) | %.2f ms | "
                  "%.2f ms | %.2f ms | p99 ≤ %.0f ms %s |\n",
                  kAppends, Percentile(ms, 0.5), p99, *std::max_element(ms.begin(), ms.end()),
                  kAppendTargetMs, Mark(p99 <= kAppendTargetMs));
    }

    // 2. The report over 100 000 records.
    {
      const std::string path = scratch.File("large.jsonl");
      std::ofstream out(path, std::ios::binary);
      for (size_t i = 0; i < kReportRecords; ++i)
        out << ToJson(Sample(i)).dump() << '\n';
      out.close();
      std::vector<double> seconds;
      long rss = 0;
      for (int run = 0; run < kReportRuns; ++run) {
        Child report({bin + "/korvalen-cli", "report", path, "--by", "port"}, Streams{});
        const ChildResult result = report.Wait(std::chrono::minutes(5));
        if (!result.Exited || result.ExitCode != 0) {
          completed = false;
          std::printf("| report | failed |||\n");
          break;
        }
        seconds.push_back(result.WallSeconds);
        rss = std::max(rss, result.MaxRssKb);
      }
      if (!seconds.empty()) {
        const double median = Percentile(seconds, 0.5);
        std::printf("| `report --by port` over %zu records (%.0f MB), %d runs | %.2f s | | %.2f s "
                    "| ≤ %.0f s %s; peak RSS %.0f MB |\n",
                    kReportRecords, static_cast<double>(ReadFileBytes(path).size()) / 1e6,
                    kReportRuns, median, *std::max_element(seconds.begin(), seconds.end()),
                    kReportTargetSeconds, Mark(median <= kReportTargetSeconds),
                    static_cast<double>(rss) / 1024);
      }
    }

    // 3. Repeat mode over fixtures.
    const auto image = MakeImage(pages, 16, std::nullopt);
    const std::string imagePath = scratch.File("image.rom");
    WriteFileBytes(imagePath, image);
    const auto session = [&](const std::vector<std::string> &fixture, int count,
                             std::chrono::milliseconds span, double &cpuLoading, double &cpuWaiting,
                             std::vector<double> &arrivals,
                             const std::vector<std::string> &more = {}) {
      std::vector<Fixture> fixtures;
      for (int p = 0; p < ports; ++p) {
        const std::string log = scratch.File("fixture" + std::to_string(p) + ".log");
        std::vector<std::string> args = {
            bin + "/korvalen-sim", "--echo", "on", "--pace-baud", "115200", "--log", log};
        args.insert(args.end(), fixture.begin(), fixture.end());
        Child sim = Child::WithStdoutPipe(args, "");
        const auto path = sim.FirstLine(std::chrono::seconds(5));
        if (!path)
          throw std::runtime_error("korvalen-sim did not come up");
        fixtures.push_back({std::move(sim), *path, log});
      }
      std::remove(scratch.File("session.jsonl").c_str());
      std::vector<std::string> gang = {bin + "/korvalen-cli",
                                       "load",
                                       "--repeat",
                                       "--json",
                                       "--baud",
                                       "115200",
                                       "--journal",
                                       scratch.File("session.jsonl")};
      gang.insert(gang.end(), more.begin(), more.end());
      if (count > 0)
        gang.insert(gang.end(), {"--count", std::to_string(count)});
      for (const Fixture &f : fixtures)
        gang.insert(gang.end(), {"--device", f.Path});
      gang.push_back(imagePath);
      const std::string events = scratch.File("events.jsonl");
      Child station(gang, Streams{events, ""});
      // Every 100 ms: the station's CPU, and whether some port loads (a board
      // identified and not yet ended, as the events tell).
      double loadingCpu = 0, loadingWall = 0, waitingCpu = 0, waitingWall = 0;
      double lastCpu = 0;
      std::map<pid_t, double> perProcess;
      const auto started = Clock::now();
      auto last = started;
      std::map<std::string, bool> loading;
      size_t read = 0;
      const auto deadline = Clock::now() + span;
      while (Clock::now() < deadline && Running(station.Pid())) {
        std::this_thread::sleep_for(kSample);
        const std::string text = ReadFileText(events);
        bool any = false;
        for (size_t end; (end = text.find('\n', read)) != std::string::npos; read = end + 1) {
          const auto event = nlohmann::json::parse(text.substr(read, end - read), nullptr, false);
          if (!event.is_object() || !event["port"].is_string())
            continue;
          const std::string name = event.value("event", "");
          if (name == "identified")
            loading[event["port"]] = true;
          else if (name == "done" || name == "failed" || name == "cancelled")
            loading[event["port"]] = false;
        }
        for (const auto &[port, busy] : loading)
          any = any || busy;
        TreeCpuSeconds(station.Pid(), perProcess);
        double cpu = 0;
        for (const auto &[pid, used] : perProcess)
          cpu += used;
        const auto now = Clock::now();
        const double wall = std::chrono::duration<double>(now - last).count();
        // The first seconds start the ports' programs: neither waiting nor loading.
        if (now - started >= kWarmUp) {
          (any ? loadingCpu : waitingCpu) += cpu - lastCpu;
          (any ? loadingWall : waitingWall) += wall;
        }
        lastCpu = cpu;
        last = now;
      }
      station.Signal(SIGINT);
      station.Wait(std::chrono::seconds(60));
      for (Fixture &f : fixtures) {
        f.Sim.Signal(SIGINT);
        f.Sim.Wait(std::chrono::seconds(10));
        const auto seconds = Arrivals(ReadFileText(f.Log));
        arrivals.insert(arrivals.end(), seconds.begin(), seconds.end());
      }
      cpuLoading = loadingWall > 0 ? 100 * loadingCpu / loadingWall : 0;
      cpuWaiting = waitingWall > 0 ? 100 * waitingCpu / waitingWall : 0;
    };

    double loadingCpu = 0, waitingCpu = 0, idleCpu = 0, unused = 0;
    std::vector<double> arrivals, none;
    const std::vector<std::string> boardsIn = {
        "--boards", std::to_string(boards), "--gap", "1500", "--out-after", "200", "--stay",
        "60000"};
    // The done loads' own seconds, as their records give them.
    const auto loadSeconds = [&] {
      std::vector<double> seconds;
      for (const LoadRecord &record : FileJournal(scratch.File("session.jsonl")).Read().Loads)
        if (record.Outcome == "done")
          seconds.push_back(record.Seconds);
      return seconds;
    };
    session(boardsIn, ports * boards, std::chrono::minutes(10), loadingCpu, waitingCpu, arrivals);
    const std::vector<double> plain = loadSeconds();
    std::vector<double> serialArrivals;
    session(boardsIn, ports * boards, std::chrono::minutes(10), unused, unused, serialArrivals,
            {"--serial", "0x0100"});
    const std::vector<double> serialized = loadSeconds();
    // Every port waiting for a board that has not come yet.
    session({"--boards", "1", "--first-after", "600000"}, 0, kWaitingSpan, unused, idleCpu, none);
    if (arrivals.size() != static_cast<size_t>(ports * boards)) {
      completed = false;
      std::printf("\nRepeat mode: %zu of %d boards were loaded.\n", arrivals.size(),
                  ports * boards);
    }
    if (!arrivals.empty()) {
      const double median = Percentile(arrivals, 0.5);
      std::printf("\n### Repeat mode: %d ports, %d boards each, %d-page image, 115200 bit/s, "
                  "line mode 2\n\n",
                  ports, boards, pages);
      std::printf("| what | figure | target |\n|---|---:|---|\n");
      std::printf("| a board's arrival to its load's start, median (p95, slowest) | %.3f s "
                  "(%.3f, %.3f) | median ≤ %.1f s %s |\n",
                  median, Percentile(arrivals, 0.95),
                  *std::max_element(arrivals.begin(), arrivals.end()), kArrivalTargetSeconds,
                  Mark(median <= kArrivalTargetSeconds));
      std::printf(
          "| the station's CPU while some port loads | %.2f %% of a core | ≤ %.0f %% %s |\n",
          loadingCpu, kLoadingCpuTarget, Mark(loadingCpu <= kLoadingCpuTarget));
      std::printf("| the station's CPU between boards (some wait, none loads) | %.2f %% of a core "
                  "| |\n",
                  waitingCpu);
      std::printf("| the station's CPU while every port waits (%lld s) | %.2f %% of a core | ≤ "
                  "%.0f %% %s |\n",
                  static_cast<long long>(kWaitingSpan.count()), idleCpu, kWaitingCpuTarget,
                  Mark(idleCpu <= kWaitingCpuTarget));
      if (!plain.empty() && !serialized.empty()) {
        const double without = Percentile(plain, 0.5), with = Percentile(serialized, 0.5);
        const double more = 100 * (with / without - 1);
        std::printf("| a board's load, the median of its record's seconds, without and with "
                    "`--serial` | %.3f s, %.3f s (%+.2f %%; %zu and %zu loads) | within %.0f %% "
                    "%s |\n",
                    without, with, more, plain.size(), serialized.size(), kSerialTarget,
                    Mark(std::abs(more) <= kSerialTarget));
      }
    }
  } catch (const std::exception &failure) {
    std::fprintf(stderr, "korvalen-station-bench: %s\n", failure.what());
    return 1;
  }
  return completed ? 0 : 1;
}
