// What the fuzz targets share besides the tests' scripted port and clock
// (link/FakeSerial.h): the check that turns a broken promise into a crash
// libFuzzer records, and a recorder for the message boxes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/Clock.h"
#include "link/FakeSerial.h"
#include "link/serial/SerialPort.h"
#include "runtime/Hooks.h"

// A finding: say which promise broke and stop, so the input is kept.
#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);           \
      std::abort();                                                                                \
    }                                                                                              \
  } while (0)

// COM1 is the fuzzed line; no other port exists.
inline std::shared_ptr<FakePlatform> SinglePortPlatform(std::shared_ptr<FakeLine> line) {
  auto platform = std::make_shared<FakePlatform>();
  platform->Lines[1] = std::move(line);
  return platform;
}

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
