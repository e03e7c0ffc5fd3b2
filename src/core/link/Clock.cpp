#include "link/Clock.h"

#include <chrono>
#include <thread>

namespace {
class SteadyClock final : public LinkClock {
public:
  uint64_t TickCount() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  void Sleep(uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
};
} // namespace

LinkClock &SystemClock() {
  static SteadyClock clock;
  return clock;
}
