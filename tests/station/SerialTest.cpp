// A board's own number: where its bytes go in the image and in what form,
// and the journal's one sequence, which never hands out a number twice,
// across processes and crashes.
#include <gtest/gtest.h>

#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "station/FileJournal.h"
#include "station/SerialNumber.h"

namespace {
namespace fs = std::filesystem;

FirmwareImage Pages(int pages) {
  return FirmwareImage(std::vector<uint8_t>(static_cast<size_t>(pages) * kPageSize, 0xAB));
}

SerialRecord Claim(const std::string &port) {
  SerialRecord claim;
  claim.Id = NewRecordId();
  claim.Time = UtcTimeNow();
  claim.Station = "line2";
  claim.Port = port;
  claim.Owner = ThisProcess();
  return claim;
}

class SerialJournal : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvalen-serial-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    FFolder = pattern;
    FPath = FFolder / "journal.jsonl";
  }
  void TearDown() override { fs::remove_all(FFolder); }
  uint64_t Take(FileJournal &journal, uint64_t start = 1, uint64_t step = 1) {
    return journal.TakeSerial(Claim("COM3"), start, step, nullptr);
  }

  fs::path FFolder, FPath;
};
} // namespace

// Byte k of the value lands at image byte ((address / 2) + k / 2) * 3 + k % 2:
// the low 16 bits of consecutive instruction words, their upper bytes untouched.
TEST(SerialLayout, BytesGoIntoTheLowHalvesOfConsecutiveWords) {
  struct Case {
    SerialLayout Layout;
    uint64_t Number;
    std::vector<size_t> Offsets;
    std::vector<uint8_t> Value;
  };
  const std::vector<Case> cases = {
      {{0x1400, 4, SerialFormat::LittleEndian},
       0x12345678,
       {7680, 7681, 7683, 7684},
       {0x78, 0x56, 0x34, 0x12}},
      {{0x1400, 3, SerialFormat::LittleEndian}, 0x0A0B0C, {7680, 7681, 7683}, {0x0C, 0x0B, 0x0A}},
      {{0x0004, 6, SerialFormat::Ascii},
       1042,
       {6, 7, 9, 10, 12, 13},
       {'0', '0', '1', '0', '4', '2'}},
      {{0x0010, 8, SerialFormat::LittleEndian},
       UINT64_MAX,
       {24, 25, 27, 28, 30, 31, 33, 34},
       std::vector<uint8_t>(8, 0xFF)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Number);
    EXPECT_EQ(SerialOffsets(c.Layout), c.Offsets);
    const auto value = EncodeSerial(c.Layout, c.Number);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, c.Value);
    // Written into its page and read back from the memory it makes.
    FirmwareImage image = Pages(6);
    std::vector<uint8_t> memory = image.Data();
    const int page = SerialPage(c.Layout);
    PageBytes bytes{};
    std::copy_n(memory.begin() + (page - 1) * kPageSize, kPageSize, bytes.begin());
    WriteSerial(c.Layout, *value, page, bytes);
    std::copy(bytes.begin(), bytes.end(), memory.begin() + (page - 1) * kPageSize);
    EXPECT_EQ(DecodeSerial(c.Layout, memory), c.Number);
    for (size_t offset : c.Offsets)
      EXPECT_EQ(memory[offset / 3 * 3 + 2], 0xAB) << "a word's upper byte was changed";
  }
  // Too big for its bytes or digits.
  EXPECT_FALSE(EncodeSerial({0x1400, 2, SerialFormat::LittleEndian}, 65536));
  EXPECT_TRUE(EncodeSerial({0x1400, 2, SerialFormat::LittleEndian}, 65535));
  EXPECT_FALSE(EncodeSerial({0x1400, 3, SerialFormat::Ascii}, 1000));
  EXPECT_TRUE(EncodeSerial({0x1400, 20, SerialFormat::Ascii}, UINT64_MAX));
}

TEST(SerialLayout, WhatCannotBeSentIsRefusedWithTheReason) {
  struct Case {
    SerialLayout Layout;
    std::string Says; // empty: accepted
  };
  const std::vector<Case> cases = {
      {{0x1400, 4}, ""},
      {{0x0004, 2}, ""}, // just past the reset vector
      {{0x1401, 4}, "is odd"},
      {{0x0002, 4}, "the device's reset vector goes there"},
      {{0x0800, 4}, "pages 2 to 4"},
      {{0x0FFE, 4}, "pages 2 to 4"}, // its second word is in page 5, its first in page 4
      {{0x1800, 4}, "outside the image's 6 whole pages"},
      {{0x17FE, 4}, "outside the image"}, // the last word of page 6, and one past it
      {{0x1400, 9}, "--serial-bytes 9 is out of 1 ... 8"},
      {{0x1400, 0}, "--serial-bytes 0"},
      {{0x1400, 21, SerialFormat::Ascii}, "out of 1 ... 20"},
      {{0x1400, 2, SerialFormat::LittleEndian, 70000}, "--serial-start 70000 does not fit"},
      {{0x1400, 4, SerialFormat::LittleEndian, 1, 0}, "--serial-step must be 1 or more"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Layout.Address);
    const std::string problem = CheckSerialLayout(c.Layout, Pages(6));
    if (c.Says.empty())
      EXPECT_EQ(problem, "");
    else
      EXPECT_NE(problem.find(c.Says), std::string::npos) << problem;
  }
  EXPECT_EQ(ParseProgramAddress("0x1400"), 0x1400u);
  EXPECT_EQ(ParseProgramAddress("5120"), 5120u);
  for (const char *bad : {"", "0x", "-2", "12ab", "0x1000000", "1e3"})
    EXPECT_FALSE(ParseProgramAddress(bad)) << bad;
}

// One step past the highest number ever handed out, or the start when that
// is higher; the start passed over when it is lower.
TEST_F(SerialJournal, TheNextNumberFollowsTheHighestEverHandedOut) {
  FileJournal journal(FPath);
  EXPECT_FALSE(journal.HighestSerial());
  EXPECT_EQ(Take(journal, 1000), 1000u);
  EXPECT_EQ(Take(journal, 1000, 10), 1010u);
  EXPECT_EQ(Take(journal, 5), 1011u) << "a start below numbers used is passed over";
  EXPECT_EQ(Take(journal, 5000), 5000u) << "a start above them is taken";
  // Another object on the same file, as another process would be, reads on.
  FileJournal other(FPath);
  EXPECT_EQ(other.HighestSerial(), 5000u);
  EXPECT_EQ(Take(other), 5001u);
  EXPECT_EQ(Take(journal), 5002u) << "the first object catches up with the other's number";
  // A sequence that has run out refuses and hands out nothing.
  EXPECT_THROW(journal.TakeSerial(Claim("COM3"), 1, 1, [](uint64_t n) { return n < 5003; }),
               EJournalError);
  EXPECT_EQ(journal.HighestSerial(), 5002u);
  EXPECT_EQ(journal.Read().Serials.size(), 6u);
}

// The ports of a gang and other commands take numbers at once: every number
// once, none skipped.
TEST_F(SerialJournal, ProcessesTakingAtOnceNeverGetTheSameNumber) {
  constexpr int kTakers = 6, kNumbers = 30;
  std::vector<pid_t> takers;
  for (int t = 0; t < kTakers; ++t) {
    const pid_t pid = fork();
    if (pid == 0) {
      FileJournal journal(FPath);
      for (int n = 0; n < kNumbers; ++n)
        journal.TakeSerial(Claim("COM" + std::to_string(t)), 100, 1, nullptr);
      _exit(0);
    }
    takers.push_back(pid);
  }
  for (pid_t pid : takers) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<uint64_t> numbers;
  for (const SerialRecord &serial : FileJournal(FPath).Read().Serials)
    EXPECT_TRUE(numbers.insert(serial.Number).second) << serial.Number << " handed out twice";
  ASSERT_EQ(numbers.size(), size_t{kTakers * kNumbers});
  EXPECT_EQ(*numbers.begin(), 100u);
  EXPECT_EQ(*numbers.rbegin(), 100u + kTakers * kNumbers - 1) << "a number was skipped";
}

// After a crash: a number whose process has ended without its load's end is
// void; one whose load ended, or whose process still runs, is not.
TEST_F(SerialJournal, NumbersOfProcessesThatEndedWithoutAnEndAreVoid) {
  FileJournal journal(FPath);
  const uint64_t running = Take(journal); // this process: still running
  uint64_t ended = 0;
  const pid_t child = fork();
  if (child == 0) {
    FileJournal own(FPath);
    Take(own); // then killed before its load's end
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ended = *journal.HighestSerial();
  const pid_t loader = fork();
  if (loader == 0) {
    FileJournal own(FPath);
    LoadRecord load;
    load.Id = NewRecordId();
    load.Time = UtcTimeNow();
    load.Outcome = "done";
    load.Serial = Take(own);
    own.Append(load); // its load ended: not void
    _exit(0);
  }
  ASSERT_EQ(waitpid(loader, &status, 0), loader);
  SerialRecord elsewhere = Claim("COM9");
  elsewhere.Station = "line7"; // another station's: not ours to judge
  journal.TakeSerial(elsewhere, 1, 1, nullptr);

  EXPECT_EQ(journal.VoidAbandoned("line2"), (std::vector<uint64_t>{ended}));
  EXPECT_TRUE(journal.VoidAbandoned("line2").empty()) << "voided twice";
  const JournalContents contents = journal.Read();
  ASSERT_EQ(contents.Voids.size(), 1u);
  EXPECT_EQ(contents.Voids[0].Number, ended);
  EXPECT_EQ(contents.Voids[0].Reason, "abandoned");
  EXPECT_NE(running, ended);
}
