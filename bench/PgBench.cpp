// korvalen-pg-bench: the journal in a PostgreSQL server of the bench's own
// (a cluster in a temporary folder, a Unix socket, the server's default
// durability: every commit flushed to disk).
//
//   korvalen-pg-bench BIN_DIR
//
// 1. Taking a serial number as 2 stations × 8 ports do: 16 processes, each a
//    port taking a number every 500 ms (a board every half second per port,
//    faster than any fixture), 60 each; then the same 16 back to back. The
//    median, 99th percentile and slowest of each take (lock, read the
//    highest, insert, commit).
// 2. korvalen-cli report over 1 000 000 load records in the server (and as
//    many numbers handed out): --by port and --by day, 3 runs each, and
//    --serial N, the board one number went into.
// Prints Markdown tables. Exits 0 when every run completed (whatever the
// figures), 1 otherwise, 64 on a usage error.
#include "Child.h"
#include "Figures.h"
#include "LoadRun.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "station/pg/PgConnection.h"
#include "station/pg/PgJournal.h"
#include "station_pg/PgServer.h"

namespace {
using namespace bench;
using Clock = std::chrono::steady_clock;

constexpr int kStations = 2, kPortsPerStation = 8;
constexpr int kTakesPaced = 60, kTakesBackToBack = 100;
constexpr std::chrono::milliseconds kBoardEvery{500};
constexpr double kTakeTargetMs = 20;
constexpr int kReportRecords = 1000000;
constexpr int kReportRuns = 3;
constexpr double kReportTargetSeconds = 5;

// 16 processes taking numbers at once, each `takes` times, `pause` apart;
// every take's milliseconds.
std::vector<double> Takes(const std::string &conninfo, const ScratchDir &scratch, int takes,
                          std::chrono::milliseconds pause) {
  std::vector<pid_t> children;
  for (int port = 0; port < kStations * kPortsPerStation; ++port) {
    const std::string file = scratch.File("takes" + std::to_string(port) + ".txt");
    const pid_t pid = fork();
    if (pid == 0) {
      int code = 0;
      try {
        PgJournal journal(conninfo);
        journal.CheckWritable();
        std::ofstream out(file);
        SerialRecord claim;
        claim.Station = "line" + std::to_string(port / kPortsPerStation + 1);
        claim.Port = "COM" + std::to_string(3 + port % kPortsPerStation);
        claim.Owner = ThisProcess();
        // Not all in step: the ports' boards come when they come.
        std::this_thread::sleep_for(pause * port / (kStations * kPortsPerStation));
        for (int i = 0; i < takes; ++i) {
          claim.Id = NewRecordId();
          claim.Time = UtcTimeNow();
          const auto start = Clock::now();
          journal.TakeSerial(claim, 1, 1, nullptr);
          out << std::chrono::duration<double, std::milli>(Clock::now() - start).count() << '\n';
          std::this_thread::sleep_for(pause);
        }
      } catch (const std::exception &failure) {
        std::fprintf(stderr, "korvalen-pg-bench: %s\n", failure.what());
        code = 1;
      }
      _exit(code);
    }
    children.push_back(pid);
  }
  bool failed = false;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    failed = failed || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  }
  if (failed)
    throw std::runtime_error("a taker failed");
  std::vector<double> ms;
  for (int port = 0; port < kStations * kPortsPerStation; ++port) {
    std::ifstream in(scratch.File("takes" + std::to_string(port) + ".txt"));
    for (double value; in >> value;)
      ms.push_back(value);
  }
  return ms;
}

// A million loads of 8 ports and two stations over 29 days, and a number for
// each: the rows a line's year of records would be, made in the server.
void Fill(PgConnection &connection) {
  LinkStatistics statistics;
  statistics.Exchanges = 171;
  statistics.Attempts = 171;
  const std::string json = StatisticsJson(statistics, 0).dump();
  // In batches: no statement may keep the server busier than a connection
  // waits for its answer.
  constexpr int kBatch = 100000;
  for (int first = 1; first <= kReportRecords; first += kBatch) {
    const std::string range =
        std::to_string(first) + ", " + std::to_string(first + kBatch - 1) + ") i";
    connection.Exec(
        "INSERT INTO korvalen.loads SELECT md5(i::text), timestamptz '2026-12-01' + i * interval "
        "'2.5 seconds', 'line' || (i % 2 + 1), 'COM' || (3 + i % 8), '/srv/images/app' || (i % "
        "3) || '.rom', repeat('a', 64), 24576, 97, '040200000000', CASE WHEN i % 50 = 0 THEN "
        "'failed' ELSE 'done' END, CASE WHEN i % 50 = 0 THEN 2 ELSE 0 END, 'Загрузка окончена.', "
        "13, true, 5.2 + (i % 100) / 100.0, jsonb_set('" +
        json +
        "'::jsonb, '{failed_attempts,checksum}', to_jsonb(i % 3)), 'korvalen-cli', '0.1', i "
        "FROM generate_series(" +
        range);
    connection.Exec("INSERT INTO korvalen.serials SELECT i, md5('s' || i), timestamptz "
                    "'2026-12-01' + i * interval '2.5 seconds', 'line' || (i % 2 + 1), 'COM' || "
                    "(3 + i % 8), 4711, 'boot/1' FROM generate_series(" +
                    range);
  }
  connection.Exec("VACUUM ANALYZE korvalen.loads");
  connection.Exec("VACUUM ANALYZE korvalen.serials");
}
} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvalen-pg-bench BIN_DIR\n");
    return 64;
  }
  const std::string bin = argv[1];
  if (const std::string missing = pgtest::Missing(); !missing.empty()) {
    std::fprintf(stderr, "korvalen-pg-bench: %s\n", missing.c_str());
    return 1;
  }
  bool completed = true;
  try {
    ScratchDir scratch("korvalen-pg-bench-");
    pgtest::PgServer server;

    std::printf("#### The journal in PostgreSQL\n\n");
    std::printf("| what | median | p99 | slowest | target |\n|---|---:|---:|---:|---|\n");
    for (const bool paced : {true, false}) {
      const std::string database = server.NewDatabase(paced ? "paced" : "backtoback");
      const std::vector<double> ms =
          Takes(database, scratch, paced ? kTakesPaced : kTakesBackToBack,
                paced ? kBoardEvery : std::chrono::milliseconds(0));
      const double p99 = Percentile(ms, 0.99);
      std::printf("| a serial number taken, %d stations × %d ports, %s (%zu takes) | %.2f ms | "
                  "%.2f ms | %.2f ms | %s |\n",
                  kStations, kPortsPerStation, paced ? "each port every 500 ms" : "back to back",
                  ms.size(), Percentile(ms, 0.5), p99, *std::max_element(ms.begin(), ms.end()),
                  paced ? (std::string("p99 ≤ 20 ms ") + Mark(p99 <= kTakeTargetMs)).c_str() : "");
    }

    const std::string database = server.NewDatabase("report");
    {
      PgJournal(database).CheckWritable();
      PgConnection connection(database, nullptr);
      Fill(connection);
    }
    const auto report = [&](const std::vector<std::string> &args, const std::string &what) {
      std::vector<double> seconds;
      long rss = 0;
      for (int run = 0; run < kReportRuns; ++run) {
        std::vector<std::string> line = {bin + "/korvalen-cli", "report", "--journal", database};
        line.insert(line.end(), args.begin(), args.end());
        Child child(line, Streams{scratch.File("report.txt"), ""});
        const ChildResult result = child.Wait(std::chrono::minutes(5));
        if (!result.Exited || result.ExitCode != 0) {
          completed = false;
          std::printf("| %s | failed |||\n", what.c_str());
          return;
        }
        seconds.push_back(result.WallSeconds);
        rss = std::max(rss, result.MaxRssKb);
      }
      const double median = Percentile(seconds, 0.5);
      std::printf("| %s, %d runs | %.2f s | | %.2f s | ≤ %.0f s %s; korvalen-cli's peak RSS %.0f "
                  "MB |\n",
                  what.c_str(), kReportRuns, median,
                  *std::max_element(seconds.begin(), seconds.end()), kReportTargetSeconds,
                  Mark(median <= kReportTargetSeconds), static_cast<double>(rss) / 1024);
    };
    report({"--by", "port"}, "`report --by port` over 1000000 records in the server");
    report({"--by", "day"}, "`report --by day` over the same");
    report({"--serial", "104233"}, "`report --serial 104233`: the board one number went into");
  } catch (const std::exception &failure) {
    std::fprintf(stderr, "korvalen-pg-bench: %s\n", failure.what());
    return 1;
  }
  return completed ? 0 : 1;
}
