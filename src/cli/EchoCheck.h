// Tells from the frames the link sees whether the line mode suits the device:
// a device that echoes on a line set up without echo, or one that does not
// echo on the RS-485 line that expects it. It only watches; the frames on the
// wire stay as the line mode makes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/Zor_RS232.h"

extern const char *const SDeviceEchoes;      // "the device echoes: use --line-mode 2"
extern const char *const SDeviceDoesNotEcho; // "the device does not echo: use --line-mode 0"

class EchoCheck {
public:
  explicit EchoCheck(uint8_t lineMode) : FLineMode(lineMode) {}

  // Sees one traced frame. Answers the advice the first time the frames show
  // that the line mode does not suit the device, and nothing ever after.
  std::optional<std::string> See(FrameDirection direction, const uint8_t *data, size_t count);

private:
  uint8_t FLineMode;
  std::vector<uint8_t> FRequest;
  bool FSaid = false;
};
