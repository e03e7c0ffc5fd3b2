#include "runtime/IniFls.h"
#include "runtime/Exceptions.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class IniFls : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "inifls-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    FFolder = pattern;
    FPath = FFolder / "korvalen.ini";
  }
  void TearDown() override { fs::remove_all(FFolder); }

  static std::string Bytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  void Put(const std::string &content) { std::ofstream(FPath, std::ios::binary) << content; }

  fs::path FFolder;
  fs::path FPath;
};

// Records every change made to it; reads give the current values.
class RecordingWindow : public PlacementWindow {
public:
  int State = 0, L = 10, T = 20, W = 367, H = 280;
  bool Resizable = false;
  std::vector<std::string> Calls;

  int WindowState() const override { return State; }
  void SetWindowState(int v) override { Calls.push_back("State=" + std::to_string(State = v)); }
  int Left() const override { return L; }
  void SetLeft(int v) override { Calls.push_back("Left=" + std::to_string(L = v)); }
  int Top() const override { return T; }
  void SetTop(int v) override { Calls.push_back("Top=" + std::to_string(T = v)); }
  int Width() const override { return W; }
  void SetWidth(int v) override { Calls.push_back("Width=" + std::to_string(W = v)); }
  int Height() const override { return H; }
  void SetHeight(int v) override { Calls.push_back("Height=" + std::to_string(H = v)); }
  bool HasResizableBorder() const override { return Resizable; }
};

using Calls = std::vector<std::string>;

TEST_F(IniFls, FirstRunCreatesBlankLineAndAddsSectionsInWriteOrder) {
  {
    TMIniFile ini(FPath);
    EXPECT_EQ(Bytes(FPath), " \r\n");
    EXPECT_EQ(ini.FileName(), FPath.string());
    EXPECT_EQ(ini.ReadInteger("RS232", "Port", 4), 4);
    EXPECT_EQ(ini.ReadString("Common", "FN", ""), "");
  }
  const auto close = [&](int port, const std::string &fn, int left) {
    TMIniFile ini(FPath);
    ini.WriteInteger("RS232", "Port", port);
    ini.WriteString("Common", "FN", fn);
    RecordingWindow window;
    window.L = left;
    ini.SavePlacement("MainWindow", window);
  };
  close(3, "/opt/fw/a.rom", 10);
  const std::string expected = " \r\n[RS232]\r\nPort=3\r\n[Common]\r\nFN=/opt/fw/a.rom\r\n"
                               "[MainWindow]\r\nState=0\r\nLeft=10\r\nTop=20\r\nWidth=367\r\n"
                               "Height=280\r\n";
  EXPECT_EQ(Bytes(FPath), expected);

  // The second close replaces every line where it stands.
  close(12, "/b.rom", -4);
  EXPECT_EQ(Bytes(FPath), " \r\n[RS232]\r\nPort=12\r\n[Common]\r\nFN=/b.rom\r\n"
                          "[MainWindow]\r\nState=0\r\nLeft=-4\r\nTop=20\r\nWidth=367\r\n"
                          "Height=280\r\n");

  // An existing file is never recreated.
  TMIniFile again(FPath);
  EXPECT_EQ(again.ReadInteger("rs232", "PORT", 0), 12);
}

TEST_F(IniFls, MatchesWithoutCaseAndEditsInPlace) {
  Put("[rs232]\r\n  PORT = 5 \r\n; note\r\n\r\n[Common]\r\nFN=x\r\n[RS232]\r\nPort=9\r\n");
  TMIniFile ini(FPath);
  EXPECT_EQ(ini.ReadInteger("RS232", "Port", 0), 5); // the first section of a name counts
  EXPECT_EQ(ini.ReadString(" common ", "fn", "-"), "x");
  EXPECT_EQ(ini.ReadString("Common", "Missing", "-"), "-");
  EXPECT_EQ(ini.ReadString("Missing", "FN", "-"), "-");

  ini.WriteInteger("RS232", "port", 7);
  ini.WriteInteger("RS232", "Baud", 9); // after the last key, before comment and blank line
  ini.WriteString("common", "Extra", "y");
  EXPECT_EQ(Bytes(FPath), "[rs232]\r\nPORT=7\r\nBaud=9\r\n; note\r\n\r\n[Common]\r\nFN=x\r\n"
                          "Extra=y\r\n[RS232]\r\nPort=9\r\n");

  // Only ASCII letters fold; other bytes compare as they are.
  ini.WriteString("Секция", "Ключ", "1");
  EXPECT_EQ(ini.ReadString("Секция", "Ключ", "-"), "1");
  EXPECT_EQ(ini.ReadString("СЕКЦИЯ", "Ключ", "-"), "-");
}

TEST_F(IniFls, ReadsLfOnlyFilesAndKeepsTheirOtherBytes) {
  Put("[A]\nk=1\n\n[B]\nm=2");
  TMIniFile ini(FPath);
  EXPECT_EQ(ini.ReadInteger("A", "k", 0), 1);
  EXPECT_EQ(ini.ReadInteger("B", "m", 0), 2);
  ini.WriteInteger("A", "n", 3);
  ini.WriteInteger("B", "z", 4); // the last line has no line end yet
  ini.WriteInteger("C", "q", 5);
  EXPECT_EQ(Bytes(FPath), "[A]\nk=1\nn=3\r\n\n[B]\nm=2\r\nz=4\r\n[C]\r\nq=5\r\n");
}

TEST_F(IniFls, ReadsIntegersTheWayTheProfileFunctionsDo) {
  TMIniFile ini(FPath);
  const std::pair<const char *, int32_t> cases[] = {{"0x3", 3},
                                                    {"$1F", 31},
                                                    {"0X10", 16},
                                                    {"-12", -12},
                                                    {"+7", 7},
                                                    {"  42  ", 42},
                                                    {"2147483647", INT32_MAX},
                                                    {"-2147483648", INT32_MIN},
                                                    {"$FFFFFFFF", -1},
                                                    {"007", 7},
                                                    {"abc", -99},
                                                    {"", -99},
                                                    {"2147483648", -99},
                                                    {"-2147483649", -99},
                                                    {"0x100000000", -99},
                                                    {"0x", -99},
                                                    {"$", -99},
                                                    {"-", -99},
                                                    {"12abc", -99},
                                                    {"1 2", -99},
                                                    {"-0x3", -99},
                                                    {"1.5", -99},
                                                    {"99999999999999999999", -99}};
  for (const auto &[text, expected] : cases) {
    ini.WriteString("RS232", "Port", text);
    EXPECT_EQ(ini.ReadInteger("RS232", "Port", -99), expected) << '"' << text << '"';
  }
}

TEST_F(IniFls, StoresBytesUnchangedAndCutsLongValuesOnRead) {
  TMIniFile ini(FPath);
  const std::string fn = "/home/оператор/Прошивки №2/блок-ПИК24.rom";
  ini.WriteString("Common", "FN", fn);
  EXPECT_EQ(ini.ReadString("Common", "FN", ""), fn);
  EXPECT_NE(Bytes(FPath).find("FN=" + fn + "\r\n"), std::string::npos);

  std::string longValue;
  for (int i = 0; i < 3000; ++i)
    longValue += static_cast<char>('a' + i % 26);
  ini.WriteString("Common", "Long", longValue);
  EXPECT_EQ(ini.ReadString("Common", "Long", ""), longValue.substr(0, 2047));
  EXPECT_EQ(ini.ReadString("Common", "FN", ""), fn);
}

TEST_F(IniFls, TheLengthLimitCountsCharactersAndNeverCutsOneInTwo) {
  TMIniFile ini(FPath);
  const auto repeat = [](const std::string &piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i)
      text += piece;
    return text;
  };
  // Compared as a whole, reported by length: the values are long.
  const auto readsBack = [&](const std::string &written, const std::string &expected) {
    ini.WriteString("Common", "FN", written);
    const std::string read = ini.ReadString("Common", "FN", "");
    EXPECT_TRUE(read == expected) << read.size() << " bytes read, " << expected.size()
                                  << " expected";
  };
  // Two bytes a letter: 2047 letters, not 1023 and a half.
  readsBack("/" + repeat("Ж", 3000), "/" + repeat("Ж", 2046));
  // Three- and four-byte characters after a one-byte start.
  readsBack("a" + repeat("€😀", 1500), "a" + repeat("€😀", 1023));
  // Bytes that are not UTF-8 count one each: the cut stays bounded.
  readsBack(repeat("\xBF", 3000), repeat("\xBF", 2047));
  readsBack(repeat("\xD0", 3000), repeat("\xD0", 2047));
  readsBack(repeat("Ж", 2047), repeat("Ж", 2047)); // exactly at the limit
}

TEST_F(IniFls, OnePairOfMatchingQuotesIsStrippedOnRead) {
  Put("[Common]\r\nFN=\"/home/bench/Насос v2.rom\"\r\nA = 'x' \r\nB=\"x'\r\nC=\"\"x\"\"\r\n"
      "D=\"\r\nE=''\r\nF=\" padded \"\r\nG=\"0x3\"\r\nH=a\"b\"\r\n");
  TMIniFile ini(FPath);
  EXPECT_EQ(ini.ReadString("Common", "FN", ""), "/home/bench/Насос v2.rom");
  EXPECT_EQ(ini.ReadString("Common", "A", ""), "x");
  EXPECT_EQ(ini.ReadString("Common", "B", ""), "\"x'") << "quotes that do not match stay";
  EXPECT_EQ(ini.ReadString("Common", "C", ""), "\"x\"") << "one pair only";
  EXPECT_EQ(ini.ReadString("Common", "D", ""), "\"");
  EXPECT_EQ(ini.ReadString("Common", "E", "-"), "");
  EXPECT_EQ(ini.ReadString("Common", "F", ""), " padded ");
  EXPECT_EQ(ini.ReadInteger("Common", "G", 0), 3);
  EXPECT_EQ(ini.ReadString("Common", "H", ""), "a\"b\"");

  // What the program writes reads back as it was, quotes and outer blanks
  // included; anything else is written as it stands.
  for (const std::string value :
       {"'x.rom'", "\"x.rom\"", " lead.rom", "trail.rom ", "\"", "'a\""}) {
    ini.WriteString("Common", "FN", value);
    EXPECT_EQ(ini.ReadString("Common", "FN", ""), value) << value;
  }
  ini.WriteString("Common", "FN", "/home/bench/Насос v2.rom");
  EXPECT_NE(Bytes(FPath).find("\r\nFN=/home/bench/Насос v2.rom\r\n"), std::string::npos);
}

TEST_F(IniFls, LineBreaksInsideAValueCannotSplitTheLine) {
  TMIniFile ini(FPath);
  ini.WriteString("Common", "FN", "a.rom\r\n[RS232]\r\nPort=31");
  ini.WriteString("Common", "Other", "b\nc");
  EXPECT_EQ(ini.ReadString("Common", "FN", ""), "a.rom");
  EXPECT_EQ(ini.ReadString("Common", "Other", ""), "b");
  EXPECT_EQ(ini.ReadInteger("RS232", "Port", 0), 0);
  EXPECT_EQ(Bytes(FPath), " \r\n[Common]\r\nFN=a.rom\r\nOther=b\r\n");
}

TEST_F(IniFls, LoadPlacementOfAMaximizedWindowReadsNothingElse) {
  Put("[MainWindow]\r\nState=2\r\nLeft=300\r\nTop=200\r\nWidth=640\r\nHeight=480\r\n");
  TMIniFile ini(FPath);
  RecordingWindow window;
  window.Resizable = true;
  ini.LoadPlacement("MainWindow", window);
  EXPECT_EQ(window.Calls, Calls{"State=2"});
}

TEST_F(IniFls, LoadPlacementMendsNegativeValues) {
  Put("[MainWindow]\r\nState=0\r\nLeft=-50\r\nTop=-10\r\nWidth=-1\r\nHeight=-7\r\n");
  TMIniFile ini(FPath);
  RecordingWindow window;
  window.Resizable = true;
  ini.LoadPlacement("MainWindow", window);
  EXPECT_EQ(window.Calls, (Calls{"State=0", "Left=-50", "Left=0", "Top=-10", "Top=0", "Width=-1",
                                 "Width=100", "Height=-7", "Height=100"}));
}

TEST_F(IniFls, LoadPlacementOfAFixedBorderNeverTouchesTheSize) {
  Put("[MainWindow]\r\nState=1\r\nLeft=30\r\nTop=40\r\nWidth=640\r\nHeight=480\r\n");
  TMIniFile ini(FPath);
  RecordingWindow window;
  ini.LoadPlacement("MainWindow", window);
  EXPECT_EQ(window.Calls, (Calls{"State=1", "Left=30", "Top=40"}));
  EXPECT_EQ(window.W, 367);
  EXPECT_EQ(window.H, 280);
}

TEST_F(IniFls, LoadPlacementDefaultsToTheWindowsOwnValues) {
  Put("[MainWindow]\r\nState=7\r\nLeft=abc\r\n");
  TMIniFile ini(FPath);
  RecordingWindow window;
  window.State = 1;
  window.Resizable = true;
  ini.LoadPlacement("MainWindow", window);
  EXPECT_EQ(window.Calls, (Calls{"State=0", "Left=10", "Top=20", "Width=367", "Height=280"}));

  RecordingWindow maximized;
  maximized.State = 2;
  ini.LoadPlacement("Elsewhere", maximized);
  EXPECT_EQ(maximized.Calls, Calls{"State=2"});
}

TEST_F(IniFls, CreateReportsTheCause) {
  try {
    TMIniFile ini(FFolder / "no-such-folder" / "korvalen.ini");
    FAIL() << "created in a missing folder";
  } catch (const EInOutError &error) {
    EXPECT_STREQ(error.what(), "Path not found");
  }
  // sysfs refuses new files even to root.
  if (!fs::is_directory("/sys/kernel"))
    GTEST_SKIP() << "no /sys here";
  try {
    TMIniFile ini("/sys/kernel/korvalen.ini");
    FAIL() << "created in /sys";
  } catch (const EInOutError &error) {
    EXPECT_STREQ(error.what(), "File access denied");
  }
}

TEST_F(IniFls, WriteFailureNamesTheFileAndChangesNothing) {
  // A folder where the file should be: nothing to read, nothing to replace.
  fs::create_directory(FPath);
  TMIniFile folder(FPath);
  EXPECT_EQ(folder.ReadInteger("RS232", "Port", 6), 6);
  try {
    folder.WriteInteger("RS232", "Port", 3);
    FAIL() << "wrote over a folder";
  } catch (const EIniFileException &error) {
    EXPECT_EQ(error.Message(), "Unable to write to " + FPath.string());
  }
  EXPECT_TRUE(fs::is_directory(FPath));

  // An existing file in a folder nobody may write to, root included.
  TMIniFile procFile("/proc/version");
  const std::string before = Bytes("/proc/version");
  EXPECT_THROW(procFile.WriteString("Common", "FN", "x"), EIniFileException);
  EXPECT_EQ(Bytes("/proc/version"), before);
}

TEST_F(IniFls, AReadOnlyFileIsRefusedAndKeptAsItWas) {
  const std::string content = "[RS232]\r\nPort=3\r\n";
  Put(content);
  ::chmod(FPath.c_str(), 0444);
  TMIniFile ini(FPath);
  EXPECT_EQ(ini.ReadInteger("RS232", "Port", 0), 3);
  // No write permission bit at all: read-only for everyone, root included.
  try {
    ini.WriteInteger("RS232", "Port", 5);
    FAIL() << "a read-only file was replaced";
  } catch (const EIniFileException &error) {
    EXPECT_EQ(error.Message(), "Unable to write to " + FPath.string());
  }
  EXPECT_EQ(Bytes(FPath), content);
  EXPECT_EQ(fs::status(FPath).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(std::distance(fs::directory_iterator(FFolder), fs::directory_iterator()), 1)
      << "a temporary file was left behind";

  // The same through a symbolic link to it.
  const fs::path link = FFolder / "linked.ini";
  fs::create_symlink(FPath, link);
  TMIniFile linked(link);
  EXPECT_THROW(linked.WriteInteger("RS232", "Port", 5), EIniFileException);
  EXPECT_EQ(Bytes(FPath), content);
}

TEST_F(IniFls, AFileOfAnotherUserIsRefusedOrKeepsItsOwner) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to act as another user";
  constexpr uid_t kNobody = 65534;
  const std::string content = "[RS232]\r\nPort=3\r\n";
  Put(content);
  ::chmod(FPath.c_str(), 0644);
  ::chmod(FFolder.c_str(), 0777); // the folder is anyone's to write in

  // Another user may not write root's 0644 file, though the folder would let
  // a rename replace it.
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
      ::_exit(3);
    try {
      TMIniFile ini(FPath);
      ini.WriteInteger("RS232", "Port", 5);
    } catch (const EIniFileException &) {
      ::_exit(0);
    } catch (...) {
      ::_exit(2);
    }
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the file was replaced";
  EXPECT_EQ(Bytes(FPath), content);
  struct stat info {};
  ASSERT_EQ(::stat(FPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 0u);

  // Root writes a file of another user's and hands it back with its mode.
  ASSERT_EQ(::chown(FPath.c_str(), kNobody, kNobody), 0);
  ::chmod(FPath.c_str(), 0604);
  TMIniFile ini(FPath);
  ini.WriteInteger("RS232", "Port", 7);
  EXPECT_EQ(ini.ReadInteger("RS232", "Port", 0), 7);
  ASSERT_EQ(::stat(FPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kNobody);
  EXPECT_EQ(info.st_gid, kNobody);
  EXPECT_EQ(info.st_mode & 07777, 0604u);
}

TEST_F(IniFls, AFullDiskLeavesThePreviousFileWhole) {
  fs::remove_all(FPath);
  TMIniFile ini(FPath);
  ini.WriteInteger("RS232", "Port", 3);
  ::chmod(FPath.c_str(), 0640);
  const std::string before = Bytes(FPath);

  // A file-size limit fails the temporary file's write like a full disk.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight = saved;
  tight.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  bool threw = false;
  try {
    ini.WriteString("Common", "FN", std::string(1000, 'x'));
  } catch (const EIniFileException &) {
    threw = true;
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_TRUE(threw);
  EXPECT_EQ(Bytes(FPath), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(FFolder), fs::directory_iterator()), 1)
      << "a temporary file was left behind";
  EXPECT_EQ(ini.ReadInteger("RS232", "Port", 0), 3);

  ini.WriteString("Common", "FN", "y");
  EXPECT_EQ(fs::status(FPath).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(IniFls, WritesThroughASymbolicLinkKeepingTheLink) {
  const fs::path real = FFolder / "real.ini";
  fs::create_directory(FFolder / "sub");
  const fs::path link = FFolder / "sub" / "korvalen.ini";
  std::ofstream(real, std::ios::binary) << "[A]\r\nk=1\r\n";
  fs::create_symlink(real, link);
  TMIniFile ini(link);
  ini.WriteInteger("A", "k", 2);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Bytes(real), "[A]\r\nk=2\r\n");
}

TEST_F(IniFls, GarbageReadsAsDefaultsAndKeepsItsBytes) {
  std::mt19937 random(1234);
  std::string garbage;
  for (int i = 0; i < 8192; ++i) {
    char c = static_cast<char>(random() & 0xFF);
    garbage += (c == '\n' || c == '\r') ? '\0' : c; // one endless line
  }
  Put(garbage);
  TMIniFile ini(FPath);
  EXPECT_EQ(ini.ReadInteger("RS232", "Port", 5), 5);
  EXPECT_EQ(ini.ReadString("Common", "FN", "none"), "none");
  ini.WriteInteger("RS232", "Port", 3);
  EXPECT_EQ(Bytes(FPath), garbage + "\r\n[RS232]\r\nPort=3\r\n");

  // Random bytes with line breaks and NULs in them: the old bytes stay in front.
  std::string withLines;
  for (int i = 0; i < 8192; ++i)
    withLines += static_cast<char>(random() % 7 == 0 ? '\n' : random() & 0xFF);
  Put(withLines);
  ini.WriteString("Common", "FN", "a.rom");
  ini.WriteInteger("RS232", "Port", 4);
  EXPECT_EQ(ini.ReadString("Common", "FN", ""), "a.rom");
  EXPECT_EQ(ini.ReadInteger("RS232", "Port", 0), 4);
  EXPECT_EQ(Bytes(FPath).substr(0, withLines.size()), withLines);
}

TEST(IniFlsPath, SettingsPathReplacesTheExtension) {
  EXPECT_EQ(SettingsPathFor("/opt/korvalen/korvalen"), fs::path("/opt/korvalen/korvalen.ini"));
  EXPECT_EQ(SettingsPathFor("/opt/k.v2/Korvalen.EXE"), fs::path("/opt/k.v2/Korvalen.ini"));
}

} // namespace
