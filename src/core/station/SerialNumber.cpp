#include "station/SerialNumber.h"

#include "station/Journal.h"

#include <algorithm>
#include <cstdlib>

namespace {
// The largest value of `bytes` bytes or `digits` decimal digits.
bool Fits(const SerialLayout &layout, uint64_t number) {
  if (layout.Format == SerialFormat::LittleEndian)
    return layout.Bytes >= kMaxLittleEndianBytes || number < (uint64_t{1} << (8 * layout.Bytes));
  uint64_t limit = 1;
  for (int digit = 0; digit < layout.Bytes; ++digit) {
    if (limit > UINT64_MAX / 10)
      return true; // 20 digits hold every 64-bit number
    limit *= 10;
  }
  return number < limit;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%06llX", static_cast<unsigned long long>(value));
  return text;
}
} // namespace

std::vector<size_t> SerialOffsets(const SerialLayout &layout) {
  std::vector<size_t> offsets;
  for (int k = 0; k < layout.Bytes; ++k)
    offsets.push_back((size_t{layout.Address} / 2 + static_cast<size_t>(k) / 2) * 3 +
                      static_cast<size_t>(k) % 2);
  return offsets;
}

int SerialPage(const SerialLayout &layout) {
  return static_cast<int>(SerialOffsets(layout).front() / kPageSize) + 1;
}

std::string CheckSerialLayout(const SerialLayout &layout, const FirmwareImage &image) {
  if (layout.Address % 2 != 0)
    return "--serial " + Hex(layout.Address) + " is odd: a program address of a word is even";
  const int most =
      layout.Format == SerialFormat::LittleEndian ? kMaxLittleEndianBytes : kMaxAsciiDigits;
  if (layout.Bytes < 1 || layout.Bytes > most)
    return "--serial-bytes " + std::to_string(layout.Bytes) + " is out of 1 ... " +
           std::to_string(most) + " for this format";
  if (layout.Step == 0)
    return "--serial-step must be 1 or more";
  if (!Fits(layout, layout.Start))
    return "--serial-start " + std::to_string(layout.Start) + " does not fit in " +
           std::to_string(layout.Bytes) +
           (layout.Format == SerialFormat::LittleEndian ? " bytes" : " digits");
  for (size_t offset : SerialOffsets(layout)) {
    const int page = static_cast<int>(offset / kPageSize) + 1;
    const std::string where =
        "program address " + Hex(offset / 3 * 2) + " (image byte " + std::to_string(offset) + ")";
    if (page > image.PageCount())
      return where + " is outside the image's " + std::to_string(image.PageCount()) +
             " whole pages";
    if (!FirmwareImage::IsPageSent(page))
      return where + " is in page " + std::to_string(page) +
             ": pages 2 to 4 are the bootloader's and never sent";
    if (offset < kResetVectorSize)
      return where + " is in the first six bytes of page 1: the device's reset vector goes there";
  }
  return {};
}

std::optional<std::vector<uint8_t>> EncodeSerial(const SerialLayout &layout, uint64_t number) {
  if (!Fits(layout, number))
    return std::nullopt;
  std::vector<uint8_t> value(static_cast<size_t>(layout.Bytes));
  if (layout.Format == SerialFormat::LittleEndian) {
    for (size_t k = 0; k < value.size(); ++k)
      value[k] = k < 8 ? static_cast<uint8_t>(number >> (8 * k)) : 0;
  } else {
    for (size_t k = value.size(); k-- > 0; number /= 10)
      value[k] = static_cast<uint8_t>('0' + number % 10);
  }
  return value;
}

std::optional<uint64_t> DecodeSerial(const SerialLayout &layout,
                                     const std::vector<uint8_t> &memory) {
  uint64_t number = 0;
  size_t k = 0;
  for (size_t offset : SerialOffsets(layout)) {
    if (offset >= memory.size())
      return std::nullopt;
    const uint8_t byte = memory[offset];
    if (layout.Format == SerialFormat::LittleEndian) {
      if (k < 8)
        number |= uint64_t{byte} << (8 * k);
    } else {
      if (byte < '0' || byte > '9')
        return std::nullopt;
      number = number * 10 + (byte - '0');
    }
    ++k;
  }
  return number;
}

void WriteSerial(const SerialLayout &layout, const std::vector<uint8_t> &value, int page,
                 PageBytes &bytes) {
  const std::vector<size_t> offsets = SerialOffsets(layout);
  for (size_t k = 0; k < offsets.size() && k < value.size(); ++k) {
    const size_t first = static_cast<size_t>(page - 1) * kPageSize;
    if (offsets[k] >= first && offsets[k] < first + kPageSize)
      bytes[offsets[k] - first] = value[k];
  }
}

std::optional<uint32_t> ParseProgramAddress(const std::string &text) {
  if (text.empty() || text[0] == '-' || text[0] == '+')
    return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char *end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  if (end != text.c_str() + text.size() || end == text.c_str() + (hex ? 2 : 0) ||
      value >= (uint64_t{1} << 24))
    return std::nullopt;
  return static_cast<uint32_t>(value);
}

uint64_t NextSerial(const std::optional<uint64_t> &highest, uint64_t start, uint64_t step,
                    const std::function<bool(uint64_t)> &fits, const std::string &journal) {
  uint64_t number = start;
  if (highest) {
    if (*highest > UINT64_MAX - step)
      throw EJournalError("The serial numbers of " + journal + " have run out.");
    number = std::max(*highest + step, start);
  }
  if (fits && !fits(number))
    throw EJournalError("The serial numbers of " + journal +
                        " have run out: " + std::to_string(number) + " does not fit.");
  return number;
}
