#include "cli/Signals.h"

#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "link/serial/SerialPort.h"

namespace {
volatile std::sig_atomic_t gInterrupts = 0;
volatile std::sig_atomic_t gTransferring = 0;
volatile std::sig_atomic_t gCounted = 0;

#ifdef SIGHUP
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#else
constexpr int kStopSignals[] = {SIGINT, SIGTERM};
#endif

extern "C" void OnInterrupt(int signal) {
  // Windows puts the default handling back before each call.
  std::signal(signal, OnInterrupt);
  if (gInterrupts == 0) {
    gInterrupts = 1;
    if (gTransferring)
      WriteStandardErrorNow("\nInterrupted: finishing the page in progress, then stopping "
                            "(Ctrl-C again stops at once).\n");
    return;
  }
  RestoreOpenPortSettings();
  WriteStandardErrorNow(gTransferring
                            ? "\nStopped at once: the device holds a partial page (nothing of "
                              "it is written to flash before its WritePage).\n"
                            : "\nCancelled.\n");
  EndProgramNow(kExitCancelled);
}

extern "C" void OnCountedSignal(int signal) {
  std::signal(signal, OnCountedSignal);
  gCounted = gCounted + 1;
}
extern "C" void OnImmediateInterrupt(int) {
  WriteStandardErrorNow("\nCancelled.\n");
  EndProgramNow(kExitCancelled);
}
} // namespace

void InstallImmediateInterrupt() {
  HandleStopSignals(OnImmediateInterrupt);
}

void InstallInterruptFlag() {
  HandleStopSignals(OnInterrupt);
}

bool Interrupted() {
  return gInterrupts != 0;
}

void SetTransferring(bool transferring) {
  gTransferring = transferring ? 1 : 0;
}

CountedStopSignals::CountedStopSignals() {
  static_assert(std::size(kStopSignals) == kSignals);
  gCounted = 0;
  for (size_t i = 0; i < kSignals; ++i)
    FPrevious[i] = std::signal(kStopSignals[i], OnCountedSignal);
}

CountedStopSignals::~CountedStopSignals() {
  for (size_t i = 0; i < kSignals; ++i)
    std::signal(kStopSignals[i], FPrevious[i]);
}

int CountedStopSignals::Count() const {
  return gCounted;
}
