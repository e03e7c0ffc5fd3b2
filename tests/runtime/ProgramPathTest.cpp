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
    Folder = pattern;
    fs::create_directories(Folder / "bin");
    Place.ProgramFile = Folder / "bin" / "korvalen";
    Place.ConfigHome = (Folder / "config").string();
    Place.Home = (Folder / "home").string();
  }
  void TearDown() override { fs::remove_all(Folder); }

  fs::path Folder;
  SettingsPlace Place;
};
} // namespace

TEST_F(SettingsFolderTest, BesideAWritableProgramOrAnExistingFile) {
  Place.ProgramFolderWritable = true;
  EXPECT_EQ(SettingsFolderFor(Place), Folder / "bin") << "build/bin and portable folders";

  Place.ProgramFolderWritable = false;
  EXPECT_EQ(SettingsFolderFor(Place), Folder / "config" / "korvalen");
  std::ofstream(Folder / "bin" / "korvalen.ini") << " \r\n";
  EXPECT_EQ(SettingsFolderFor(Place), Folder / "bin") << "the file that stands there is used";
}

TEST_F(SettingsFolderTest, TheUsersConfigurationFolderWhenTheProgramsIsNotWritable) {
  Place.ProgramFolderWritable = false;
  Place.ConfigHome = "relative/config"; // not absolute: to be ignored
  EXPECT_EQ(SettingsFolderFor(Place), Folder / "home" / ".config" / "korvalen");
  Place.ConfigHome.clear();
  EXPECT_EQ(SettingsFolderFor(Place), Folder / "home" / ".config" / "korvalen");
  Place.Home.clear();
  EXPECT_EQ(SettingsFolderFor(Place), Folder / "bin") << "nowhere else to go";
}

TEST_F(SettingsFolderTest, UsrIsThePackageManagersEvenWhereRootMayWrite) {
  Place.ProgramFolderWritable = true;
  Place.ProgramFile = "/usr/bin/korvalen";
  EXPECT_EQ(SettingsFolderFor(Place), Folder / "config" / "korvalen");
  Place.ProgramFile = "/usr/local/bin/korvalen";
  EXPECT_EQ(SettingsFolderFor(Place), Folder / "config" / "korvalen");
  Place.ProgramFile = "/usrlocal/korvalen";
  EXPECT_EQ(SettingsFolderFor(Place), "/usrlocal");
}

TEST(SettingsFolder, TheRunningTestsFolderIsWritable) {
  // The tests run from the build tree, which the build could write.
  EXPECT_EQ(SettingsFolder(), ProgramDirectory());
}
