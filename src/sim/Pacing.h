// The wire model: how long the line takes to carry a byte, when a request's
// bytes have arrived, when the reply's bytes arrive, and when what the device
// sends reaches the host through a USB serial adapter that holds it in
// packets. The rules are DeviceOptions' PaceBaud, WriteDelayMs and
// AdapterLatencyMs.
#pragma once

#include "sim/DeviceOptions.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace sim {

// Data bytes in one USB packet of an FTDI-type adapter (64, less 2 of status).
constexpr size_t kAdapterPacketBytes = 62;
// Start, 8 data, 2 stop.
constexpr int kBitsPerByte = 11;

// The bytes on their way to the host. Not thread-safe: one owner.
class Pacing {
public:
  using Clock = std::chrono::steady_clock;

  // Keeps a reference: `options` outlives it.
  explicit Pacing(const DeviceOptions &options) : FOptions(options) {}

  // One byte on the wire at the pace baud; zero when not paced.
  Clock::duration ByteTime() const;
  // The longest pause inside a frame: 50 ms, or two byte times if longer.
  Clock::duration ResyncGap() const;

  // When a byte read at `readTime` has arrived: one byte time after the line
  // was free, which is when it was written (read here) or when the byte
  // before it had arrived, whichever is later. Not paced: at once.
  Clock::time_point Arrival(Clock::time_point readTime);
  // Queues the echo of a byte that arrived at `arrival`.
  void Echo(Clock::time_point arrival, uint8_t byte);
  // When the reply to a request whose last byte arrived at `lastArrival`
  // starts; `writePage` adds the device's write delay.
  Clock::time_point ReplyStart(Clock::time_point lastArrival, bool writePage) const;
  // Queues a reply starting at `start`: byte j arrives one byte time after
  // byte j-1 (all at `start` when not paced).
  void Reply(Clock::time_point start, const std::vector<uint8_t> &reply);

  bool Idle() const { return FOut.empty(); }
  // When the next bytes reach the host; nothing while the queue is empty.
  std::optional<Clock::time_point> NextHandover() const;
  // The bytes that have reached the host by `now`, in order; they stay
  // queued until Handed.
  std::vector<uint8_t> Due(Clock::time_point now) const;
  // The first `count` queued bytes have been handed to the host.
  void Handed(size_t count);
  // The line is gone: nothing more reaches the host.
  void Clear() { FOut.clear(); }

private:
  using Queue = std::multimap<Clock::time_point, uint8_t>;
  // When the bytes from `first` on next reach the host, and how many of them
  // go then: one at its arrival, or a packet of the adapter model.
  void NextHandover(Queue::const_iterator first, Clock::time_point &at, size_t &count) const;

  const DeviceOptions &FOptions;
  Queue FOut;
  Clock::time_point FLastArrival{};
};

} // namespace sim
