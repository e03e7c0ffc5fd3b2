// korvalen-faults: a seeded matrix of loads against a device that misbehaves,
// and against hostile input around the link (an image that is a FIFO or a
// device, one past the address space, a closed stderr), each load classified
// as done (exactly the right memory), failed cleanly (one of the link's own
// messages, nothing half-done; for hostile input: refused with its reason
// before anything was sent) or other.
//
//   korvalen-faults BIN_DIR [--per-cell N] [--seed S] [--jobs J]
//
// Prints a Markdown table and the details of every "other"; exits 1 when there
// is any, 0 when there is none, 64 on a usage error.
#include "Child.h"
#include "LoadRun.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using namespace bench;

constexpr int kImagePages = 8;
// Frames of a fault-free load of that image: Identify, then 12 WriteBlock and
// one WritePage for each of pages 1, 5, 6, 7, 8, then Finish.
constexpr int kPagesSent = 5;
constexpr int kBlocksPerPage = 12;
constexpr int kFramesPerPage = kBlocksPerPage + 1;
constexpr int kWriteBlocks = kPagesSent * kBlocksPerPage;
constexpr int kFrames = 1 + kPagesSent * kFramesPerPage + 1;
constexpr int kDefaultPerCell = 20;
constexpr std::chrono::seconds kLoadLimit{60};

const char *const kDone = "Загрузка окончена.";
const char *const kLinkTexts[] = {
    "RS232. Нет связи. Проверьте правильность соединения PC и устройства.",
    "RS232. Ошибка задержки приема внутри блока.",
    "RS232. Ошибка обмена.(0)",
    "RS232. Ошибка обмена.(4)",
    "Устройство занято. Возможно, оно находится в режиме местного управления.",
};

enum class Verdict { Done, FailedCleanly, Other };

struct Cell {
  using FaultDraw = std::function<std::vector<std::string>(std::mt19937 &)>;
  Cell(std::string name, FaultDraw faults) : Name(std::move(name)), Faults(std::move(faults)) {}

  std::string Name;
  // The sim's fault arguments for one load, drawn from the cell's generator.
  FaultDraw Faults;
  // Hostile input around the link: another image than the matrix's, korvalen-cli
  // options, its stderr closed.
  std::string Image;
  std::vector<std::string> LoaderOptions;
  bool StderrClosed = false;
  // A load that must be refused before anything is sent: its exit code and a
  // part of its message; -1 for a load that runs.
  int RefusedWith = -1;
  std::string Refusal;
};

// Paths of the hostile images, made in the scratch folder.
struct HostileImages {
  std::string Fifo, PastAddressSpace;
};

struct Load {
  size_t CellIndex = 0;
  std::vector<std::string> Faults;
  Verdict Result = Verdict::Other;
  std::string Why; // for an "other"
};

int Uniform(std::mt19937 &random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

// A WriteBlock frame in the middle of a page that is not its last block, in a
// fault-free numbering.
int MidPageFrame(std::mt19937 &random) {
  const int page = Uniform(random, 0, kPagesSent - 1);
  const int block = Uniform(random, 0, kBlocksPerPage - 2);
  return 2 + page * kFramesPerPage + block;
}

std::vector<std::string> NoFaults(std::mt19937 &) {
  return {};
}

std::vector<Cell> Cells(const HostileImages &hostile) {
  std::vector<Cell> cells;
  for (const char *rate : {"0.01", "0.05", "0.20"}) {
    const std::string r = rate;
    const int percent = static_cast<int>(std::atof(rate) * 100 + 0.5);
    cells.push_back(
        {"damaged reply checksums, " + std::to_string(percent) + " % of replies",
         [r](std::mt19937 &random) {
           return std::vector<std::string>{"--damage-rate", r, "--seed", std::to_string(random())};
         }});
  }
  cells.push_back({"busy burst of 1-4 frames at a random frame", [](std::mt19937 &random) {
                     const int start = Uniform(random, 1, kFrames);
                     const int length = Uniform(random, 1, 4);
                     return std::vector<std::string>{"--busy-burst", std::to_string(start) + ":" +
                                                                         std::to_string(length)};
                   }});
  cells.push_back({"one WriteBlock unanswered mid-page", [](std::mt19937 &random) {
                     return std::vector<std::string>{
                         "--no-reply-command",
                         "10:" + std::to_string(Uniform(random, 1, kWriteBlocks))};
                   }});
  cells.push_back({"three WriteBlocks in a row unanswered mid-page", [](std::mt19937 &random) {
                     return std::vector<std::string>{
                         "--no-reply-command",
                         "10:" + std::to_string(Uniform(random, 1, kWriteBlocks)) + ":3"};
                   }});
  cells.push_back(
      {"hang-up mid-page", [](std::mt19937 &random) {
         return std::vector<std::string>{"--hangup-after", std::to_string(MidPageFrame(random))};
       }});

  Cell fifo{"image is a FIFO", NoFaults};
  fifo.Image = hostile.Fifo;
  fifo.RefusedWith = 4;
  fifo.Refusal = "именованный канал";
  cells.push_back(fifo);
  Cell zero{"image is /dev/zero", NoFaults};
  zero.Image = "/dev/zero";
  zero.RefusedWith = 4;
  zero.Refusal = "это устройство";
  cells.push_back(zero);
  Cell large{"image of 16385 pages, past the 24-bit address space", NoFaults};
  large.Image = hostile.PastAddressSpace;
  large.RefusedWith = 1;
  large.Refusal = "16385";
  cells.push_back(large);
  Cell closed{"stderr closed (2>&-), --verbose", NoFaults};
  closed.StderrClosed = true;
  closed.LoaderOptions = {"--verbose"};
  cells.push_back(closed);
  return cells;
}

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

std::string Tail(std::string text, size_t count) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  if (text.size() > count)
    text = "..." + text.substr(text.size() - count);
  for (auto &c : text)
    if (c == '\n' || c == '|')
      c = ' ';
  return text;
}

void Classify(const LoadOutcome &run, const std::vector<unsigned char> &expected, const Cell &cell,
              Load &load) {
  if (!run.Started || !run.Problem.empty()) {
    load.Why = run.Problem;
    return;
  }
  const ChildResult &r = run.Loader;
  if (r.TimedOut) {
    load.Why = "hang: killed after " + std::to_string(kLoadLimit.count()) + " s";
    return;
  }
  if (!r.Exited) {
    load.Why = "killed by signal " + std::to_string(r.Signal);
    return;
  }
  if (cell.RefusedWith >= 0) {
    // Refused with its reason, and not one frame on the line.
    if (r.ExitCode == cell.RefusedWith && Contains(run.Stderr, cell.Refusal) &&
        run.DeviceFrames == 0 && run.Memory.empty()) {
      load.Result = Verdict::FailedCleanly;
      return;
    }
    load.Why = "exit " + std::to_string(r.ExitCode) + ", " + std::to_string(run.DeviceFrames) +
               " frames sent, stderr: " + Tail(run.Stderr, 120);
    return;
  }
  const bool saysDone = Contains(run.Stdout, kDone);
  if (r.ExitCode == 0 && saysDone) {
    if (run.Memory == expected) {
      load.Result = Verdict::Done;
      return;
    }
    load.Why = "done, but the device holds other memory (" + std::to_string(run.Memory.size()) +
               " bytes, " +
               (MemoryIsPrefixOf(run.Memory, expected) ? "pages missing" : "pages wrong") + ")";
    return;
  }
  bool linkText = false;
  for (const char *text : kLinkTexts)
    linkText = linkText || Contains(run.Stderr, text);
  if (r.ExitCode == 2 && linkText && !saysDone) {
    // What a stopped load leaves must be right as far as it goes.
    if (MemoryIsPrefixOf(run.Memory, expected)) {
      load.Result = Verdict::FailedCleanly;
      return;
    }
    load.Why = "failed, and a page the device committed is wrong";
    return;
  }
  load.Why = "exit " + std::to_string(r.ExitCode) + ", stdout: " + Tail(run.Stdout, 60) +
             ", stderr: " + Tail(run.Stderr, 120);
}

std::string Joined(const std::vector<std::string> &args) {
  std::string text;
  for (const auto &a : args)
    text += (text.empty() ? "" : " ") + a;
  return text;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvalen-faults BIN_DIR [--per-cell N] [--seed S] [--jobs J]\n");
    return 64;
  }
  const std::string bin = argv[1];
  int perCell = kDefaultPerCell;
  uint32_t seed = 1;
  int jobs = 2;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "korvalen-faults: %s needs a value\n", arg.c_str());
      return 64;
    }
    const long value = std::atol(argv[++i]);
    if (arg == "--per-cell" && value > 0)
      perCell = static_cast<int>(value);
    else if (arg == "--seed" && value >= 0)
      seed = static_cast<uint32_t>(value);
    else if (arg == "--jobs" && value > 0)
      jobs = static_cast<int>(value);
    else {
      std::fprintf(stderr, "korvalen-faults: bad argument %s %s\n", arg.c_str(), argv[i]);
      return 64;
    }
  }

  try {
    ScratchDir scratch("korvalen-faults-");
    const auto image = MakeImage(kImagePages, seed, std::array<unsigned char, 3>{0x61, 0x65, 0x00});
    const std::string imagePath = scratch.File("image.rom");
    WriteFileBytes(imagePath, image);
    const auto expected = ExpectedMemory(image);

    HostileImages hostile;
    hostile.Fifo = scratch.File("fifo.rom");
    if (mkfifo(hostile.Fifo.c_str(), 0600) != 0)
      throw std::runtime_error("mkfifo " + hostile.Fifo);
    hostile.PastAddressSpace = scratch.File("large.rom");
    WriteFileBytes(hostile.PastAddressSpace, {});
    std::filesystem::resize_file(hostile.PastAddressSpace, (16384 + 1) * 1536); // sparse
    const std::vector<Cell> cells = Cells(hostile);
    std::vector<Load> loads;
    for (size_t c = 0; c < cells.size(); ++c) {
      std::mt19937 random(seed * 1000 + static_cast<uint32_t>(c));
      for (int i = 0; i < perCell; ++i)
        loads.push_back({c, cells[c].Faults(random), Verdict::Other, ""});
    }

    const auto started = std::chrono::steady_clock::now();
    std::atomic<size_t> next{0};
    std::mutex progress;
    size_t finished = 0;
    auto worker = [&] {
      for (size_t i = next++; i < loads.size(); i = next++) {
        const std::string dir = scratch.File("load-" + std::to_string(i));
        std::filesystem::create_directory(dir);
        LoadSetup setup;
        setup.BinDir = bin;
        setup.WorkDir = dir;
        const Cell &cell = cells[loads[i].CellIndex];
        setup.ImagePath = cell.Image.empty() ? imagePath : cell.Image;
        setup.LineMode = 2;
        setup.Baud = 115200;
        setup.Echo = true;
        setup.PaceBaud = 0;
        setup.SimFaults = loads[i].Faults;
        setup.LoaderOptions = cell.LoaderOptions;
        setup.StderrClosed = cell.StderrClosed;
        setup.Limit = kLoadLimit;
        const LoadOutcome run = RunLoad(setup);
        Classify(run, expected, cell, loads[i]);
        std::filesystem::remove_all(dir);
        std::lock_guard lock(progress);
        ++finished;
        std::fprintf(stderr, "\r%zu/%zu loads", finished, loads.size());
        std::fflush(stderr);
      }
    };
    std::vector<std::thread> workers;
    for (int j = 0; j < jobs; ++j)
      workers.emplace_back(worker);
    for (auto &w : workers)
      w.join();
    std::fprintf(stderr, "\n");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("### Fault matrix\n\n");
    std::printf("%d-page image with trailer (%d pages sent), line mode 2 with echo, device "
                "unpaced; seed %u, %d loads a cell, each bounded at %lld s.\n\n",
                kImagePages, kPagesSent, seed, perCell, static_cast<long long>(kLoadLimit.count()));
    std::printf("| cell | loads | done | failed cleanly | other |\n");
    std::printf("|---|---:|---:|---:|---:|\n");
    int others = 0;
    for (size_t c = 0; c < cells.size(); ++c) {
      int done = 0, clean = 0, other = 0;
      for (const auto &l : loads) {
        if (l.CellIndex != c)
          continue;
        done += l.Result == Verdict::Done;
        clean += l.Result == Verdict::FailedCleanly;
        other += l.Result == Verdict::Other;
      }
      others += other;
      std::printf("| %s | %d | %d | %d | %s%d%s |\n", cells[c].Name.c_str(), done + clean + other,
                  done, clean, other ? "**" : "", other, other ? "**" : "");
    }
    std::printf("\n%zu loads in %.0f s.\n", loads.size(), seconds);
    if (others) {
      std::printf("\nOther:\n\n");
      for (const auto &l : loads)
        if (l.Result == Verdict::Other)
          std::printf("- %s: korvalen-sim %s: %s\n", cells[l.CellIndex].Name.c_str(),
                      Joined(l.Faults).c_str(), l.Why.c_str());
    }
    return others ? 1 : 0;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "korvalen-faults: %s\n", e.what());
    return 1;
  }
}
