#include "runtime/ProgramPath.h"

#include "runtime/IniFls.h"

#ifdef _WIN32
#include <windows.h>

std::filesystem::path ProgramFilePath() {
  char buffer[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return std::filesystem::path(std::string(buffer, length));
}

std::filesystem::path SettingsFolder() {
  return ProgramDirectory();
}
#else
#include <cstdlib>
#include <unistd.h>

std::filesystem::path ProgramFilePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

std::filesystem::path SettingsFolder() {
  SettingsPlace place;
  place.ProgramFile = ProgramFilePath();
  const std::string folder = place.ProgramFile.parent_path().string();
  place.ProgramFolderWritable = !folder.empty() && ::access(folder.c_str(), W_OK | X_OK) == 0;
  const char *configHome = std::getenv("XDG_CONFIG_HOME");
  const char *home = std::getenv("HOME");
  place.ConfigHome = configHome ? configHome : "";
  place.Home = home ? home : "";
  return SettingsFolderFor(place);
}
#endif

namespace {
constexpr const char *kUserFolderName = "korvalen";

bool UnderUsr(const std::filesystem::path &folder) {
  const std::filesystem::path normal = folder.lexically_normal();
  auto part = normal.begin();
  return normal.is_absolute() && ++part != normal.end() && *part == "usr";
}
} // namespace

std::filesystem::path ProgramDirectory() {
  return ProgramFilePath().parent_path();
}

std::filesystem::path SettingsFolderFor(const SettingsPlace &place) {
  const std::filesystem::path folder = place.ProgramFile.parent_path();
  std::error_code error;
  if (std::filesystem::exists(SettingsPathFor(place.ProgramFile), error) ||
      (place.ProgramFolderWritable && !UnderUsr(folder)))
    return folder;
  const std::filesystem::path configHome(place.ConfigHome);
  if (configHome.is_absolute())
    return configHome / kUserFolderName;
  const std::filesystem::path home(place.Home);
  if (home.is_absolute())
    return home / ".config" / kUserFolderName;
  return folder;
}
