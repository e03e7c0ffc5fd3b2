#include "LoadRun.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <random>

namespace bench {

namespace {
constexpr int kPagesNeverSentFirst = 2;
constexpr int kPagesNeverSentLast = 4;
constexpr size_t kTrailerBytes = 3;
// korvalen-sim leaves 200 ms after answering Finish; a device that does not
// stop within this on SIGINT is killed.
constexpr std::chrono::milliseconds kSimStop{5000};
constexpr std::chrono::milliseconds kSimStartup{5000};

bool IsPageSent(int page) {
  return page < kPagesNeverSentFirst || page > kPagesNeverSentLast;
}
} // namespace

std::vector<unsigned char> MakeImage(int pages, uint32_t seed,
                                     std::optional<std::array<unsigned char, 3>> trailer) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<unsigned char> image(static_cast<size_t>(pages) * kPageBytes);
  for (auto &b : image)
    b = static_cast<unsigned char>(byte(random));
  if (trailer)
    image.insert(image.end(), trailer->begin(), trailer->end());
  return image;
}

std::vector<unsigned char> ExpectedMemory(const std::vector<unsigned char> &image) {
  const int pages = static_cast<int>(image.size() / kPageBytes);
  int highest = 0;
  for (int p = 1; p <= pages; ++p)
    if (IsPageSent(p))
      highest = p;
  std::vector<unsigned char> memory(static_cast<size_t>(highest) * kPageBytes, 0xFF);
  for (int p = 1; p <= highest; ++p) {
    if (!IsPageSent(p))
      continue;
    const size_t at = static_cast<size_t>(p - 1) * kPageBytes;
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), kPageBytes,
                memory.begin() + static_cast<std::ptrdiff_t>(at));
  }
  if (highest >= 1)
    std::copy(kSimResetVector.begin(), kSimResetVector.end(), memory.begin());
  return memory;
}

bool MemoryIsPrefixOf(const std::vector<unsigned char> &memory,
                      const std::vector<unsigned char> &expected) {
  if (memory.size() % kPageBytes != 0 || memory.size() > expected.size())
    return false;
  for (size_t at = 0; at < memory.size(); at += kPageBytes) {
    const auto page = memory.begin() + static_cast<std::ptrdiff_t>(at);
    const auto end = page + static_cast<std::ptrdiff_t>(kPageBytes);
    const bool erased = std::all_of(page, end, [](unsigned char b) { return b == 0xFF; });
    if (!erased && !std::equal(page, end, expected.begin() + static_cast<std::ptrdiff_t>(at)))
      return false;
  }
  return true;
}

LoadOutcome RunLoad(const LoadSetup &setup) {
  LoadOutcome outcome;
  const std::string memoryPath = setup.WorkDir + "/memory.bin";
  const std::string simErr = setup.WorkDir + "/sim.err";
  std::vector<std::string> simArgs = {setup.BinDir + "/korvalen-sim",
                                      "--echo",
                                      setup.Echo ? "on" : "off",
                                      "--pace-baud",
                                      std::to_string(setup.PaceBaud),
                                      "--exit-after-finish",
                                      "--memory-out",
                                      memoryPath};
  simArgs.insert(simArgs.end(), setup.SimFaults.begin(), setup.SimFaults.end());
  Child sim = Child::WithStdoutPipe(simArgs, simErr);
  const auto device = sim.FirstLine(kSimStartup);
  if (!device || device->empty()) {
    sim.Signal(SIGKILL);
    sim.Wait(kSimStop);
    outcome.Problem = "korvalen-sim did not come up: " + ReadFileText(simErr);
    return outcome;
  }

  const std::string outPath = setup.WorkDir + "/cli.out";
  const std::string errPath = setup.WorkDir + "/cli.err";
  std::vector<std::string> loaderArgs = {setup.BinDir + "/korvalen-cli",
                                         "load",
                                         "--device",
                                         *device,
                                         "--line-mode",
                                         std::to_string(setup.LineMode),
                                         "--baud",
                                         std::to_string(setup.Baud)};
  loaderArgs.insert(loaderArgs.end(), setup.LoaderOptions.begin(), setup.LoaderOptions.end());
  loaderArgs.push_back(setup.ImagePath);
  Child loader(loaderArgs, Streams{outPath, errPath, setup.StderrClosed});
  outcome.Loader = loader.Wait(setup.Limit);
  outcome.Started = true;
  outcome.Stdout = ReadFileText(outPath);
  outcome.Stderr = ReadFileText(errPath);

  // After Finish the device leaves by itself; otherwise it is told to.
  if (!(outcome.Loader.Exited && outcome.Loader.ExitCode == 0))
    sim.Signal(SIGINT);
  const ChildResult stopped = sim.Wait(kSimStop);
  if (stopped.TimedOut || !stopped.Exited) {
    sim.Signal(SIGKILL);
    outcome.Problem = "korvalen-sim did not stop: " + ReadFileText(simErr);
  }
  outcome.Memory = ReadFileBytes(memoryPath);
  // Its last line: "korvalen-sim: N frames, ..."
  const std::string summary = ReadFileText(simErr);
  const size_t at = summary.rfind("korvalen-sim: ");
  if (at != std::string::npos)
    outcome.DeviceFrames = std::atol(summary.c_str() + at + 14);
  return outcome;
}

} // namespace bench
