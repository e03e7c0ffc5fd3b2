// korvalen-pack-bench: how long `korvalen-cli pack` takes for a 256 KB
// program, the whole command from start to exit.
//
//   korvalen-pack-bench BIN_DIR [--runs N]
//
// The program fills 256 KB of image (87381 instruction words, program
// addresses 0 ... 0x2AAA8) and is written as a PIC24/dsPIC33 tool chain
// writes it: 16-byte data records, an extended linear address record for
// each 64 KB of hex addresses, configuration words at the end. Prints a
// Markdown table. Exits 0 when every run packed the program right, 1
// otherwise, 64 on a usage error.
#include "Child.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace bench;

constexpr size_t kProgramBytes = 256 * 1024; // of image, 3 bytes a word
constexpr size_t kWords = kProgramBytes / 3;
constexpr size_t kPageBytes = 1536;
constexpr size_t kWordsPerRecord = 4;
constexpr int kDefaultRuns = 20;
constexpr double kTargetMs = 50;

void AppendRecord(std::string &out, unsigned type, unsigned offset,
                  const std::vector<unsigned char> &data) {
  unsigned sum = static_cast<unsigned>(data.size()) + (offset >> 8) + (offset & 0xFF) + type;
  char text[16];
  std::snprintf(text, sizeof text, ":%02X%04X%02X", static_cast<unsigned>(data.size()), offset,
                type);
  out += text;
  for (unsigned char b : data) {
    std::snprintf(text, sizeof text, "%02X", b);
    out += text;
    sum += b;
  }
  std::snprintf(text, sizeof text, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
  out += text;
}

// The program as Intel HEX, and the image it must give.
std::string MakeProgram(std::vector<unsigned char> &image) {
  std::mt19937 random(256);
  image.assign((kWords * 3 + kPageBytes - 1) / kPageBytes * kPageBytes, 0xFF);
  std::string hex;
  unsigned upper = 0x10000; // none written yet
  for (size_t word = 0; word < kWords; word += kWordsPerRecord) {
    const size_t hexAddress = word * 4;
    if (hexAddress >> 16 != upper) {
      upper = static_cast<unsigned>(hexAddress >> 16);
      AppendRecord(
          hex, 4, 0,
          {static_cast<unsigned char>(upper >> 8), static_cast<unsigned char>(upper & 0xFF)});
    }
    std::vector<unsigned char> data;
    for (size_t w = word; w < std::min(word + kWordsPerRecord, kWords); ++w) {
      for (int i = 0; i < 3; ++i) {
        const auto b = static_cast<unsigned char>(random());
        image[w * 3 + static_cast<size_t>(i)] = b;
        data.push_back(b);
      }
      data.push_back(0);
    }
    AppendRecord(hex, 0, static_cast<unsigned>(hexAddress & 0xFFFF), data);
  }
  // Configuration words (program address 0xF80000), which pack leaves out.
  AppendRecord(hex, 4, 0, {0x01, 0xF0});
  AppendRecord(hex, 0, 0, {0xCF, 0xFF, 0x00, 0x00, 0x7F, 0xFF, 0x00, 0x00});
  AppendRecord(hex, 1, 0, {});
  return hex;
}

// The first three fields of /proc/loadavg: how busy the machine was.
std::string LoadAverage() {
  const std::string text = ReadFileText("/proc/loadavg");
  size_t end = 0;
  for (int field = 0; field < 3 && end != std::string::npos; ++field)
    end = text.find(' ', end + (field > 0 ? 1 : 0));
  return text.substr(0, end);
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: korvalen-pack-bench BIN_DIR [--runs N]\n");
    return 64;
  }
  const std::string bin = argv[1];
  int runs = kDefaultRuns;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "korvalen-pack-bench: unknown argument %s\n", arg.c_str());
      return 64;
    }
  }
  if (runs < 1) {
    std::fprintf(stderr, "korvalen-pack-bench: --runs must be at least 1\n");
    return 64;
  }

  try {
    ScratchDir scratch("korvalen-pack-bench-");
    std::vector<unsigned char> expected;
    const std::string hex = MakeProgram(expected);
    const std::string hexPath = scratch.File("program.hex");
    WriteFileBytes(hexPath, std::vector<unsigned char>(hex.begin(), hex.end()));
    const std::string romPath = scratch.File("program.rom");

    const std::string loadBefore = LoadAverage();
    std::vector<double> wallMs;
    double cpuMs = 0;
    long rssKb = 0;
    for (int run = 0; run < runs; ++run) {
      Child child({bin + "/korvalen-cli", "pack", hexPath, "-o", romPath, "--no-trailer"}, {});
      const ChildResult result = child.Wait(std::chrono::milliseconds(60000));
      if (!result.Exited || result.ExitCode != 0 || ReadFileBytes(romPath) != expected) {
        std::fprintf(stderr, "korvalen-pack-bench: run %d did not pack the program right\n",
                     run + 1);
        return 1;
      }
      wallMs.push_back(result.WallSeconds * 1000);
      cpuMs += (result.UserSeconds + result.SystemSeconds) * 1000;
      rssKb = std::max(rssKb, result.MaxRssKb);
    }
    std::sort(wallMs.begin(), wallMs.end());
    const double median = wallMs[wallMs.size() / 2];
    std::printf("### Pack of a 256 KB program\n\n");
    std::printf("`korvalen-cli pack` of %zu instruction words (%zu bytes of Intel HEX, %zu bytes "
                "of image), the whole command from start to exit, %d runs.\n\n",
                kWords, hex.size(), expected.size(), runs);
    std::printf("| median ms | fastest ms | slowest ms | CPU ms per run | peak RSS MB | target "
                "|\n");
    std::printf("|---:|---:|---:|---:|---:|---|\n");
    std::printf("| %.1f | %.1f | %.1f | %.1f | %.1f | median <= %.0f ms: %s |\n\n", median,
                wallMs.front(), wallMs.back(), cpuMs / runs, rssKb / 1024.0, kTargetMs,
                median <= kTargetMs ? "yes" : "no");
    std::printf("Load average %s before, %s after.\n\n", loadBefore.c_str(), LoadAverage().c_str());
  } catch (const std::exception &failure) {
    std::fprintf(stderr, "korvalen-pack-bench: %s\n", failure.what());
    return 1;
  }
  return 0;
}
