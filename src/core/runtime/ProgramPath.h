// Where the running program file lives, and where its settings file and its
// ports folder are found: beside it, or in the user's configuration folder
// when the program is installed where the user cannot write.
#pragma once

#include <filesystem>
#include <string>

// The running program file's full path, as the platform reports it.
std::filesystem::path ProgramFilePath();
// The folder that holds the program file.
std::filesystem::path ProgramDirectory();

// What decides where the settings live.
struct SettingsPlace {
  std::filesystem::path ProgramFile;
  bool ProgramFolderWritable = false;
  std::string ConfigHome; // $XDG_CONFIG_HOME; empty when unset
  std::string Home;       // $HOME; empty when unset
};

// The folder of the settings file (and of the ports folder, when none stands
// beside the program): the program's folder when the settings file already
// stands there, or when the folder is writable and does not lie under /usr
// (which belongs to the package manager, even for root); otherwise
// ConfigHome/korvalen, or Home/.config/korvalen when ConfigHome is empty or
// not absolute. Without a usable ConfigHome or Home, the program's folder.
std::filesystem::path SettingsFolderFor(const SettingsPlace &place);
// The same for the running program. On Windows always the program's folder.
std::filesystem::path SettingsFolder();

// The core keeps paths as UTF-8 text. On Windows a path's narrow string is in
// the ANSI code page and loses what that cannot hold (Cyrillic letters on a
// Western system), so paths cross over only through these two. Elsewhere the
// bytes pass unchanged.
std::filesystem::path PathFromUtf8(const std::string &text);
std::string Utf8FromPath(const std::filesystem::path &path);
