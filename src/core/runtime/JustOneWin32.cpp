#include "runtime/JustOne.h"

#include "runtime/ProgramPath.h"

#include <windows.h>

TJustOne::TJustOne(std::function<void()> requestQuit)
    : TJustOne(std::move(requestQuit), JustOneName(ProgramFilePath())) {}

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
