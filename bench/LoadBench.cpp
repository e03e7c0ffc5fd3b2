// korvalen-bench: how close a load comes to what the line allows, and what
// the loader costs in CPU and memory while it runs.
//
//   korvalen-bench BIN_DIR [--pages N] [--only BAUD:MODE|adapter]
//
// --only runs that one load (or the adapter table) and nothing else, for
// looking into one figure.
// Runs the real korvalen-cli against korvalen-sim with the wire model on, and
// prints Markdown tables. Exits 0 when every run completed (whatever the
// figures), 1 when a run failed, 64 on a usage error.
#include "Child.h"
#include "Figures.h"
#include "LoadRun.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

constexpr int kDefaultPages = 64;
constexpr int kBigImagePages = 512;
constexpr double kBitsPerByte = 11;     // start, 8 data, 2 stop
constexpr double kPauseSeconds = 0.020; // before each exchange in line modes 1 and 2
// Frame sizes of one load, request + reply.
constexpr int kIdentifyBytes = 6 + 18;
constexpr int kWriteBlockBytes = 135 + 6;
constexpr int kWritePageBytes = 9 + 6;
constexpr int kFinishBytes = 6 + 6;
constexpr int kBlocksPerPage = 12;
constexpr double kSilentWaitSeconds = 10;
constexpr double kCpuTargetPercent = 3;
constexpr double kSilentTargetPercent = 2;
constexpr double kMemoryTargetMb = 16;

struct Case {
  uint32_t Baud;
  int LineMode;
  bool Echo;
  double RatioTarget;
};

int SentPages(int pages) {
  int sent = 0;
  for (int p = 1; p <= pages; ++p)
    sent += (p < 2 || p > 4) ? 1 : 0;
  return sent;
}

struct LineBudget {
  long Bytes = 0;
  int Exchanges = 0;
};

LineBudget Budget(int pages) {
  const int sent = SentPages(pages);
  LineBudget b;
  b.Bytes = kIdentifyBytes +
            static_cast<long>(sent) * (kBlocksPerPage * kWriteBlockBytes + kWritePageBytes) +
            kFinishBytes;
  b.Exchanges = 1 + sent * (kBlocksPerPage + 1) + 1;
  return b;
}

double LowerBound(const LineBudget &budget, uint32_t baud, int lineMode) {
  const double wire = static_cast<double>(budget.Bytes) * kBitsPerByte / baud;
  return wire + (lineMode != 0 ? budget.Exchanges * kPauseSeconds : 0.0);
}

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text;
}

std::string LoadAverage() {
  std::string text = ReadFileText("/proc/loadavg");
  // "0.52 0.58 0.59 1/467 12345": the three averages.
  size_t cut = 0;
  for (int fields = 0; fields < 3 && cut != std::string::npos; ++fields)
    cut = text.find(' ', cut + (fields ? 1 : 0));
  return cut == std::string::npos ? Trim(text) : text.substr(0, cut);
}

std::string CpuModel() {
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("model name", 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos)
        return Trim(line.substr(colon + 2));
    }
  }
  return "unknown";
}

std::string Machine() {
  utsname name{};
  uname(&name);
  char text[512];
  std::snprintf(text, sizeof text, "%ld CPUs (nproc), %s, Linux %s %s",
                sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str(), name.release, name.machine);
  return text;
}

std::string Describe(const LoadOutcome &run) {
  if (!run.Started)
    return run.Problem;
  char text[128];
  if (run.Loader.TimedOut)
    std::snprintf(text, sizeof text, "timed out after %.0f s", run.Loader.WallSeconds);
  else if (!run.Loader.Exited)
    std::snprintf(text, sizeof text, "killed by signal %d", run.Loader.Signal);
  else
    std::snprintf(text, sizeof text, "exit %d", run.Loader.ExitCode);
  return text + std::string(": ") + Trim(run.Stderr);
}

// A load that did not end with the whole image in the device measured nothing.
bool Completed(const LoadOutcome &run, const std::vector<unsigned char> &expected) {
  return run.Started && run.Loader.Exited && run.Loader.ExitCode == 0 && run.Memory == expected;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvalen-bench BIN_DIR [--pages N] [--only BAUD:MODE]\n");
    return 64;
  }
  const std::string bin = argv[1];
  int pages = kDefaultPages;
  std::string only;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--pages" && i + 1 < argc) {
      pages = std::atoi(argv[++i]);
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr, "korvalen-bench: unknown argument %s\n", arg.c_str());
      return 64;
    }
  }
  if (pages < 5) {
    std::fprintf(stderr, "korvalen-bench: --pages must be at least 5\n");
    return 64;
  }

  bool allCompleted = true;
  try {
    ScratchDir scratch("korvalen-bench-");
    const std::string loadAverageBefore = LoadAverage();
    const auto image = MakeImage(pages, 2024, std::nullopt);
    const std::string imagePath = scratch.File("image.rom");
    WriteFileBytes(imagePath, image);
    const auto expected = ExpectedMemory(image);
    const LineBudget budget = Budget(pages);

    std::printf("### Load of a %d-page image (%d pages sent, no trailer)\n\n", pages,
                SentPages(pages));
    std::printf("Lower bound: %ld bytes on the line (requests + replies) x 11 bits / baud, plus "
                "20 ms before each of the %d exchanges in line mode 2.\n\n",
                budget.Bytes, budget.Exchanges);
    if (only != "adapter") {
      std::printf("| baud | line | wall s | bound s | wall/bound | target | loader CPU s | CPU "
                  "%% of wall | peak RSS MB |\n");
      std::printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|\n");
    }
    const std::vector<Case> cases = {
        {19200, 2, true, 1.02},   {19200, 0, false, 1.02}, {115200, 2, true, 1.05},
        {115200, 0, false, 1.05}, {921600, 2, true, 1.15}, {921600, 0, false, 1.15},
    };
    for (const auto &c : cases) {
      if (!only.empty() && only != std::to_string(c.Baud) + ":" + std::to_string(c.LineMode))
        continue;
      LoadSetup setup;
      setup.BinDir = bin;
      setup.WorkDir = scratch.Path();
      setup.ImagePath = imagePath;
      setup.LineMode = c.LineMode;
      setup.Baud = c.Baud;
      setup.Echo = c.Echo;
      setup.PaceBaud = c.Baud;
      setup.Limit = std::chrono::milliseconds(600000);
      const LoadOutcome run = RunLoad(setup);
      const char *line = c.LineMode == 2 ? "mode 2, echo" : "mode 0, no echo";
      if (!Completed(run, expected)) {
        allCompleted = false;
        std::printf("| %u | %s | failed: %s |||||||\n", c.Baud, line, Describe(run).c_str());
        std::fflush(stdout);
        continue;
      }
      const double bound = LowerBound(budget, c.Baud, c.LineMode);
      const double wall = run.Loader.WallSeconds;
      const double cpu = run.Loader.UserSeconds + run.Loader.SystemSeconds;
      const double ratio = wall / bound;
      std::printf("| %u | %s | %.3f | %.3f | %.4f | ≤ %.2f %s | %.3f | %.2f %s | %.1f |\n", c.Baud,
                  line, wall, bound, ratio, c.RatioTarget, Mark(ratio <= c.RatioTarget), cpu,
                  100 * cpu / wall, Mark(100 * cpu / wall <= kCpuTargetPercent),
                  run.Loader.MaxRssKb / 1024.0);
      std::fflush(stdout);
    }

    // What a USB serial adapter that holds received bytes costs: none, the
    // 1 ms that the driver's low-latency flag gives, and the common chips'
    // 16 ms latency timer (a driver that cannot be asked, Windows' default).
    if (only.empty() || only == "adapter") {
      std::printf("\n### Through a USB serial adapter that holds received bytes (line mode 2, "
                  "echo)\n\n");
      std::printf("The device's echo and replies reach the host in packets of up to 62 bytes, "
                  "each when full or when the adapter's latency timer has run since its first "
                  "byte (`korvalen-sim --adapter-latency-ms`).\n\n");
      std::printf("| baud | latency timer | wall s | bound s | wall/bound | against no adapter "
                  "|\n");
      std::printf("|---:|---|---:|---:|---:|---:|\n");
      for (const uint32_t baud : {19200u, 115200u}) {
        double alone = 0;
        for (const uint32_t latency : {0u, 1u, 16u}) {
          LoadSetup setup;
          setup.BinDir = bin;
          setup.WorkDir = scratch.Path();
          setup.ImagePath = imagePath;
          setup.LineMode = 2;
          setup.Baud = baud;
          setup.Echo = true;
          setup.PaceBaud = baud;
          setup.SimFaults = {"--adapter-latency-ms", std::to_string(latency)};
          setup.Limit = std::chrono::milliseconds(600000);
          const LoadOutcome run = RunLoad(setup);
          const std::string timer =
              latency == 0 ? "no adapter"
                           : std::to_string(latency) + " ms" +
                                 (latency == 1 ? " (low latency asked)" : " (not asked)");
          if (!Completed(run, expected)) {
            allCompleted = false;
            std::printf("| %u | %s | failed: %s ||||\n", baud, timer.c_str(),
                        Describe(run).c_str());
            std::fflush(stdout);
            continue;
          }
          const double wall = run.Loader.WallSeconds;
          const double bound = LowerBound(budget, baud, 2);
          if (latency == 0)
            alone = wall;
          char slower[32] = "";
          if (latency != 0 && alone > 0)
            std::snprintf(slower, sizeof slower, "+%.0f %%", 100 * (wall / alone - 1));
          std::printf("| %u | %s | %.3f | %.3f | %.4f | %s |\n", baud, timer.c_str(), wall, bound,
                      wall / bound, slower);
          std::fflush(stdout);
        }
      }
    }

    if (!only.empty())
      return allCompleted ? 0 : 1;
    std::printf("\n### Waiting for a silent device (`identify --wait %.0f`)\n\n",
                kSilentWaitSeconds);
    std::printf("| line | wall s | CPU s | %% of one core | target ≤ %.0f %% |\n",
                kSilentTargetPercent);
    std::printf("|---|---:|---:|---:|---|\n");
    for (const int mode : {2, 0}) {
      Child sim = Child::WithStdoutPipe({bin + "/korvalen-sim", "--echo", mode == 2 ? "on" : "off",
                                         "--pace-baud", "19200", "--silent-polls", "1000000"},
                                        "");
      const auto device = sim.FirstLine(std::chrono::milliseconds(5000));
      if (!device) {
        allCompleted = false;
        std::printf("| mode %d | korvalen-sim did not come up ||||\n", mode);
        continue;
      }
      char wait[16];
      std::snprintf(wait, sizeof wait, "%.0f", kSilentWaitSeconds);
      Child loader({bin + "/korvalen-cli", "identify", "--device", *device, "--line-mode",
                    std::to_string(mode), "--baud", "19200", "--wait", wait},
                   Streams{});
      const ChildResult r = loader.Wait(std::chrono::milliseconds(60000));
      sim.Signal(SIGINT);
      sim.Wait(std::chrono::milliseconds(5000));
      // Exit 3: the wait ran out, as it must with a device that never answers.
      if (!r.Exited || r.ExitCode != 3) {
        allCompleted = false;
        std::printf("| mode %d | unexpected end (exit %d, signal %d) ||||\n", mode, r.ExitCode,
                    r.Signal);
        continue;
      }
      const double cpu = r.UserSeconds + r.SystemSeconds;
      const double share = 100 * cpu / r.WallSeconds;
      std::printf("| mode %d%s | %.2f | %.3f | %.2f | %s |\n", mode,
                  mode == 2 ? ", echo" : ", no echo", r.WallSeconds, cpu, share,
                  Mark(share <= kSilentTargetPercent));
      std::fflush(stdout);
    }

    const auto big = MakeImage(kBigImagePages, 7, std::nullopt);
    const std::string bigPath = scratch.File("big.rom");
    WriteFileBytes(bigPath, big);
    LoadSetup setup;
    setup.BinDir = bin;
    setup.WorkDir = scratch.Path();
    setup.ImagePath = bigPath;
    setup.LineMode = 0;
    setup.Baud = 115200;
    setup.Echo = false;
    setup.PaceBaud = 0;
    const LoadOutcome run = RunLoad(setup);
    std::printf("\n### Peak memory\n\n");
    if (Completed(run, ExpectedMemory(big))) {
      const double mb = run.Loader.MaxRssKb / 1024.0;
      std::printf("Peak resident memory of korvalen-cli loading a %zu KB image (%d pages, line "
                  "mode 0, unpaced device): %.1f MB (target ≤ %.0f MB: %s).\n",
                  big.size() / 1024, kBigImagePages, mb, kMemoryTargetMb,
                  Mark(mb <= kMemoryTargetMb));
    } else {
      allCompleted = false;
      std::printf("Load of the %d-page image failed: %s\n", kBigImagePages, Describe(run).c_str());
    }

    std::printf("\nMachine: %s; load average %s before, %s after.\n", Machine().c_str(),
                loadAverageBefore.c_str(), LoadAverage().c_str());
  } catch (const std::exception &e) {
    std::fprintf(stderr, "korvalen-bench: %s\n", e.what());
    return 1;
  }
  return allCompleted ? 0 : 1;
}
