#include "cli/SerialOptions.h"

#include <cstdio>
#include <iostream>

CLI::Option *AddSerialOptions(CLI::App &command, SerialOptions &options) {
  auto *serial = command.add_option(
      "--serial", options.Address,
      "Write a number of its own into every board, at this program address (even; 0x hex or "
      "decimal): two bytes in the low 16 bits of each instruction word from there");
  serial->type_name("ADDR");
  command
      .add_option("--serial-start", options.Start,
                  "The first number, when the journal has handed out none as high")
      ->needs(serial)
      ->type_name("N")
      ->capture_default_str();
  command.add_option("--serial-step", options.Step, "How far one number is from the next")
      ->needs(serial)
      ->type_name("S")
      ->capture_default_str();
  command
      .add_option("--serial-bytes", options.Bytes,
                  "le: bytes of the number (1 ... 8); ascii: its characters (1 ... 20)")
      ->needs(serial)
      ->type_name("B")
      ->capture_default_str();
  command
      .add_option("--serial-format", options.Format,
                  "le: least significant byte first; ascii: decimal digits, leading zeros")
      ->needs(serial)
      ->check(CLI::IsMember({"le", "ascii"}))
      ->capture_default_str();
  return serial;
}

std::optional<SerialLayout> SerialLayoutFor(const SerialOptions &options,
                                            const FirmwareImage &image) {
  const std::optional<uint32_t> address = ParseProgramAddress(options.Address);
  if (!address) {
    std::cerr << "--serial: '" << options.Address
              << "' is not a program address (0x hex or decimal, below 0x1000000)." << std::endl;
    return std::nullopt;
  }
  SerialLayout layout;
  layout.Address = *address;
  layout.Bytes = options.Bytes;
  layout.Format = options.Format == "ascii" ? SerialFormat::Ascii : SerialFormat::LittleEndian;
  layout.Start = options.Start;
  layout.Step = options.Step;
  if (const std::string problem = CheckSerialLayout(layout, image); !problem.empty()) {
    std::cerr << problem << "." << std::endl;
    return std::nullopt;
  }
  return layout;
}

std::vector<std::string> SerialArguments(const SerialOptions &options) {
  return {"--serial",        options.Address,
          "--serial-start",  std::to_string(options.Start),
          "--serial-step",   std::to_string(options.Step),
          "--serial-bytes",  std::to_string(options.Bytes),
          "--serial-format", options.Format};
}

std::string DescribeSerialPlace(const SerialLayout &layout) {
  const std::vector<size_t> offsets = SerialOffsets(layout);
  std::string text = "image bytes";
  for (size_t i = 0; i < offsets.size(); ++i)
    text += (i ? ", " : " ") + std::to_string(offsets[i]);
  char where[96];
  std::snprintf(where, sizeof where, " (program addresses 0x%06zX ... 0x%06zX, page %d)",
                offsets.front() / 3 * 2, offsets.back() / 3 * 2, SerialPage(layout));
  return text + where;
}
