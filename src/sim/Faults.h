// The faults on demand: which accepted frames get a busy reply, a damaged
// checksum, no reply, or close the line, and the one seeded generator behind
// the random ones. Frame numbers and the per-board counts as DeviceOptions.h
// says.
#pragma once

#include "sim/DeviceOptions.h"

#include <cstdint>
#include <map>
#include <random>
#include <string>

namespace sim {

// What the faults make of one accepted frame.
struct FaultDecision {
  bool Silent = false;  // no reply; the request is still carried out
  bool Busy = false;    // answered 0xFF and not carried out (never when Silent)
  bool Damaged = false; // the reply's checksum is off by one
  bool HangUp = false;  // close the line once this frame's reply has been taken
  std::string Note;     // what the frame log adds: ", silent poll", ", busy", ...
};

// Not thread-safe: its owner guards it.
class Faults {
public:
  // Keeps a reference: `options` outlives it.
  explicit Faults(const DeviceOptions &options);

  // Board `board` (from 1) is put in: its Identify polls and command
  // occurrences count afresh.
  void NewBoard(uint32_t board);
  // Decides for accepted frame `number` (of the current board) carrying
  // `command`; `isQuery` for the address query. Draws once per random fault
  // for every frame, so a seed gives the same faults on the same traffic.
  FaultDecision Decide(uint32_t number, uint8_t command, bool isQuery);

private:
  const DeviceOptions &FOptions;
  std::mt19937 FRandom;
  uint32_t FBoard = 1;
  uint32_t FIdentifyPolls = 0;
  std::map<uint8_t, uint32_t> FOccurrences;
};

} // namespace sim
