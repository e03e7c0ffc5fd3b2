#include "sim/Pacing.h"

#include "sim/Framing.h"

#include <algorithm>

namespace sim {

Pacing::Clock::duration Pacing::ByteTime() const {
  if (FOptions.PaceBaud == 0) {
    return Clock::duration::zero();
  }
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(int64_t{kBitsPerByte} * 1'000'000'000 / FOptions.PaceBaud));
}

Pacing::Clock::duration Pacing::ResyncGap() const {
  return std::max<Clock::duration>(kResyncGap, 2 * ByteTime());
}

Pacing::Clock::time_point Pacing::Arrival(Clock::time_point readTime) {
  auto arrival = readTime;
  if (FOptions.PaceBaud != 0) {
    arrival = std::max(readTime, FLastArrival) + ByteTime();
  }
  FLastArrival = arrival;
  return arrival;
}

void Pacing::Echo(Clock::time_point arrival, uint8_t byte) {
  FOut.emplace(arrival, byte);
}

Pacing::Clock::time_point Pacing::ReplyStart(Clock::time_point lastArrival, bool writePage) const {
  auto start = lastArrival;
  if (FOptions.PaceBaud == 0) {
    start = std::max(start, Clock::now());
  }
  if (writePage) {
    start += std::chrono::milliseconds(FOptions.WriteDelayMs);
  }
  return start;
}

void Pacing::Reply(Clock::time_point start, const std::vector<uint8_t> &reply) {
  for (size_t j = 0; j < reply.size(); ++j) {
    auto at = FOptions.PaceBaud == 0
                  ? start
                  : start + static_cast<Clock::duration::rep>(j + 1) * ByteTime();
    FOut.emplace(at, reply[j]);
  }
}

void Pacing::NextHandover(Queue::const_iterator first, Clock::time_point &at, size_t &count) const {
  at = first->first;
  count = 1;
  if (FOptions.AdapterLatencyMs == 0) {
    return;
  }
  // Full when its last byte arrives, else when the latency timer runs out.
  const auto timerEnd = first->first + std::chrono::milliseconds(FOptions.AdapterLatencyMs);
  auto it = std::next(first);
  while (count < kAdapterPacketBytes && it != FOut.end() && it->first <= timerEnd) {
    ++count;
    ++it;
  }
  at = count == kAdapterPacketBytes ? std::prev(it)->first : timerEnd;
}

std::optional<Pacing::Clock::time_point> Pacing::NextHandover() const {
  if (FOut.empty()) {
    return std::nullopt;
  }
  Clock::time_point at;
  size_t count = 0;
  NextHandover(FOut.begin(), at, count);
  return at;
}

std::vector<uint8_t> Pacing::Due(Clock::time_point now) const {
  std::vector<uint8_t> due;
  for (auto it = FOut.cbegin(); it != FOut.cend();) {
    Clock::time_point at;
    size_t count = 0;
    NextHandover(it, at, count);
    if (at > now) {
      break;
    }
    for (; count > 0; --count, ++it) {
      due.push_back(it->second);
    }
  }
  return due;
}

void Pacing::Handed(size_t count) {
  FOut.erase(FOut.begin(), std::next(FOut.begin(), static_cast<long>(count)));
}

} // namespace sim
