// The single-instance guard: one copy of the program runs at a time.
//
// The guard makes its check when it is built and holds a named marker for as
// long as it lives. A copy that finds the marker held asks the program to quit
// through the callback it was given; it never shows a message, and the copy
// already running is not told.
//
// The marker is named after the program file's last path component (letter
// case and extension kept), so a copy of the program under another name runs
// beside the first and one of the same name in another folder is refused.
// - Windows: a named mutex in the session's local namespace (CreateMutexA;
//   the name already existing means another copy runs).
// - POSIX: a lock file of that name with ".lock" added (so that it is never
//   the program file itself, should the runtime folder be the program's own)
//   in the user's runtime folder: $XDG_RUNTIME_DIR when it is an absolute,
//   writable folder (the one environment variable the program reads), else
//   /tmp/korvalen-<uid>, made 0700 and refused unless it is a real folder
//   owned by the user. It is held with flock on a descriptor kept open for the
//   guard's life. The kernel drops the lock when the process ends in any way,
//   so a crashed copy blocks nothing; the file itself is left in place.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

class TJustOne {
public:
#ifdef _WIN32
  using MutexHandle = void *; // HANDLE; nullptr when creating the mutex failed
#else
  using MutexHandle = int; // the lock file's descriptor; -1 when none is open
#endif

  // Makes the check for the running program file. `requestQuit` (the
  // application's request to quit, which only queues it) is called when
  // another copy holds the marker or the marker cannot be made; a failure
  // counts as a running first copy.
  explicit TJustOne(std::function<void()> requestQuit);
  // The same for a given marker name and, on POSIX, lock-file folder (an empty
  // folder means the runtime folder above; ignored on Windows).
  TJustOne(std::function<void()> requestQuit, std::string name, std::filesystem::path folder = {});
  // Gives up the marker when this copy holds it.
  ~TJustOne();

  TJustOne(const TJustOne &) = delete;
  TJustOne &operator=(const TJustOne &) = delete;

  // True when this copy holds the marker.
  bool FirstInstance() const {
    return FFirstInstance;
  }

private:
  MutexHandle FMutex;
  bool FFirstInstance = false;
};

// The marker's name for a program file: its last path component.
inline std::string JustOneName(const std::filesystem::path &programFile) {
  return programFile.filename().string();
}
