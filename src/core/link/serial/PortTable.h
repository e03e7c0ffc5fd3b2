// Which device a port number COMn (n = 1 ... 32) names on a POSIX machine.
//
// A folder `ports` beside the program, when there is one, is the whole table:
// COMn is its entry named "COMn" (normally a symbolic link to /dev/ttyUSB0, to
// /dev/serial/by-id/..., or to a virtual device's pseudo-terminal), and a
// number without an entry names nothing. A program installed where the user
// cannot write finds the folder beside its settings file instead (in the
// user's configuration folder). Otherwise the fixed table holds:
// COM1-COM8 -> /dev/ttyS0-7, COM9-COM24 -> /dev/ttyUSB0-15,
// COM25-COM32 -> /dev/ttyACM0-7.
//
// The table is a small value; tests and the command line's --device inject
// their own.
#pragma once

#include <filesystem>

#include "link/serial/SerialPort.h"
#include <string>

class PortTable {
public:
  // The table of this installation: the `ports` folder beside the running
  // program if it exists, else the one in its settings folder
  // (SettingsFolder()) if that exists, else the fixed table. Whether a folder
  // exists is decided at every look-up, so a folder made later is seen.
  static PortTable BesideProgram();
  // The same rule for a program living in `programDirectory` whose settings
  // live in `settingsFolder` (empty: beside the program).
  static PortTable ForProgramDirectory(std::filesystem::path programDirectory,
                                       std::filesystem::path settingsFolder = {});
  // Entries "COMn" of `folder` are the whole table (looked up at every call).
  static PortTable FromFolder(std::filesystem::path folder);
  // The fixed table of the system's own device names.
  static PortTable Fixed();
  // COM1 names `devicePath`; every other number names nothing.
  static PortTable Single(std::string devicePath);

  // The device path that COMn names, as given (the entry's own path for a
  // folder table, not its target); empty when n names nothing or lies outside
  // 1 ... 32. A folder entry that is a dangling link still names its path: the
  // probe then finds no device there.
  std::string PathOf(int n) const;
  // PathOf(n) with every symbolic link resolved (what a folder entry points
  // to); empty when n names nothing or the target does not exist.
  std::string ResolvedPathOf(int n) const;

private:
  enum class Kind { Fixed, Folder, BesideProgram, Single };
  PortTable(Kind kind, std::filesystem::path where, std::filesystem::path settingsFolder = {})
      : FTableKind(kind), FWhere(std::move(where)), FSettingsFolder(std::move(settingsFolder)) {}

  Kind FTableKind;
  // The folder (Folder), the program's folder (BesideProgram) or the device
  // path (Single); unused for Fixed.
  std::filesystem::path FWhere;
  // BesideProgram only: the settings folder, when it is not the program's.
  std::filesystem::path FSettingsFolder;
};
