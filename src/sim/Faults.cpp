#include "sim/Faults.h"

#include "sim/Framing.h"

namespace sim {

Faults::Faults(const DeviceOptions &options) : FOptions(options), FRandom(options.Seed) {}

void Faults::NewBoard(uint32_t board) {
  FBoard = board;
  FIdentifyPolls = 0;
  FOccurrences.clear();
}

FaultDecision Faults::Decide(uint32_t number, uint8_t command, bool isQuery) {
  FaultDecision decision;
  const uint32_t occurrence = ++FOccurrences[command];
  if (command == kCommandIdentify && !isQuery && ++FIdentifyPolls <= FOptions.SilentPolls) {
    decision.Silent = true;
    decision.Note += ", silent poll";
  }
  const auto &noReply = FOptions.NoReply;
  if (noReply && noReply->Command == command &&
      (noReply->Occurrence == 0 ||
       (occurrence >= noReply->Occurrence && occurrence - noReply->Occurrence < noReply->Count))) {
    decision.Silent = true;
    decision.Note += ", no reply";
  }
  const auto &boardHangup = FOptions.Fixture.Hangup;
  decision.HangUp = (FOptions.HangupAfter && number >= *FOptions.HangupAfter) ||
                    (boardHangup && FBoard == boardHangup->Board && number >= boardHangup->Frame);

  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const bool busyDraw = FOptions.BusyRate > 0.0 && unit(FRandom) < FOptions.BusyRate;
  const bool damageDraw = FOptions.DamageRate > 0.0 && unit(FRandom) < FOptions.DamageRate;
  decision.Busy =
      !decision.Silent && (busyDraw || FOptions.BusyFrames.count(number) != 0 ||
                           (FOptions.BusyBurstLength > 0 && number >= FOptions.BusyBurstStart &&
                            number - FOptions.BusyBurstStart < FOptions.BusyBurstLength));
  decision.Damaged = damageDraw || FOptions.DamageFrames.count(number) != 0;
  if (decision.Busy) {
    decision.Note += ", busy";
  }
  return decision;
}

} // namespace sim
