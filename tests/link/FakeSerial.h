// A scripted serial port and clock for link tests and fuzz targets: the caller
// decides what the device answers to each request and how time passes, so
// waits, retries and pauses can be checked exactly without real time.
#pragma once

#include <algorithm>
#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "link/serial/SerialPort.h"

using Bytes = std::vector<uint8_t>;

// A clock that moves only when the link waits or pauses.
class FakeClock : public LinkClock {
public:
  uint64_t TickCount() override { return Now; }
  void Sleep(uint32_t milliseconds) override {
    Pauses.push_back(milliseconds);
    Now += milliseconds;
  }
  uint64_t Now = 1000;
  std::vector<uint32_t> Pauses;
};

// One byte that arrives at a given time.
struct TimedByte {
  uint64_t At;
  uint8_t Value;
  bool Echoed = false; // our own byte returned by the line, not the device's
};

// What the port saw and what it holds for the link to read.
struct FakeLine {
  FakeClock *Clock = nullptr;
  bool Echo = false; // the line returns every written byte (RS-485)
  uint64_t EchoDelayMs = 0;
  bool HungUp = false; // the device is gone
  // The port's LastError: why it hung up, or why it refuses writes.
  PortError Error;
  // Writes are refused with Error. One with a Code from the system ends the
  // port as a hang-up does; one with Code 0 (the port gave up) leaves it open.
  bool RefuseWrites = false;
  std::vector<Bytes> Writes;  // handed to the driver: what went on the wire
  std::vector<Bytes> Refused; // offered but refused
  std::deque<TimedByte> Incoming;
  std::vector<TimedByte> Read; // what the link has read, in order
  LineSettings State{9600, 8, 0, 0};
  std::vector<uint32_t> RefusedRates;
  int Waits = 0;     // calls of WaitReadable
  int ZeroWaits = 0; // of them, waits of no time: a caller that would spin
  int DTRRaised = 0, RTSRaised = 0, RTSCleared = 0, InputPurges = 0, OutputPurges = 0;
  // Answers each request; the answer's bytes arrive `ReplyDelayMs` after it.
  std::function<Bytes(const Bytes &request)> Device;
  uint64_t ReplyDelayMs = 1;

  void Arrive(const Bytes &bytes, uint64_t delay, bool echoed = false) {
    for (uint8_t b : bytes)
      Incoming.push_back({Clock->Now + delay, b, echoed});
  }
};

class FakePort : public SerialPort {
public:
  explicit FakePort(std::shared_ptr<FakeLine> line) : FLine(std::move(line)) {}
  bool GetState(LineSettings &settings) override {
    settings = FLine->State;
    return true;
  }
  bool SetState(const LineSettings &settings) override {
    for (uint32_t refused : FLine->RefusedRates)
      if (settings.BaudRate == refused) {
        FLine->Error = {PortFault::Other, EINVAL, "EINVAL", "Invalid argument"};
        return false;
      }
    FLine->State = settings;
    return true;
  }
  bool SetQueues(uint32_t, uint32_t) override { return true; }
  bool SetReadsReturnAtOnce() override { return true; }
  bool SetDTR() override { return ++FLine->DTRRaised, true; }
  bool SetRTS() override { return ++FLine->RTSRaised, true; }
  bool ClearRTS() override { return ++FLine->RTSCleared, true; }
  bool PurgeInput() override {
    ++FLine->InputPurges;
    // Only what has already arrived is discarded.
    std::erase_if(FLine->Incoming, [&](const TimedByte &b) { return b.At <= FLine->Clock->Now; });
    return true;
  }
  bool PurgeOutput() override { return ++FLine->OutputPurges, true; }
  ReadResult ReadByte(uint8_t &byte) override {
    if (!FLine->Incoming.empty() && FLine->Incoming.front().At <= FLine->Clock->Now) {
      byte = FLine->Incoming.front().Value;
      FLine->Read.push_back(FLine->Incoming.front());
      FLine->Incoming.pop_front();
      return ReadResult::Byte;
    }
    return FLine->HungUp ? ReadResult::HungUp : ReadResult::None;
  }
  bool Write(const uint8_t *data, size_t count) override {
    Bytes request(data, data + count);
    if (FLine->RefuseWrites) {
      FLine->Refused.push_back(request);
      FLine->HungUp = FLine->HungUp || FLine->Error.Code != 0;
      return false;
    }
    FLine->Writes.push_back(request);
    if (FLine->Echo)
      FLine->Arrive(request, FLine->EchoDelayMs, true);
    if (FLine->Device)
      FLine->Arrive(FLine->Device(request), FLine->ReplyDelayMs);
    return true;
  }
  // Returns at the first byte's arrival, like a real port, or when the time is up.
  void WaitReadable(int milliseconds) override {
    ++FLine->Waits;
    if (milliseconds <= 0)
      ++FLine->ZeroWaits;
    uint64_t until = FLine->Clock->Now + milliseconds;
    if (!FLine->Incoming.empty())
      until = std::min(until, std::max(FLine->Incoming.front().At, FLine->Clock->Now));
    FLine->Clock->Now = until;
  }
  const PortError &LastError() const override { return FLine->Error; }

private:
  std::shared_ptr<FakeLine> FLine;
};

// Ports by number; those in `Lines` are present.
class FakePlatform : public SerialPlatform {
public:
  bool Probe(int n) override { return Lines.count(n) && !Busy.count(n); }
  std::unique_ptr<SerialPort> Open(int n) override {
    ++Opens[n];
    if (!Lines.count(n) || Busy.count(n))
      return nullptr;
    return std::make_unique<FakePort>(Lines[n]);
  }
  std::string DevicePath(int n) override { return "/dev/fake" + std::to_string(n); }

  std::map<int, std::shared_ptr<FakeLine>> Lines;
  std::map<int, bool> Busy;
  std::map<int, int> Opens;
};

// A reply frame from the device: length, address, 01 00, status, data, checksum.
inline Bytes ReplyFrame(uint8_t status, const Bytes &data = {}, uint8_t address = 251) {
  Bytes frame{static_cast<uint8_t>(data.size() + 6), address, 0x01, 0x00, status};
  for (uint8_t b : data)
    frame.push_back(b);
  unsigned sum = 0;
  for (uint8_t b : frame)
    sum += b;
  frame.push_back(static_cast<uint8_t>((256 - sum % 256) % 256));
  return frame;
}
