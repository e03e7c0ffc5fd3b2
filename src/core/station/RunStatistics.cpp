#include "station/RunStatistics.h"

RunStatistics::RunStatistics(const LinkStatistics &atStart) : FStart(atStart), FLastPoll(atStart) {}

void RunStatistics::PollFailed(const LinkStatistics &now) {
  ++FPolls;
  if (!FAnswered)
    FLastPoll = now;
}

LinkStatistics RunStatistics::Since(const LinkStatistics &now) const {
  // A device that never answered: how its polls failed is the whole story.
  return now.Since(FAnswered ? FLastPoll : FStart);
}
