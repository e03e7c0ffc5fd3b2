#include "runtime/JustOne.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kRan = 0;
constexpr int kAskedToQuit = 1;
constexpr int kConfused = 2;

// What a guard built in another process decided.
int GuardIn(int (*body)(const std::string &, const fs::path &), const std::string &name,
            const fs::path &folder) {
  const pid_t child = ::fork();
  if (child == 0)
    ::_exit(body(name, folder));
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

int TryGuard(const std::string &name, const fs::path &folder) {
  bool asked = false;
  TJustOne guard([&] { asked = true; }, name, folder);
  if (asked == guard.FirstInstance())
    return kConfused;
  return asked ? kAskedToQuit : kRan;
}

class JustOne : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "justone-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    FFolder = pattern;
  }
  void TearDown() override { fs::remove_all(FFolder); }

  fs::path FFolder;
};

TEST_F(JustOne, ASecondCopyOfTheSameNameIsAskedToQuit) {
  std::optional<TJustOne> first;
  int quits = 0;
  first.emplace([&] { ++quits; }, "korvalen", FFolder);
  EXPECT_TRUE(first->FirstInstance());
  EXPECT_EQ(quits, 0);
  EXPECT_TRUE(fs::exists(FFolder / "korvalen.lock"));

  EXPECT_EQ(GuardIn(TryGuard, "korvalen", FFolder), kAskedToQuit);
  EXPECT_EQ(GuardIn(TryGuard, "korvalen-copy", FFolder), kRan);
  EXPECT_EQ(GuardIn(TryGuard, "Korvalen", FFolder), kRan); // letter case is part of the name

  // In the same process too: each guard has a lock of its own.
  bool asked = false;
  {
    TJustOne second([&] { asked = true; }, "korvalen", FFolder);
    EXPECT_FALSE(second.FirstInstance());
  }
  EXPECT_TRUE(asked);
  EXPECT_TRUE(first->FirstInstance()); // undisturbed by the refused copy's end
  EXPECT_EQ(GuardIn(TryGuard, "korvalen", FFolder), kAskedToQuit);

  first.reset();
  EXPECT_EQ(GuardIn(TryGuard, "korvalen", FFolder), kRan);
  EXPECT_EQ(quits, 0);
}

TEST_F(JustOne, ACopyKilledOutrightLeavesNothingThatBlocks) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    ::close(ready[0]);
    TJustOne guard([] {}, "korvalen", FFolder);
    const char first = guard.FirstInstance() ? '1' : '0';
    if (::write(ready[1], &first, 1) != 1)
      ::_exit(kConfused);
    for (;;)
      ::pause();
  }
  ::close(ready[1]);
  char first = 0;
  ASSERT_EQ(::read(ready[0], &first, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(first, '1');

  bool asked = false;
  {
    TJustOne refused([&] { asked = true; }, "korvalen", FFolder);
    EXPECT_FALSE(refused.FirstInstance());
  }
  EXPECT_TRUE(asked);

  ASSERT_EQ(::kill(holder, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(holder, &status, 0), holder);
  EXPECT_TRUE(WIFSIGNALED(status));

  asked = false;
  TJustOne next([&] { asked = true; }, "korvalen", FFolder);
  EXPECT_TRUE(next.FirstInstance());
  EXPECT_FALSE(asked);
}

TEST_F(JustOne, AMarkerThatCannotBeMadeCountsAsARunningCopy) {
  for (const auto &[name, folder] : {std::pair<std::string, fs::path>{"korvalen", FFolder / "gone"},
                                     {"", FFolder},
                                     {"..", FFolder}}) {
    bool asked = false;
    TJustOne guard([&] { asked = true; }, name, folder);
    EXPECT_TRUE(asked) << name << " in " << folder;
    EXPECT_FALSE(guard.FirstInstance());
  }
  // A symbolic link where the lock file goes is not followed.
  fs::create_symlink(FFolder / "elsewhere", FFolder / "linked.lock");
  bool asked = false;
  TJustOne guard([&] { asked = true; }, "linked", FFolder);
  EXPECT_TRUE(asked);
  EXPECT_FALSE(fs::exists(FFolder / "elsewhere"));
}

TEST_F(JustOne, UsesTheProgramNameInTheRuntimeFolder) {
  EXPECT_EQ(JustOneName("/opt/korvalen/korvalen"), "korvalen");
  EXPECT_EQ(JustOneName("/opt/k.v2/Korvalen.EXE"), "Korvalen.EXE");

  const char *saved = std::getenv("XDG_RUNTIME_DIR");
  const std::optional<std::string> savedValue =
      saved ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("XDG_RUNTIME_DIR", FFolder.c_str(), 1);
  {
    bool asked = false;
    TJustOne guard([&] { asked = true; });
    EXPECT_TRUE(guard.FirstInstance());
    EXPECT_TRUE(fs::exists(FFolder / "runtime_tests.lock"));
    TJustOne again([&] { asked = true; });
    EXPECT_TRUE(asked);
  }

  // The runtime folder may be the program's own: the lock file is never the
  // program itself.
  const fs::path program = fs::read_symlink("/proc/self/exe");
  ::setenv("XDG_RUNTIME_DIR", program.parent_path().c_str(), 1);
  {
    bool asked = false;
    TJustOne guard([&] { asked = true; });
    EXPECT_TRUE(guard.FirstInstance());
    EXPECT_FALSE(asked);
    TJustOne again([&] { asked = true; });
    EXPECT_TRUE(asked);
  }
  EXPECT_TRUE(fs::remove(program.string() + ".lock"));

  // Without a usable runtime folder: a private one in /tmp.
  ::setenv("XDG_RUNTIME_DIR", "relative/folder", 1);
  const std::string name = "justone-test-" + std::to_string(::getpid());
  {
    TJustOne guard([] {}, name);
    EXPECT_TRUE(guard.FirstInstance());
  }
  const fs::path fallback = "/tmp/korvalen-" + std::to_string(::geteuid());
  struct stat info {};
  ASSERT_EQ(::lstat(fallback.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(info.st_uid, ::geteuid());
  EXPECT_TRUE(fs::remove(fallback / (name + ".lock")));

  if (savedValue)
    ::setenv("XDG_RUNTIME_DIR", savedValue->c_str(), 1);
  else
    ::unsetenv("XDG_RUNTIME_DIR");
}

} // namespace
