// The host's end of the virtual device, made of plain POSIX calls and frames
// built by hand: nothing of the link is used, so the two sides stay
// independent.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A request frame: length, address, 01 00, command, payload, checksum.
Bytes Frame(uint8_t address, uint8_t command, const Bytes &payload = {});
// Sum of the bytes modulo 256.
uint8_t Sum(const Bytes &bytes);
// WriteBlock `index` whose 128 bytes are each different, derived from `fill`.
Bytes Block(uint8_t index, uint8_t fill);
Bytes WritePage(uint32_t address);
// What the device must hold after the blocks Block(0..11, fill).
Bytes PageContent(uint8_t fill);
// A whole file; empty when there is none.
Bytes ReadFile(const std::filesystem::path &path);

class HostSide {
public:
  // Opens the slave path read/write, non-blocking, without making it the
  // controlling terminal. Fails the current test when it cannot. With `echo`,
  // Ask expects each request back before its reply.
  explicit HostSide(const std::string &path, bool echo = false);
  ~HostSide();
  HostSide(const HostSide &) = delete;
  HostSide &operator=(const HostSide &) = delete;

  // Writes all of `bytes`, or stops where the device has hung up.
  void Send(const Bytes &bytes);
  // Reads until `count` bytes have come or `timeout` has passed; returns what
  // came.
  Bytes Read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Whatever comes within `wait` (to prove that nothing more comes).
  Bytes ReadFor(std::chrono::milliseconds wait);
  // Sends `request` and reads its echo (if any) and a reply of `replyLength`
  // bytes; returns the reply, short or empty when it did not come in time.
  Bytes Ask(const Bytes &request, size_t replyLength,
            std::chrono::milliseconds timeout = std::chrono::milliseconds(300));
  // True when the device side has hung up (read gives end-of-file or EIO)
  // within `timeout`.
  bool SeesHangup(std::chrono::milliseconds timeout);
  // A read or a write has seen the hang-up.
  bool HungUp() const { return FHungUp; }
  void Close();

private:
  int FFd = -1;
  bool FEcho = false;
  bool FHungUp = false;
};

// A host's repeat mode in small, for a fixture's boards.
// Polls Identify until a board answers; its 18-byte reply, or empty after
// `timeout` or a hang-up. `polls` counts the requests.
Bytes PollUntilAnswered(HostSide &host, std::chrono::milliseconds timeout, int *polls = nullptr);
// Polls Identify every 20 ms until one goes unanswered (the board is out, or
// runs its program); false while a board still answers at `timeout`.
bool PollUntilSilent(HostSide &host, std::chrono::milliseconds timeout);
// Blocks 0 to 11 of `fill`, WritePage `address`, Finish; true when each got
// a reply of status 0.
bool LoadPageAndFinish(HostSide &host, uint32_t address, uint8_t fill);
