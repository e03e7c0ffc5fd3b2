// The journal's records and its file: the digest, the record's fields
// through a line and back, appends from many processes at once, lines torn
// by a crash, and a journal that cannot be written.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <set>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "station/FileJournal.h"
#include "station/JournalFile.h"
#include "station/Sha256.h"

namespace {
namespace fs = std::filesystem;

std::string Slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

LoadRecord SampleRecord(int n) {
  LoadRecord record;
  record.Id = NewRecordId();
  record.Time = UtcTimeNow();
  record.Station = "line2";
  record.Port = "COM" + std::to_string(3 + n % 4);
  record.Image = "/srv/images/app.rom";
  record.ImageSha256 = std::string(64, 'a');
  record.ImageBytes = 98304;
  record.DeviceCode = 97;
  record.ResetVector = {0x04, 0x02, 0x00, 0x00, 0x00, static_cast<uint8_t>(n)};
  record.Outcome = n % 5 == 0 ? "failed" : "done";
  record.ExitCode = n % 5 == 0 ? 2 : 0;
  record.Message = "Загрузка окончена.";
  record.PagesSent = 61;
  record.FinishConfirmed = true;
  record.Seconds = 26.154 + n;
  record.Statistics.Exchanges = 795;
  record.Statistics.Attempts = 797;
  record.Statistics.FailedAttempts[static_cast<size_t>(AttemptFailure::Checksum)] = 2;
  record.UnansweredPolls = 3;
  record.ProgramName = "korvalen-cli";
  record.ProgramVersion = "0.1";
  return record;
}

class JournalFile : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvalen-journal-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    FFolder = pattern;
    FPath = FFolder / "journal.jsonl";
  }
  void TearDown() override { fs::remove_all(FFolder); }

  fs::path FFolder, FPath;
};
} // namespace

TEST(Sha256, KnownDigests) {
  struct Case {
    std::string Text;
    const char *Digest;
  };
  const std::vector<Case> cases = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t *>(c.Text.data()), c.Text.size()), c.Digest)
        << c.Text.size() << " bytes";
    // In pieces that straddle the 64-byte blocks, the same digest.
    Sha256 pieces;
    for (size_t at = 0; at < c.Text.size(); at += 37)
      pieces.Update(reinterpret_cast<const uint8_t *>(c.Text.data()) + at,
                    std::min<size_t>(37, c.Text.size() - at));
    EXPECT_EQ(pieces.HexDigest(), c.Digest);
  }
}

TEST(LoadRecord, EveryFieldSurvivesALineAndAMissingOneIsNoRecord) {
  const LoadRecord record = SampleRecord(7);
  EXPECT_TRUE(
      std::regex_match(record.Time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
      << record.Time;
  EXPECT_EQ(record.Id.size(), 32u);
  EXPECT_NE(record.Id, NewRecordId());
  const std::string line = ToJson(record).dump();
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const std::optional<LoadRecord> back = LoadRecordFromJson(nlohmann::json::parse(line));
  ASSERT_TRUE(back);
  EXPECT_EQ(ToJson(*back).dump(), line);
  EXPECT_EQ(back->Statistics.Failed(AttemptFailure::Checksum), 2u);
  EXPECT_EQ(ResetVectorHex(back->ResetVector), "040200000007");

  for (const char *field : {"time", "outcome", "reset_vector", "seconds"}) {
    nlohmann::json object = nlohmann::json::parse(line);
    object.erase(field);
    EXPECT_FALSE(LoadRecordFromJson(object)) << "without " << field;
  }
  nlohmann::json wrongType = nlohmann::json::parse(line);
  wrongType["pages_sent"] = "many";
  EXPECT_FALSE(LoadRecordFromJson(wrongType));
  EXPECT_FALSE(LoadRecordFromJson(nlohmann::json::parse(R"({"record":"serial","number":4})")));
}

// Several processes append at once, as the ports of a gang and commands on
// the same file do: every record arrives whole, on a line of its own.
TEST_F(JournalFile, WritersAtOnceNeitherInterleaveNorLoseARecord) {
  constexpr int kWriters = 6, kRecords = 40;
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      FileJournal journal(FPath);
      for (int r = 0; r < kRecords; ++r)
        journal.Append(SampleRecord(w * kRecords + r));
      _exit(0);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const JournalContents contents = FileJournal(FPath).Read();
  EXPECT_TRUE(contents.DamagedLines.empty());
  ASSERT_EQ(contents.Loads.size(), size_t{kWriters * kRecords});
  std::set<std::string> ids;
  for (const LoadRecord &record : contents.Loads)
    ids.insert(record.Id);
  EXPECT_EQ(ids.size(), contents.Loads.size());
}

// A record torn by a crash never glues onto the next one; readers skip and
// count it by its line number, and garbage lines alike.
TEST_F(JournalFile, ATornLineIsEndedCountedAndSkipped) {
  FileJournal journal(FPath);
  journal.Append(SampleRecord(1));
  const std::string whole = ToJson(SampleRecord(2)).dump();
  std::ofstream(FPath, std::ios::app) << whole.substr(0, whole.size() / 2); // the crash
  journal.Append(SampleRecord(3));
  std::ofstream(FPath, std::ios::app) << "not json\n{\"record\":\"load\"}\n";
  journal.Append(SampleRecord(4));
  std::ofstream(FPath, std::ios::app) << whole.substr(0, 10); // torn at the end

  const JournalContents contents = journal.Read();
  EXPECT_EQ(contents.Loads.size(), 3u);
  EXPECT_EQ(contents.DamagedLines, (std::vector<size_t>{2, 4, 5, 7}));
  EXPECT_EQ(contents.Loads[1].ResetVector[5], 3);
}

// A journal that cannot be written says which and why, and takes nothing;
// a full disk leaves the file as it was.
TEST_F(JournalFile, OneThatCannotBeWrittenSaysWhyAndKeepsWhatItHeld) {
  struct Case {
    fs::path Where;
    std::string Says;
  };
  fs::create_directories(FFolder / "a-folder");
  const std::vector<Case> cases = {
      {FFolder / "no-such-folder" / "journal.jsonl", "cannot be opened for writing"},
      {FFolder / "a-folder", "cannot be opened for writing"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.Where.string());
    FileJournal journal(c.Where);
    try {
      journal.CheckWritable();
      FAIL() << "taken as writable";
    } catch (const EJournalError &failure) {
      EXPECT_NE(std::string(failure.what()).find(c.Where.string() + " " + c.Says),
                std::string::npos)
          << failure.what();
    }
    EXPECT_THROW(journal.Append(SampleRecord(1)), EJournalError);
  }
  // A file that takes no write, root's included.
  const std::string version = Slurp("/proc/version");
  EXPECT_THROW(FileJournal("/proc/version").Append(SampleRecord(1)), EJournalError);
  EXPECT_EQ(Slurp("/proc/version"), version);

  FileJournal journal(FPath);
  journal.Append(SampleRecord(1));
  const std::string before = Slurp(FPath);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight = saved;
  tight.rlim_cur = before.size() + 100; // room for a part of the next record only
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  EXPECT_THROW(journal.Append(SampleRecord(2)), EJournalError);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(Slurp(FPath), before) << "a half record was left behind";
}
