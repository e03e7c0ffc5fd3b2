#include "runtime/ProgramPath.h"

#ifdef _WIN32
#include <windows.h>

std::filesystem::path ProgramFilePath() {
  char buffer[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return std::filesystem::path(std::string(buffer, length));
}
#else
std::filesystem::path ProgramFilePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}
#endif

std::filesystem::path ProgramDirectory() {
  return ProgramFilePath().parent_path();
}
