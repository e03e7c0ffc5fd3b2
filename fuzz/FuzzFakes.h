// What the fuzz targets share: a clock that moves only when the link waits, a
// serial line whose device side the target scripts, and the check that turns
// a broken promise into a crash libFuzzer records.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Hooks.h"
#include "link/Clock.h"
#include "link/serial/SerialPort.h"

using Bytes = std::vector<uint8_t>;

// A finding: say which promise broke and stop, so the input is kept.
#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);           \
      std::abort();                                                                                \
    }                                                                                              \
  } while (0)

// No real time passes: the clock moves when the link sleeps or waits on the port.
class FuzzClock : public LinkClock {
public:
  uint64_t TickCount() override { return Now; }
  void Sleep(uint32_t milliseconds) override { Now += milliseconds; }
  uint64_t Now = 1000;
};

struct TimedByte {
  uint64_t At;
  uint8_t Value;
};

// The line between the port and the device: bytes in flight with the time each
// arrives, and what the host wrote.
struct FuzzLine {
  explicit FuzzLine(FuzzClock &clock) : Clock(clock) {}

  FuzzClock &Clock;
  bool Echo = false;   // every written byte comes back at once (RS-485)
  bool HungUp = false; // reads report a device that is gone
  std::deque<TimedByte> Incoming;
  std::vector<Bytes> Writes;
  // Called with every request after its echo has been queued.
  std::function<void(const Bytes &request)> Device;

  void Arrive(const Bytes &bytes, uint64_t delay) {
    for (uint8_t b : bytes)
      Incoming.push_back({Clock.Now + delay, b});
  }
};

class FuzzPort : public SerialPort {
public:
  explicit FuzzPort(std::shared_ptr<FuzzLine> line) : Line(std::move(line)) {}
  bool GetState(LineSettings &settings) override {
    settings = State;
    return true;
  }
  bool SetState(const LineSettings &settings) override {
    State = settings;
    return true;
  }
  bool SetQueues(uint32_t, uint32_t) override { return true; }
  bool SetReadsReturnAtOnce() override { return true; }
  bool SetDTR() override { return true; }
  bool SetRTS() override { return true; }
  bool ClearRTS() override { return true; }
  bool PurgeInput() override {
    // Only what has arrived is dropped; bytes still in flight come later.
    std::erase_if(Line->Incoming, [&](const TimedByte &b) { return b.At <= Line->Clock.Now; });
    return true;
  }
  bool PurgeOutput() override { return true; }
  ReadResult ReadByte(uint8_t &byte) override {
    if (!Line->Incoming.empty() && Line->Incoming.front().At <= Line->Clock.Now) {
      byte = Line->Incoming.front().Value;
      Line->Incoming.pop_front();
      return ReadResult::Byte;
    }
    return Line->HungUp ? ReadResult::HungUp : ReadResult::None;
  }
  bool Write(const uint8_t *data, size_t count) override {
    Bytes request(data, data + count);
    Line->Writes.push_back(request);
    if (Line->Echo)
      Line->Arrive(request, 0);
    if (Line->Device)
      Line->Device(request);
    return true;
  }
  void WaitReadable(int milliseconds) override {
    FUZZ_CHECK(milliseconds > 0); // a wait of nothing would spin
    Line->Clock.Now += static_cast<uint64_t>(milliseconds);
  }

private:
  std::shared_ptr<FuzzLine> Line;
  LineSettings State{19200, 8, 0, 0};
};

// COM1 is the fuzzed line; no other port exists.
class FuzzPlatform : public SerialPlatform {
public:
  explicit FuzzPlatform(std::shared_ptr<FuzzLine> line) : Line(std::move(line)) {}
  bool Probe(int n) override { return n == 1; }
  std::unique_ptr<SerialPort> Open(int n) override {
    return n == 1 ? std::make_unique<FuzzPort>(Line) : nullptr;
  }
  std::string DevicePath(int n) override { return n == 1 ? "/dev/fuzz" : std::string(); }

private:
  std::shared_ptr<FuzzLine> Line;
};

// Message boxes answered from the input; what they showed is kept.
class FuzzPresenter : public MessagePresenter {
public:
  void Error(const std::string &text) override { Errors.push_back(text); }
  void Info(const std::string &text) override { Infos.push_back(text); }
  uint16_t YesNo(const std::string &) override { return Answer; }
  std::vector<std::string> Errors, Infos;
  uint16_t Answer = kNo;
};

inline unsigned ByteSum(const uint8_t *data, size_t count) {
  unsigned sum = 0;
  for (size_t i = 0; i < count; ++i)
    sum += data[i];
  return sum;
}

// A reply frame: length, address, 01 00, status, data, checksum.
inline Bytes ReplyFrame(uint8_t status, const Bytes &data, uint8_t address) {
  Bytes frame{0, address, 0x01, 0x00, status};
  frame.insert(frame.end(), data.begin(), data.end());
  frame[0] = static_cast<uint8_t>(frame.size() + 1);
  frame.push_back(static_cast<uint8_t>((256 - ByteSum(frame.data(), frame.size()) % 256) % 256));
  return frame;
}
