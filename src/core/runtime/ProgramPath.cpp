#include "runtime/ProgramPath.h"

#include "runtime/IniFls.h"

#ifdef _WIN32
#include <windows.h>

// The wide call: the narrow one gives '?' for letters outside the code page.
std::filesystem::path ProgramFilePath() {
  wchar_t buffer[32768];
  const DWORD length = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
  return std::filesystem::path(std::wstring(buffer, length));
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

std::filesystem::path PathFromUtf8(const std::string &text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const std::filesystem::path &path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
