#include "sim/Fixture.h"

namespace sim {

using std::chrono::milliseconds;

Fixture::Fixture(const FixtureOptions &options)
    : FOptions(options), FBoardCount(options.Boards > 0 ? options.Boards : 1) {}

void Fixture::Begin(Clock::time_point start) {
  FNextIn = start + milliseconds(IsFixture() ? FOptions.FirstAfterMs : 0);
}

std::optional<Fixture::Clock::time_point> Fixture::OutTime(const Board &board) const {
  if (!IsFixture()) {
    return std::nullopt;
  }
  if (board.FinishAnswered) {
    return *board.FinishAnswered + milliseconds(FOptions.OutAfterMs);
  }
  if (board.FirstAnswer && !board.FinishDone) {
    return *board.FirstAnswer + milliseconds(FOptions.StayMs);
  }
  return std::nullopt;
}

std::optional<Fixture::Clock::time_point> Fixture::NextChange() const {
  if (FHeld) {
    return std::nullopt;
  }
  if (FPresent) {
    return OutTime(FBoards.back());
  }
  if (FBoards.size() < FBoardCount) {
    return FNextIn;
  }
  return std::nullopt;
}

std::vector<Fixture::Change> Fixture::Advance(Clock::time_point now) {
  std::vector<Change> changes;
  for (auto next = NextChange(); next && *next <= now; next = NextChange()) {
    if (FPresent) {
      FBoards.back().Out = *next;
      FPresent = false;
      FNextIn = *next + milliseconds(FOptions.GapMs);
      changes.push_back({FBoards.back().Number, false});
    } else {
      Board &board = FBoards.emplace_back();
      board.Number = static_cast<uint32_t>(FBoards.size());
      board.Rejected = FOptions.RejectedBoards.count(board.Number) != 0;
      board.In = *next;
      FPresent = true;
      changes.push_back({board.Number, true});
    }
  }
  return changes;
}

Board *Fixture::Present() {
  return FPresent ? &FBoards.back() : nullptr;
}

bool Fixture::Answers() const {
  return FPresent && !(IsFixture() && FBoards.back().FinishDone && !FOptions.AnswersAfterFinish);
}

void Fixture::IdentifyAnswered(Clock::time_point at) {
  if (FPresent && !FBoards.back().FirstAnswer) {
    FBoards.back().FirstAnswer = at;
  }
}

void Fixture::FinishAnswered(Clock::time_point at) {
  if (FPresent && FBoards.back().FinishDone && !FBoards.back().FinishAnswered) {
    FBoards.back().FinishAnswered = at;
  }
}

bool Fixture::Done() const {
  return IsFixture() && !FPresent && FBoards.size() == FBoardCount;
}

} // namespace sim
