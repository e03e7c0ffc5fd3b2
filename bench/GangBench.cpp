// korvalen-gang-bench: a gang load against one device alone, in the same run.
//
//   korvalen-gang-bench BIN_DIR [--devices N] [--pages N] [--baud B]
//
// First one device alone (`korvalen-cli load --device X`), then N devices at
// once (`korvalen-cli load --device X1 ... --device XN`), each a korvalen-sim
// with the wire modelled at the baud rate, line mode 2 with echo. The gang's
// wall time is compared with the lone device's, and its CPU time (korvalen-cli
// and every child it runs, as wait4 reports them) with one core. Every device
// must end with exactly the memory the image gives. Prints a Markdown table.
// Exits 0 when every load completed (whatever the figures), 1 otherwise, 64
// on a usage error.
#include "Child.h"
#include "Figures.h"
#include "LoadRun.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace bench;

constexpr int kDefaultDevices = 8;
constexpr int kDefaultPages = 16;
constexpr uint32_t kDefaultBaud = 115200;
constexpr double kWallTarget = 1.05;
constexpr double kCpuTargetPercent = 10;
constexpr std::chrono::milliseconds kLimit{600000};
constexpr std::chrono::milliseconds kSimStartup{5000};
constexpr std::chrono::milliseconds kSimStop{5000};

struct Device {
  Child Sim;
  std::string Path;
  std::string MemoryFile;
};

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: korvalen-gang-bench BIN_DIR [--devices N] [--pages N] [--baud B]\n");
    return 64;
  }
  const std::string bin = argv[1];
  int devices = kDefaultDevices;
  int pages = kDefaultPages;
  uint32_t baud = kDefaultBaud;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (arg == "--devices")
      devices = value;
    else if (arg == "--pages")
      pages = value;
    else if (arg == "--baud")
      baud = static_cast<uint32_t>(value);
    else {
      std::fprintf(stderr, "korvalen-gang-bench: unknown argument %s\n", arg.c_str());
      return 64;
    }
  }
  if (devices < 2 || devices > 32 || pages < 1 || baud == 0) {
    std::fprintf(stderr, "korvalen-gang-bench: --devices 2-32, --pages 1 or more, --baud > 0\n");
    return 64;
  }

  try {
    ScratchDir scratch("korvalen-gang-bench-");
    const auto image = MakeImage(pages, 11, std::nullopt);
    const std::string imagePath = scratch.File("image.rom");
    WriteFileBytes(imagePath, image);
    const auto expected = ExpectedMemory(image);

    LoadSetup alone;
    alone.BinDir = bin;
    alone.WorkDir = scratch.Path();
    alone.ImagePath = imagePath;
    alone.LineMode = 2;
    alone.Baud = baud;
    alone.PaceBaud = baud;
    alone.Limit = kLimit;
    const LoadOutcome single = RunLoad(alone);
    if (!single.Started || !single.Loader.Exited || single.Loader.ExitCode != 0 ||
        single.Memory != expected) {
      std::printf("One device alone failed: %s %s\n", single.Problem.c_str(),
                  single.Stderr.c_str());
      return 1;
    }

    std::vector<Device> gang;
    std::vector<std::string> command = {bin + "/korvalen-cli", "load"};
    for (int d = 0; d < devices; ++d) {
      const std::string memory = scratch.File("memory" + std::to_string(d) + ".bin");
      Child sim = Child::WithStdoutPipe({bin + "/korvalen-sim", "--echo", "on", "--pace-baud",
                                         std::to_string(baud), "--exit-after-finish",
                                         "--memory-out", memory},
                                        scratch.File("sim" + std::to_string(d) + ".err"));
      const auto path = sim.FirstLine(kSimStartup);
      if (!path || path->empty()) {
        std::printf("korvalen-sim %d did not come up\n", d);
        return 1;
      }
      command.insert(command.end(), {"--device", *path});
      gang.push_back({std::move(sim), *path, memory});
    }
    command.insert(command.end(), {"--line-mode", "2", "--baud", std::to_string(baud), imagePath});
    Child loader(command, Streams{scratch.File("gang.out"), scratch.File("gang.err")});
    const ChildResult result = loader.Wait(kLimit);

    int exact = 0;
    for (Device &device : gang) {
      if (!(result.Exited && result.ExitCode == 0))
        device.Sim.Signal(SIGINT);
      device.Sim.Wait(kSimStop);
      exact += ReadFileBytes(device.MemoryFile) == expected ? 1 : 0;
    }
    const bool completed = result.Exited && result.ExitCode == 0 && exact == devices;

    int sent = 0;
    for (int p = 1; p <= pages; ++p)
      sent += (p < 2 || p > 4) ? 1 : 0;
    std::printf("#### Gang loading: %d devices at %u baud, line mode 2 with echo, a %d-page image "
                "(%d pages sent)\n\n",
                devices, baud, pages, sent);
    if (!completed) {
      std::printf("The gang load failed (exit %d, %d of %d devices exact):\n%s\n", result.ExitCode,
                  exact, devices, ReadFileText(scratch.File("gang.err")).c_str());
      return 1;
    }
    const double ratio = result.WallSeconds / single.Loader.WallSeconds;
    const double cpu = result.UserSeconds + result.SystemSeconds;
    const double share = 100 * cpu / result.WallSeconds;
    std::printf("| one device alone, wall s | %d devices, wall s | ratio | target | CPU s, "
                "korvalen-cli and its children | %% of one core | target |\n",
                devices);
    std::printf("|---:|---:|---:|---|---:|---:|---|\n");
    std::printf("| %.3f | %.3f | %.4f | ≤ %.2f %s | %.3f | %.2f | ≤ %.0f %% %s |\n",
                single.Loader.WallSeconds, result.WallSeconds, ratio, kWallTarget,
                Mark(ratio <= kWallTarget), cpu, share, kCpuTargetPercent,
                Mark(share <= kCpuTargetPercent));
    std::printf("\nEvery device's memory exact: %d of %d. Peak resident memory of the largest "
                "process: %.1f MB.\n",
                exact, devices, result.MaxRssKb / 1024.0);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "korvalen-gang-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
