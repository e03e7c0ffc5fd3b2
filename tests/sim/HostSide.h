// The host's end of the virtual device, made of plain POSIX calls and frames
// built by hand: nothing of the link is used, so the two sides stay
// independent.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A request frame: length, address, 01 00, command, payload, checksum.
Bytes Frame(uint8_t address, uint8_t command, const Bytes &payload = {});
// Sum of the bytes modulo 256.
uint8_t Sum(const Bytes &bytes);

class HostSide {
public:
  // Opens the slave path read/write, non-blocking, without making it the
  // controlling terminal. Fails the current test when it cannot.
  explicit HostSide(const std::string &path);
  ~HostSide();
  HostSide(const HostSide &) = delete;
  HostSide &operator=(const HostSide &) = delete;

  void Send(const Bytes &bytes);
  // Reads until `count` bytes have come or `timeout` has passed; returns what
  // came.
  Bytes Read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Whatever comes within `wait` (to prove that nothing more comes).
  Bytes ReadFor(std::chrono::milliseconds wait);
  // True when the device side has hung up (read gives end-of-file or EIO)
  // within `timeout`.
  bool SeesHangup(std::chrono::milliseconds timeout);
  void Close();

private:
  int fd_ = -1;
};
