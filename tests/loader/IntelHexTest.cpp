// Intel HEX to the image and back: where each byte lands, what is warned
// about, what is refused.
#include <gtest/gtest.h>

#include <random>

#include "loader/IntelHex.h"

namespace {
using Bytes = std::vector<uint8_t>;

// One record with its checksum.
std::string Record(uint8_t type, uint16_t offset, const Bytes &data) {
  Bytes all{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
            static_cast<uint8_t>(offset), type};
  all.insert(all.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : all)
    sum = static_cast<uint8_t>(sum + b);
  all.push_back(static_cast<uint8_t>(-sum));
  std::string line = ":";
  char digits[3];
  for (uint8_t b : all) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    line += digits;
  }
  return line + "\n";
}

std::string Linear(uint16_t upper) {
  return Record(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}
std::string Segment(uint16_t segment) {
  return Record(2, 0, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)});
}
const std::string kEnd = ":00000001FF\n";

// The three image bytes of the word at program address a.
Bytes WordAt(const FirmwareImage &image, uint32_t a) {
  const size_t at = a / 2 * 3;
  return Bytes(image.Data().begin() + static_cast<long>(at),
               image.Data().begin() + static_cast<long>(at) + 3);
}

int ErrorLine(const std::string &text) {
  try {
    PackIntelHex(text, std::nullopt);
  } catch (const EHexFileError &failure) {
    return failure.Line;
  }
  return 0;
}
} // namespace

TEST(IntelHex, WordsLandAtTheirImageBytesAndTheRestIsErased) {
  // Program address 0x000000 and 0x000002 (the reset vector), 0x001000 (the
  // first word of page 5) and 0x010000 (page 65, through a linear address
  // record: hex address 0x20000).
  const std::string text = Linear(0) +
                           Record(0, 0x0000, {0x04, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}) +
                           Record(0, 0x2000, {0x11, 0x22, 0x33, 0x00}) + Linear(2) +
                           Record(0, 0x0000, {0xAA, 0xBB, 0xCC, 0x00, 0xDD, 0xEE, 0xFF, 0x00}) +
                           Record(5, 0, {0, 0, 2, 0}) + kEnd;
  const PackedHex packed = PackIntelHex(text, std::nullopt);
  EXPECT_TRUE(packed.Warnings.empty());
  const FirmwareImage &image = packed.Image;
  ASSERT_EQ(image.PageCount(), 65) << "ends with the last page that holds data";
  EXPECT_EQ(image.Size(), 65 * kPageSize) << "no trailer without a device code";
  EXPECT_EQ(WordAt(image, 0), (Bytes{0x04, 0x02, 0x00}));
  EXPECT_EQ(WordAt(image, 2), (Bytes{0x00, 0x00, 0x00}));
  EXPECT_EQ(WordAt(image, 4), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(WordAt(image, 0x1000), (Bytes{0x11, 0x22, 0x33}));
  EXPECT_EQ(image.Page(5)[0], 0x11);
  EXPECT_EQ(WordAt(image, 0x10000), (Bytes{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(WordAt(image, 0x10002), (Bytes{0xDD, 0xEE, 0xFF}));
  EXPECT_EQ(image.Page(65)[0], 0xAA);
  EXPECT_EQ(WordAt(image, 0x10004), (Bytes{0xFF, 0xFF, 0xFF}));
  size_t set = 0;
  for (uint8_t b : image.Data())
    set += b != 0xFF;
  EXPECT_EQ(set, 14u) << "every other byte is erased flash (one of the words set ends in FF)";
}

TEST(IntelHex, SegmentRecordsAndRecordsThatSplitWords) {
  // Segment 0x1000: base 0x10000, program address 0x8000. The record starts
  // in the middle of a word and runs past the segment's end, where its offset
  // wraps to the segment's start.
  const std::string text =
      Segment(0x1000) + Record(0, 0xFFFE, {0x01, 0x02, 0x03, 0x00, 0x05, 0x06}) + kEnd;
  const PackedHex packed = PackIntelHex(text, std::nullopt);
  // Hex 0x1FFFE and 0x1FFFF are the upper and phantom bytes of word 0x7FFE
  // (hex 0x1FFFC); the wrap takes 03 00 05 06 to hex 0x10000 ... 0x10003.
  EXPECT_EQ(WordAt(packed.Image, 0xFFFE), (Bytes{0xFF, 0xFF, 0x01}));
  EXPECT_EQ(WordAt(packed.Image, 0x8000), (Bytes{0x03, 0x00, 0x05}));
  // 0x02 and 0x06 fall on phantom bytes, of words far apart: one warning
  // spans both.
  ASSERT_EQ(packed.Warnings.size(), 1u);
  EXPECT_EQ(packed.Warnings[0].Kind, HexWarningKind::PhantomByte);
  EXPECT_EQ(packed.Warnings[0].FirstAddress, 0x8000u);
  EXPECT_EQ(packed.Warnings[0].LastAddress, 0xFFFEu);
  EXPECT_EQ(packed.Warnings[0].Bytes, 2u);

  // A linear address record ends segment addressing: offsets run on.
  const PackedHex linear =
      PackIntelHex(Segment(0x1000) + Linear(1) + Record(0, 0xFFFC, Bytes(8, 0)) + kEnd, {});
  EXPECT_EQ(WordAt(linear.Image, 0x10000), (Bytes{0, 0, 0}));
}

TEST(IntelHex, WarnsAboutDataItCannotPlace) {
  const std::string text = Record(0, 0x0000, {1, 2, 3, 0}) +
                           // Page 2, program addresses 0x400 ... 0x406, over two records.
                           Record(0, 0x0800, {0x10, 0x10, 0x10, 0, 0x10, 0x10, 0x10, 0}) +
                           Record(0, 0x0808, {0x20, 0x20, 0x20, 0, 0x20, 0x20, 0x20, 0}) +
                           // A phantom byte that is not 0.
                           Record(0, 0x2000, {7, 8, 9, 0x5A}) +
                           // Configuration words at 0xF80000 and 0xF80002, data EEPROM at
                           // 0x7FFE00 (hex 0x1F00000 and 0xFFFC00).
                           Linear(0x01F0) + Record(0, 0x0000, {0xCF, 0xFF, 0x00, 0x00}) +
                           Record(0, 0x0004, {0x7F, 0xFF, 0x00, 0x00}) + Linear(0x00FF) +
                           Record(0, 0xFC00, {0x12, 0x34, 0x00, 0x00}) + kEnd;
  const PackedHex packed = PackIntelHex(text, std::nullopt);
  ASSERT_EQ(packed.Warnings.size(), 4u);
  const HexWarning &boot = packed.Warnings[0];
  EXPECT_EQ(boot.Kind, HexWarningKind::BootloaderPages);
  EXPECT_EQ(boot.FirstLine, 2);
  EXPECT_EQ(boot.LastLine, 3);
  EXPECT_EQ(boot.FirstAddress, 0x400u);
  EXPECT_EQ(boot.LastAddress, 0x406u);
  EXPECT_EQ(boot.Bytes, 16u);
  const HexWarning &phantom = packed.Warnings[1];
  EXPECT_EQ(phantom.Kind, HexWarningKind::PhantomByte);
  EXPECT_EQ(phantom.FirstLine, 4);
  EXPECT_EQ(phantom.FirstAddress, 0x1000u);
  const HexWarning &configuration = packed.Warnings[2];
  EXPECT_EQ(configuration.Kind, HexWarningKind::ConfigurationMemory);
  EXPECT_EQ(configuration.FirstAddress, 0xF80000u);
  EXPECT_EQ(configuration.LastAddress, 0xF80002u);
  EXPECT_EQ(configuration.FirstLine, 6);
  EXPECT_EQ(configuration.LastLine, 7);
  EXPECT_EQ(packed.Warnings[3].Kind, HexWarningKind::DataEeprom);
  EXPECT_EQ(packed.Warnings[3].FirstAddress, 0x7FFE00u);

  // Pages 2 to 4 keep their words (they stand in the image, never sent); the
  // phantom byte is dropped and the word kept; nothing beyond program memory
  // stretches the image.
  EXPECT_EQ(packed.Image.PageCount(), 5);
  EXPECT_EQ(WordAt(packed.Image, 0x400), (Bytes{0x10, 0x10, 0x10}));
  EXPECT_EQ(WordAt(packed.Image, 0x1000), (Bytes{7, 8, 9}));

  const PackedHex nothing = PackIntelHex(Linear(0x01F0) + Record(0, 0, {1, 2, 3, 0}) + kEnd, {});
  EXPECT_EQ(nothing.Image.Size(), 0u);
  ASSERT_EQ(nothing.Warnings.size(), 2u);
  EXPECT_EQ(nothing.Warnings[1].Kind, HexWarningKind::NoProgramWords);
}

TEST(IntelHex, RefusesADamagedFileWithItsLine) {
  const std::string good = Record(0, 0, {1, 2, 3, 0});
  std::string badChecksum = good;
  badChecksum[badChecksum.size() - 2] ^= 1;
  EXPECT_EQ(ErrorLine(good + badChecksum + kEnd), 2);
  EXPECT_EQ(ErrorLine(good + "\n" + good + "00000001FF\n"), 4) << "no colon";
  EXPECT_EQ(ErrorLine(good + ":0400000001020300F\n" + kEnd), 2) << "odd digit count";
  EXPECT_EQ(ErrorLine(good + ":04000000010203F5\n" + kEnd), 2) << "fewer bytes than announced";
  EXPECT_EQ(ErrorLine(":0400000001020G00F6\n" + kEnd), 1) << "not a hex digit";
  EXPECT_EQ(ErrorLine(good + Record(6, 0, {}) + kEnd), 2) << "unknown type";
  EXPECT_EQ(ErrorLine(good + Record(4, 0, {1}) + kEnd), 2) << "short address record";
  EXPECT_EQ(ErrorLine(good + ":00\n" + kEnd), 2) << "too short";
  EXPECT_EQ(ErrorLine(good + good + "\n"), 3) << "no end record: the last line";
  EXPECT_EQ(ErrorLine(""), 1);
  try {
    PackIntelHex(good + badChecksum + kEnd, std::nullopt);
    FAIL();
  } catch (const EHexFileError &failure) {
    EXPECT_STREQ(failure.what(), "line 2: bad record checksum (0xF7 given, 0xF6 expected)");
  }
}

TEST(IntelHex, LineEndsBlankLinesAndWhatFollowsTheEnd) {
  const std::string text = "\r\n" + Record(0, 0, {1, 2, 3, 0}) + "  \r\n" + kEnd + "garbage\n";
  std::string crlf;
  for (char c : text)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string &t : {text, crlf}) {
    const PackedHex packed = PackIntelHex(t, std::nullopt);
    EXPECT_EQ(WordAt(packed.Image, 0), (Bytes{1, 2, 3}));
  }
}

TEST(IntelHex, ADeviceCodeAddsTheTrailer) {
  const PackedHex packed = PackIntelHex(Record(0, 0x2000, {1, 2, 3, 0}) + kEnd, uint8_t{245});
  EXPECT_EQ(packed.Image.Size(), 5 * kPageSize + 3);
  ASSERT_TRUE(packed.Image.HasTrailer());
  EXPECT_EQ(packed.Image.Trailer(), (TrailerBytes{245, 0x65, 0}));
}

TEST(IntelHex, UnpackThenPackGivesTheSameWords) {
  // A random image with erased words and whole erased stretches, long enough
  // to cross several 64 KB windows of hex addresses.
  std::mt19937 random(11);
  Bytes bytes(200 * kPageSize + 3, 0xFF);
  for (size_t word = 0; word < 200 * 512; ++word) {
    if (random() % 5 == 0 || (word > 3000 && word < 9000))
      continue;
    for (size_t i = 0; i < 3; ++i)
      bytes[word * 3 + i] = static_cast<uint8_t>(random());
  }
  bytes[bytes.size() - 3] = 97;
  bytes[bytes.size() - 2] = 0x65;
  bytes[bytes.size() - 1] = 0;
  const FirmwareImage image(bytes);
  const std::string text = UnpackIntelHex(image);
  EXPECT_EQ(text.rfind(kEnd), text.size() - kEnd.size());
  EXPECT_EQ(text.find(":02000004"), 0u);
  const PackedHex again = PackIntelHex(text, uint8_t{97});
  ASSERT_EQ(again.Warnings.size(), 1u);
  EXPECT_EQ(again.Warnings[0].Kind, HexWarningKind::BootloaderPages);
  EXPECT_EQ(again.Image.Data(), bytes);
  // Every data record holds whole words and at most 16 bytes.
  size_t lines = 0, start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    if (line.substr(7, 2) == "00") {
      const int length = std::stoi(line.substr(1, 2), nullptr, 16);
      EXPECT_TRUE(length > 0 && length <= 16 && length % 4 == 0) << line;
    }
    ++lines;
    start = end + 1;
  }
  EXPECT_GT(lines, 100u);

  EXPECT_EQ(UnpackIntelHex(FirmwareImage()), kEnd);
}
