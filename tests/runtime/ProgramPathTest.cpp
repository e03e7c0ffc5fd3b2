// Where the settings file lives: beside the program, or in the user's
// configuration folder for a program installed where the user cannot write.
#include "runtime/ProgramPath.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdlib.h>

namespace fs = std::filesystem;

namespace {
class SettingsFolderTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "settings-folder-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    FFolder = pattern;
    fs::create_directories(FFolder / "bin");
    FPlace.ProgramFile = FFolder / "bin" / "korvalen";
    FPlace.ConfigHome = (FFolder / "config").string();
    FPlace.Home = (FFolder / "home").string();
  }
  void TearDown() override { fs::remove_all(FFolder); }

  fs::path FFolder;
  SettingsPlace FPlace;
};
} // namespace

TEST_F(SettingsFolderTest, BesideAWritableProgramOrAnExistingFile) {
  FPlace.ProgramFolderWritable = true;
  EXPECT_EQ(SettingsFolderFor(FPlace), FFolder / "bin") << "build/bin and portable folders";

  FPlace.ProgramFolderWritable = false;
  EXPECT_EQ(SettingsFolderFor(FPlace), FFolder / "config" / "korvalen");
  std::ofstream(FFolder / "bin" / "korvalen.ini") << " \r\n";
  EXPECT_EQ(SettingsFolderFor(FPlace), FFolder / "bin") << "the file that stands there is used";
}

TEST_F(SettingsFolderTest, TheUsersConfigurationFolderWhenTheProgramsIsNotWritable) {
  FPlace.ProgramFolderWritable = false;
  FPlace.ConfigHome = "relative/config"; // not absolute: to be ignored
  EXPECT_EQ(SettingsFolderFor(FPlace), FFolder / "home" / ".config" / "korvalen");
  FPlace.ConfigHome.clear();
  EXPECT_EQ(SettingsFolderFor(FPlace), FFolder / "home" / ".config" / "korvalen");
  FPlace.Home.clear();
  EXPECT_EQ(SettingsFolderFor(FPlace), FFolder / "bin") << "nowhere else to go";
}

TEST_F(SettingsFolderTest, UsrIsThePackageManagersEvenWhereRootMayWrite) {
  FPlace.ProgramFolderWritable = true;
  FPlace.ProgramFile = "/usr/bin/korvalen";
  EXPECT_EQ(SettingsFolderFor(FPlace), FFolder / "config" / "korvalen");
  FPlace.ProgramFile = "/usr/local/bin/korvalen";
  EXPECT_EQ(SettingsFolderFor(FPlace), FFolder / "config" / "korvalen");
  FPlace.ProgramFile = "/usrlocal/korvalen";
  EXPECT_EQ(SettingsFolderFor(FPlace), "/usrlocal");
}

TEST(SettingsFolder, TheRunningTestsFolderIsWritable) {
  // The tests run from the build tree, which the build could write.
  EXPECT_EQ(SettingsFolder(), ProgramDirectory());
}
