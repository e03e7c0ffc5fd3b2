// One load of an image by korvalen-cli into a fresh korvalen-sim, and the
// images and device memories the drivers compare.
#pragma once

#include "Child.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bench {

constexpr size_t kPageBytes = 1536;
// What korvalen-sim reports as its reset vector unless told otherwise.
constexpr std::array<unsigned char, 6> kSimResetVector = {0x04, 0x02, 0x00, 0x00, 0x00, 0x00};

// `pages` whole pages of seeded random bytes, then the trailer if given.
std::vector<unsigned char> MakeImage(int pages, uint32_t seed,
                                     std::optional<std::array<unsigned char, 3>> trailer);
// What the device must hold after a complete load of `image`: page p at
// (p-1)*1536, up to the highest page sent, unwritten bytes FF; page 1 with the
// device's reset vector in bytes 0-5, pages 2-4 never written, the trailer and
// any remainder never sent.
std::vector<unsigned char> ExpectedMemory(const std::vector<unsigned char> &image);
// True when every page the device holds is either untouched (all FF) or
// exactly the page it must hold: what a load stopped part-way may leave.
bool MemoryIsPrefixOf(const std::vector<unsigned char> &memory,
                      const std::vector<unsigned char> &expected);

struct LoadSetup {
  std::string BinDir;
  std::string WorkDir; // scratch files of this run go here
  std::string ImagePath;
  int LineMode = 2;
  uint32_t Baud = 19200;
  bool Echo = true;
  uint32_t PaceBaud = 0; // 0: the device answers at once
  std::vector<std::string> SimFaults;
  std::vector<std::string> LoaderOptions; // more korvalen-cli options, e.g. --verbose
  bool StderrClosed = false;              // korvalen-cli started with 2>&-
  std::chrono::milliseconds Limit{60000};
};

struct LoadOutcome {
  bool Started = false; // the device came up and the loader ran
  std::string Problem;  // why not, when !Started
  ChildResult Loader;
  std::string Stdout;
  std::string Stderr;
  std::vector<unsigned char> Memory; // what the device received
  long DeviceFrames = -1;            // frames the device accepted, from its summary
};

// Starts the device, runs the load against it, then stops the device (it
// leaves by itself after Finish, else on SIGINT) and reads its memory.
LoadOutcome RunLoad(const LoadSetup &setup);

} // namespace bench
