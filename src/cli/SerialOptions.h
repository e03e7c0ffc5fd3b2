// The options that write a number of its own into every board (--serial and
// the rest), shared by load and info.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>

#include "station/SerialNumber.h"

struct SerialOptions {
  std::string Address; // empty: no number is written
  uint64_t Start = 1;
  uint64_t Step = 1;
  int Bytes = 4;
  std::string Format = "le";
};

// --serial ADDR, --serial-start, --serial-step, --serial-bytes, --serial-format.
CLI::Option *AddSerialOptions(CLI::App &command, SerialOptions &options);
// The layout the options give for `image`; nothing after saying why on
// stderr (a usage error: an odd or unreadable address, a size or number out
// of range, bytes outside the image, in pages 2 to 4 or in the reset vector).
std::optional<SerialLayout> SerialLayoutFor(const SerialOptions &options,
                                            const FirmwareImage &image);
// The options as a command line gives them, for a gang's children.
std::vector<std::string> SerialArguments(const SerialOptions &options);
// Where the value's bytes go: "image bytes 7680, 7681, 7683, 7684 (program
// addresses 0x001400 ... 0x001402, page 6)".
std::string DescribeSerialPlace(const SerialLayout &layout);
