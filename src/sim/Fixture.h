// The fixture: boards put in and taken out on its clock, each with its own
// memory and counts. The rules are FixtureOptions' (DeviceOptions.h); without
// a fixture there is one board, in from the start, that never leaves.
#pragma once

#include "sim/DeviceOptions.h"
#include "sim/Memory.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace sim {

// One board and what it received while it was in.
struct Board {
  using Clock = std::chrono::steady_clock;

  uint32_t Number = 0; // from 1
  bool Rejected = false;
  ProgramMemory Memory;
  Clock::time_point In{};
  std::optional<Clock::time_point> Out;
  std::optional<Clock::time_point> FirstAnswer; // to Identify
  bool FinishDone = false;                      // Finish carried out: the board runs its program
  std::optional<Clock::time_point> FinishAnswered;
  uint32_t Frames = 0; // accepted frames, numbered from 1
  uint32_t FramesAfterFinish = 0;
  std::map<uint8_t, uint32_t> CommandCounts;
};

// Not thread-safe: its owner guards it.
class Fixture {
public:
  using Clock = std::chrono::steady_clock;

  // Keeps a reference: `options` outlives it.
  explicit Fixture(const FixtureOptions &options);
  // The fixture's clock starts: board 1 is due FirstAfterMs after `start`.
  // Nothing is in before the first Advance.
  void Begin(Clock::time_point start);

  bool IsFixture() const { return FOptions.Boards > 0; }

  struct Change {
    uint32_t Board = 0;
    bool In = true; // put in, else taken out
  };
  // Puts boards in and takes them out as their times come, up to `now`, in
  // order; each change happens at its own time, not at `now`.
  std::vector<Change> Advance(Clock::time_point now);
  // When Advance has something to do next; nothing while that waits on the
  // host (a board nobody has talked to) or the fixture is done or held.
  std::optional<Clock::time_point> NextChange() const;
  // After a hang-up: the fixture stays as it is.
  void Hold() { FHeld = true; }

  // The board in, or nullptr; valid until the next Advance.
  Board *Present();
  // A board is in and its bootloader answers (it has not gone on to run its
  // program).
  bool Answers() const;
  // The board in answered Identify at `at` (its stay counts from the first).
  void IdentifyAnswered(Clock::time_point at);
  // The reply to the Finish of the board in has gone out (or none was due).
  void FinishAnswered(Clock::time_point at);

  // Every board that has been in, from board 1.
  const std::vector<Board> &Boards() const { return FBoards; }
  // Every board has been in and is out again.
  bool Done() const;

private:
  std::optional<Clock::time_point> OutTime(const Board &board) const;

  const FixtureOptions &FOptions;
  const uint32_t FBoardCount;
  std::vector<Board> FBoards;
  bool FPresent = false;
  bool FHeld = false;
  Clock::time_point FNextIn{};
};

} // namespace sim
