#include "runtime/JustOne.h"

#include "runtime/ProgramPath.h"

#include <windows.h>

namespace {
// The name as CreateMutexA takes it: in the ANSI code page, with '?' for a
// letter it cannot hold (the narrow path conversion would throw instead).
std::string AnsiFileName(const std::filesystem::path &programFile) {
  const std::wstring wide = programFile.filename().wstring();
  const int size = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string name(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), name.data(), size,
                      nullptr, nullptr);
  return name;
}
} // namespace

TJustOne::TJustOne(std::function<void()> requestQuit)
    : TJustOne(std::move(requestQuit), AnsiFileName(ProgramFilePath())) {}

TJustOne::TJustOne(std::function<void()> requestQuit, std::string name, std::filesystem::path)
    : FMutex(nullptr) {
  FFirstInstance = false;
  // An empty name would make an unnamed mutex, which detects nothing.
  if (!name.empty()) {
    FMutex = CreateMutexA(nullptr, FALSE, name.c_str());
    const DWORD error = GetLastError();
    if (FMutex != nullptr && error != ERROR_ALREADY_EXISTS) {
      FFirstInstance = true;
      return;
    }
  }
  if (requestQuit)
    requestQuit();
}

// A refused copy's handle only adds a reference to the first copy's mutex;
// closing it changes nothing for the first copy.
TJustOne::~TJustOne() {
  if (FMutex != nullptr)
    CloseHandle(FMutex);
}
