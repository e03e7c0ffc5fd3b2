// Where a board's own number goes in its image, and in what form.
//
// The number goes into consecutive instruction words from a program address
// (even, as the compiler and Intel HEX give it), two bytes in each word's
// low 16 bits (its low byte, then its middle byte), the way the compiler
// lays out constant data in program memory; each word's upper byte stays as
// the image has it. With the image's mapping (program address a is image
// byte (a / 2) * 3), byte k of the value is image byte
// ((address / 2) + k / 2) * 3 + k % 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "loader/FirmwareImage.h"

enum class SerialFormat {
  LittleEndian, // the number as Bytes bytes, least significant first
  Ascii,        // the number in decimal, leading zeros to Bytes characters
};

inline constexpr int kMaxLittleEndianBytes = 8;
inline constexpr int kMaxAsciiDigits = 20;

struct SerialLayout {
  uint32_t Address = 0; // program address of the first word
  int Bytes = 4;
  SerialFormat Format = SerialFormat::LittleEndian;
  uint64_t Start = 1; // the first number, when the journal has handed out none higher
  uint64_t Step = 1;
};

// What is wrong with `layout` for `image`, in words; empty when nothing is:
// an odd address, a size out of 1 ... 8 bytes (le) or 1 ... 20 characters
// (ascii), a step of 0, a start that does not fit, bytes outside the image's
// whole pages, in pages 2 to 4 (never sent) or in the first six bytes of
// page 1 (the device's reset vector goes there).
std::string CheckSerialLayout(const SerialLayout &layout, const FirmwareImage &image);

// The image offsets of the value's bytes, in order.
std::vector<size_t> SerialOffsets(const SerialLayout &layout);
// The page (from 1) that holds the value's first byte: the number is taken
// before its first block is sent.
int SerialPage(const SerialLayout &layout);

// The value of `number` in the layout's form; nothing when it does not fit.
std::optional<std::vector<uint8_t>> EncodeSerial(const SerialLayout &layout, uint64_t number);
// The number that `memory` (an image's layout) holds where the layout puts
// it; nothing when the bytes are no such number.
std::optional<uint64_t> DecodeSerial(const SerialLayout &layout,
                                     const std::vector<uint8_t> &memory);

// Writes `value`'s bytes that fall into page `page` (from 1) into `bytes`, a
// copy of that page.
void WriteSerial(const SerialLayout &layout, const std::vector<uint8_t> &value, int page,
                 PageBytes &bytes);

// "0x1200" or "4608": a program address; nothing for anything else.
std::optional<uint32_t> ParseProgramAddress(const std::string &text);
