// The link's counts of one run on a port, split at the moment the device
// answers: the polls of a device not yet switched on are the wait, not
// trouble on the line.
#pragma once

#include <cstdint>

#include "link/LinkStatistics.h"

class RunStatistics {
public:
  // `atStart`: the link's counts when the run began.
  explicit RunStatistics(const LinkStatistics &atStart = {});
  // A poll went unanswered; `now` is the link's count after it.
  void PollFailed(const LinkStatistics &now);
  // The device answered.
  void Answered() { FAnswered = true; }
  bool HasAnswered() const { return FAnswered; }
  // What the run counted since the device answered (all of it, if it never
  // did), with `now` the link's counts.
  LinkStatistics Since(const LinkStatistics &now) const;
  uint64_t UnansweredPolls() const { return FPolls; }

private:
  LinkStatistics FStart;
  LinkStatistics FLastPoll; // after the last unanswered poll
  uint64_t FPolls = 0;
  bool FAnswered = false;
};
