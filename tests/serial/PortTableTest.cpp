#include "link/serial/PortTable.h"
#include "link/serial/PosixSerialPort.h"
#include "serial/PseudoTerminal.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

TEST(PortTableTest, FixedTableMapsTheThreeRangesAndNothingElse) {
  const PortTable table = PortTable::Fixed();
  EXPECT_EQ(table.PathOf(1), "/dev/ttyS0");
  EXPECT_EQ(table.PathOf(8), "/dev/ttyS7");
  EXPECT_EQ(table.PathOf(9), "/dev/ttyUSB0");
  EXPECT_EQ(table.PathOf(12), "/dev/ttyUSB3");
  EXPECT_EQ(table.PathOf(24), "/dev/ttyUSB15");
  EXPECT_EQ(table.PathOf(25), "/dev/ttyACM0");
  EXPECT_EQ(table.PathOf(32), "/dev/ttyACM7");
  EXPECT_EQ(table.PathOf(0), "");
  EXPECT_EQ(table.PathOf(-1), "");
  EXPECT_EQ(table.PathOf(33), "");
}

TEST(PortTableTest, PortsFolderIsTheWholeTable) {
  PseudoTerminal first;
  PseudoTerminal second;
  TemporaryFolder folder;
  fs::create_symlink(first.SlavePath(), folder.Path() / "COM3");
  fs::create_symlink(second.SlavePath(), folder.Path() / "COM12");
  fs::create_symlink(first.SlavePath(), folder.Path() / "COM33");
  std::ofstream(folder.Path() / "notes.txt") << "not a port";

  PosixSerialPlatform platform(PortTable::FromFolder(folder.Path()));
  EXPECT_EQ(platform.DevicePath(3), (folder.Path() / "COM3").string());
  EXPECT_EQ(platform.DevicePath(12), (folder.Path() / "COM12").string());
  EXPECT_EQ(platform.Table().ResolvedPathOf(12), fs::canonical(second.SlavePath()).string());
  // A number without an entry names nothing, even where the fixed table has a
  // device; numbers above 32 are never ports.
  EXPECT_EQ(platform.DevicePath(1), "");
  EXPECT_EQ(platform.DevicePath(33), "");

  EXPECT_TRUE(platform.Probe(3));
  EXPECT_TRUE(platform.Probe(12));
  EXPECT_FALSE(platform.Probe(1));
  EXPECT_FALSE(platform.Probe(33));
  EXPECT_EQ(platform.Open(1), nullptr);

  // An entry added later is seen without building a new table.
  fs::create_symlink(second.SlavePath(), folder.Path() / "COM5");
  EXPECT_TRUE(platform.Probe(5));
}

TEST(PortTableTest, EntriesThatAreNotDevicesAreNotPortsAndSayWhatTheyAre) {
  TemporaryFolder folder;
  fs::create_symlink(folder.Path() / "gone", folder.Path() / "COM2");
  std::ofstream(folder.Path() / "COM4") << "plain file";
  fs::create_directory(folder.Path() / "COM5");
  ASSERT_EQ(mkfifo((folder.Path() / "COM6").c_str(), 0600), 0);
  fs::create_symlink("/dev/null", folder.Path() / "COM7");
  // A pseudo-terminal whose program has ended: its /dev/pts entry is gone (far
  // past the numbers in use, so that no other test takes it meanwhile).
  const std::string closedTerminal = "/dev/pts/" + std::to_string(4000 + getpid() % 1000);
  fs::create_symlink(closedTerminal, folder.Path() / "COM8");

  PosixSerialPlatform platform(PortTable::FromFolder(folder.Path()));
  // A dangling link still names its path, so a person sees what is missing.
  EXPECT_EQ(platform.DevicePath(2), (folder.Path() / "COM2").string());
  EXPECT_EQ(platform.Table().ResolvedPathOf(2), "");
  EXPECT_EQ(platform.Status(2), PortStatus::Absent);
  for (int n : {4, 5, 6, 7})
    EXPECT_EQ(platform.Status(n), PortStatus::NotTerminal) << "COM" << n;
  EXPECT_EQ(platform.Status(8), PortStatus::HungUp);
  for (int n : {2, 4, 5, 6, 7, 8}) {
    EXPECT_FALSE(platform.Probe(n)) << "COM" << n;
    EXPECT_EQ(platform.Open(n), nullptr) << "COM" << n;
    EXPECT_FALSE(IsPresent(platform.Status(n))) << "COM" << n;
  }
}

TEST(PortTableTest, ProgramFolderUsesPortsFolderOnlyWhileItExists) {
  TemporaryFolder programFolder;
  const PortTable table = PortTable::ForProgramDirectory(programFolder.Path());
  EXPECT_EQ(table.PathOf(1), "/dev/ttyS0");
  EXPECT_EQ(table.PathOf(30), "/dev/ttyACM5");

  fs::create_directory(programFolder.Path() / "ports");
  EXPECT_EQ(table.PathOf(1), "");
  PseudoTerminal device;
  fs::create_symlink(device.SlavePath(), programFolder.Path() / "ports" / "COM7");
  EXPECT_EQ(table.PathOf(7), (programFolder.Path() / "ports" / "COM7").string());
  EXPECT_EQ(table.PathOf(9), "");
}

TEST(PortTableTest, SingleDeviceIsComOneOnly) {
  const PortTable table = PortTable::Single("/tmp/some-device");
  EXPECT_EQ(table.PathOf(1), "/tmp/some-device");
  EXPECT_EQ(table.PathOf(2), "");
  EXPECT_EQ(table.PathOf(0), "");
}

TEST(PortTableTest, AnInstalledProgramFindsThePortsFolderBesideItsSettings) {
  TemporaryFolder programFolder;
  TemporaryFolder settingsFolder;
  const PortTable table =
      PortTable::ForProgramDirectory(programFolder.Path(), settingsFolder.Path());
  EXPECT_EQ(table.PathOf(1), "/dev/ttyS0") << "neither folder has ports";

  fs::create_directory(settingsFolder.Path() / "ports");
  fs::create_symlink("/dev/null", settingsFolder.Path() / "ports" / "COM5");
  EXPECT_EQ(table.PathOf(5), (settingsFolder.Path() / "ports" / "COM5").string());
  EXPECT_EQ(table.PathOf(1), "");

  // A ports folder beside the program stays the whole table.
  fs::create_directory(programFolder.Path() / "ports");
  EXPECT_EQ(table.PathOf(5), "");
}
