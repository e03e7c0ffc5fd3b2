// The journal file as the operating system holds it: opened for appending
// under an exclusive lock that every writer of it takes (flock on POSIX,
// LockFileEx on Windows), one source per platform.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

class LockedJournalFile {
public:
  // Opens the file (creating it, and making its name durable in its folder)
  // and takes its lock, waiting up to `lockWait` for another writer to be
  // done. Throws EJournalError saying why it cannot.
  explicit LockedJournalFile(const std::filesystem::path &path,
                             std::chrono::milliseconds lockWait = std::chrono::seconds(10));
  // Releases the lock and closes the file.
  ~LockedJournalFile();
  LockedJournalFile(const LockedJournalFile &) = delete;
  LockedJournalFile &operator=(const LockedJournalFile &) = delete;

  // The whole file as it stands.
  std::string ReadAll();
  // What the file holds from byte `from` on.
  std::string ReadFrom(uint64_t from);
  uint64_t Size();
  // Appends `line` (ending in '\n') on a line of its own: a last line torn by
  // a crash is ended first, so the two never glue together. Returns once the
  // bytes are on disk. On a failure (a full disk) the file is cut back to
  // what it held and EJournalError thrown.
  void AppendDurably(const std::string &line);
  // Cuts the file to nothing, durably (a spool all of whose records the
  // server holds). Throws EJournalError.
  void EmptyDurably();

private:
  std::filesystem::path FPath;
  // The open file: a descriptor on POSIX, a HANDLE on Windows.
  intptr_t FHandle = -1;
};
