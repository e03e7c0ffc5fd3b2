#include "loader/IntelHex.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {
constexpr uint8_t kRecordData = 0x00;
constexpr uint8_t kRecordEnd = 0x01;
constexpr uint8_t kRecordSegmentAddress = 0x02;
constexpr uint8_t kRecordStartSegment = 0x03;
constexpr uint8_t kRecordLinearAddress = 0x04;
constexpr uint8_t kRecordStartLinear = 0x05;

constexpr size_t kHexBytesPerWord = 4; // low, middle, upper, phantom
constexpr size_t kImageBytesPerWord = 3;
constexpr size_t kPhantomIndex = 3;
// The largest file read: all of program memory written one data byte to a
// record, the longest form a file of it can take, fits well within this.
constexpr uint64_t kMaxHexFileBytes = uint64_t{256} * 1024 * 1024;
constexpr size_t kWordsPerPage = kPageSize / kImageBytesPerWord;
// Length, address (2), type and checksum around the data.
constexpr size_t kRecordOverhead = 5;
constexpr size_t kUnpackWordsPerRecord = 4;
constexpr uint8_t kErased = 0xFF;

// The value of each character as a hexadecimal digit, -1 for any other.
constexpr std::array<int8_t, 256> kDigitValues = [] {
  std::array<int8_t, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 10; ++i)
    values['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    values['A' + i] = static_cast<int8_t>(10 + i);
    values['a' + i] = static_cast<int8_t>(10 + i);
  }
  return values;
}();

int HexDigit(char c) {
  return kDigitValues[static_cast<unsigned char>(c)];
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
  return text;
}

struct Record {
  uint8_t Type = 0;
  uint16_t Offset = 0;
  std::array<uint8_t, 255> Data; // the first Length bytes
  size_t Length = 0;
};

// One line's record, checked digit by digit and by its checksum.
Record ParseRecord(std::string_view line, int lineNumber) {
  if (line.front() != ':')
    throw EHexFileError(lineNumber, "not a record (a record begins with ':')");
  const std::string_view digits = line.substr(1);
  if (digits.size() % 2 != 0)
    throw EHexFileError(lineNumber, "not a record (an odd number of hexadecimal digits)");
  if (digits.size() < 2 * kRecordOverhead)
    throw EHexFileError(lineNumber, "not a record (too short)");
  std::array<uint8_t, 255 + kRecordOverhead> bytes; // the first `count` bytes
  const size_t count = digits.size() / 2;
  if (count > bytes.size())
    throw EHexFileError(lineNumber, "not a record (longer than any record can be)");
  for (size_t i = 0; i < count; ++i) {
    const int high = HexDigit(digits[2 * i]);
    const int low = HexDigit(digits[2 * i + 1]);
    if (high < 0 || low < 0)
      throw EHexFileError(lineNumber, "not a record (a character that is not a hexadecimal digit)");
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  Record record;
  record.Length = bytes[0];
  if (count != record.Length + kRecordOverhead)
    throw EHexFileError(lineNumber, "bad record: it announces " + std::to_string(record.Length) +
                                        " data bytes but holds " +
                                        std::to_string(count - kRecordOverhead));
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i)
    sum = static_cast<uint8_t>(sum + bytes[i]);
  if (sum != 0) {
    const uint8_t given = bytes[count - 1];
    throw EHexFileError(lineNumber, "bad record checksum (" + Hex2(given) + " given, " +
                                        Hex2(given - sum) + " expected)");
  }
  record.Offset = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
  record.Type = bytes[3];
  std::copy(bytes.begin() + 4, bytes.begin() + 4 + record.Length, record.Data.begin());
  return record;
}

// Builds the image while the records are read, and gathers the warnings.
class Packer {
public:
  void Place(uint64_t hexAddress, uint8_t value, int line) {
    const uint64_t word = hexAddress / kHexBytesPerWord;
    const size_t index = hexAddress % kHexBytesPerWord;
    const uint64_t address = word * 2;
    if (address >= kConfigurationStart) {
      Warn(HexWarningKind::ConfigurationMemory, address, line);
      return;
    }
    if (address >= kDataEepromStart) {
      Warn(HexWarningKind::DataEeprom, address, line);
      return;
    }
    if (address >= FirmwareImage::PageAddress(2) && address < FirmwareImage::PageAddress(5))
      Warn(HexWarningKind::BootloaderPages, address, line);
    if (index == kPhantomIndex) {
      if (value != 0)
        Warn(HexWarningKind::PhantomByte, address, line);
      return;
    }
    const size_t at = static_cast<size_t>(word) * kImageBytesPerWord + index;
    if (at >= FBytes.size())
      FBytes.resize((at / kPageSize + 1) * kPageSize, kErased);
    FBytes[at] = value;
  }

  PackedHex Finish(std::optional<uint8_t> deviceCode) {
    if (FBytes.empty())
      FWarnings.push_back(HexWarning{HexWarningKind::NoProgramWords});
    if (deviceCode)
      FBytes.insert(FBytes.end(), {*deviceCode, kVersionMark, 0});
    return {FirmwareImage(std::move(FBytes)), std::move(FWarnings)};
  }

private:
  // One warning per kind, spanning every line and word of that kind: a
  // scattered fault does not flood the reader.
  void Warn(HexWarningKind kind, uint64_t address, int line) {
    const auto a = static_cast<uint32_t>(address);
    std::optional<size_t> &index = FIndex[static_cast<size_t>(kind)];
    if (!index) {
      index = FWarnings.size();
      FWarnings.push_back(HexWarning{kind, line, line, a, a, 0});
    }
    HexWarning &warning = FWarnings[*index];
    warning.FirstLine = std::min(warning.FirstLine, line);
    warning.LastLine = std::max(warning.LastLine, line);
    warning.FirstAddress = std::min(warning.FirstAddress, a);
    warning.LastAddress = std::max(warning.LastAddress, a);
    ++warning.Bytes;
  }

  std::vector<uint8_t> FBytes;
  std::vector<HexWarning> FWarnings;
  // The warning of each kind, by its place in Warnings.
  std::array<std::optional<size_t>, static_cast<size_t>(HexWarningKind::NoProgramWords) + 1>
      FIndex{};
};

void AppendRecord(std::string &out, uint8_t type, uint16_t offset, const uint8_t *data,
                  size_t length) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  uint8_t sum = 0;
  const auto put = [&](uint8_t byte) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
    sum = static_cast<uint8_t>(sum + byte);
  };
  out += ':';
  put(static_cast<uint8_t>(length));
  put(static_cast<uint8_t>(offset >> 8));
  put(static_cast<uint8_t>(offset & 0xFF));
  put(type);
  for (size_t i = 0; i < length; ++i)
    put(data[i]);
  put(static_cast<uint8_t>(-sum));
  out += '\n';
}
} // namespace

EHexFileError::EHexFileError(int line, const std::string &problem)
    : Exception("line " + std::to_string(line) + ": " + problem), Line(line) {}

PackedHex PackIntelHex(std::string_view text, std::optional<uint8_t> deviceCode) {
  Packer packer;
  uint64_t base = 0;
  bool segmented = false; // offsets wrap within 64 KB after a segment record
  int lineNumber = 0;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = TrimBlanks(text.substr(start, end - start));
    start = end + 1;
    ++lineNumber;
    if (line.empty())
      continue;
    const Record record = ParseRecord(line, lineNumber);
    switch (record.Type) {
    case kRecordData:
      for (size_t i = 0; i < record.Length; ++i) {
        const uint64_t offset = segmented ? (record.Offset + i) & 0xFFFF : record.Offset + i;
        packer.Place(base + offset, record.Data[i], lineNumber);
      }
      break;
    case kRecordEnd:
      if (record.Length != 0)
        throw EHexFileError(lineNumber, "bad record: an end record holds no data");
      return packer.Finish(deviceCode);
    case kRecordSegmentAddress:
    case kRecordLinearAddress: {
      if (record.Length != 2)
        throw EHexFileError(lineNumber, "bad record: an address record holds 2 bytes");
      const uint64_t value = static_cast<uint64_t>(record.Data[0]) << 8 | record.Data[1];
      segmented = record.Type == kRecordSegmentAddress;
      base = segmented ? value << 4 : value << 16;
      break;
    }
    case kRecordStartSegment:
    case kRecordStartLinear:
      break;
    default:
      throw EHexFileError(lineNumber, "bad record: unknown record type " + Hex2(record.Type));
    }
  }
  throw EHexFileError(std::max(lineNumber, 1), "the file ends without an end record");
}

PackedHex PackIntelHexFile(const std::filesystem::path &path, std::optional<uint8_t> deviceCode) {
  const std::vector<uint8_t> bytes = ReadWholeFile(path, kMaxHexFileBytes);
  return PackIntelHex(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()),
                      deviceCode);
}

std::string UnpackIntelHex(const FirmwareImage &image) {
  std::string out;
  const std::vector<uint8_t> &bytes = image.Data();
  const size_t words = static_cast<size_t>(image.PageCount()) * kWordsPerPage;
  out.reserve(words * 12 + 32);
  std::optional<uint32_t> upper; // of the last extended linear address record
  std::array<uint8_t, kUnpackWordsPerRecord * kHexBytesPerWord> data{};
  size_t w = 0;
  while (w < words) {
    const auto erased = [&](size_t word) {
      const uint8_t *b = &bytes[word * kImageBytesPerWord];
      return b[0] == kErased && b[1] == kErased && b[2] == kErased;
    };
    if (erased(w)) {
      ++w;
      continue;
    }
    const uint32_t hexAddress = static_cast<uint32_t>(w * kHexBytesPerWord);
    if (upper != hexAddress >> 16) {
      upper = hexAddress >> 16;
      const uint8_t value[] = {static_cast<uint8_t>(*upper >> 8),
                               static_cast<uint8_t>(*upper & 0xFF)};
      AppendRecord(out, kRecordLinearAddress, 0, value, sizeof value);
    }
    // Words in a row, in one 64 KB stretch of hex addresses.
    size_t length = 0;
    while (w < words && length < data.size() && !erased(w) &&
           (w * kHexBytesPerWord) >> 16 == *upper) {
      const uint8_t *b = &bytes[w * kImageBytesPerWord];
      data[length++] = b[0];
      data[length++] = b[1];
      data[length++] = b[2];
      data[length++] = 0;
      ++w;
    }
    AppendRecord(out, kRecordData, static_cast<uint16_t>(hexAddress & 0xFFFF), data.data(), length);
  }
  AppendRecord(out, kRecordEnd, 0, nullptr, 0);
  return out;
}
