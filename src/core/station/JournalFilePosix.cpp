#include "station/JournalFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "station/Journal.h"

namespace {
constexpr std::chrono::milliseconds kLockRetry{5};

[[noreturn]] void Fail(const std::filesystem::path &path, const std::string &what, int error) {
  throw EJournalError("The journal " + path.string() + " " + what + ": " + std::strerror(error) +
                      ".");
}

// A new file's name is durable once its folder is.
void SyncFolder(const std::filesystem::path &path) {
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}
} // namespace

LockedJournalFile::LockedJournalFile(const std::filesystem::path &path,
                                     std::chrono::milliseconds lockWait)
    : FPath(path) {
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
      SyncFolder(path);
  }
  if (fd < 0)
    Fail(path, "cannot be opened for writing", errno);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    throw EJournalError("The journal " + path.string() + " is not a regular file.");
  }
  const auto deadline = std::chrono::steady_clock::now() + lockWait;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if ((error != EWOULDBLOCK && error != EINTR) || std::chrono::steady_clock::now() > deadline) {
      close(fd);
      if (error == EWOULDBLOCK)
        throw EJournalError("The journal " + path.string() + " stayed locked by another writer.");
      Fail(path, "cannot be locked", error);
    }
    std::this_thread::sleep_for(kLockRetry);
  }
  FHandle = fd;
}

LockedJournalFile::~LockedJournalFile() {
  close(static_cast<int>(FHandle)); // also releases the lock
}

std::string LockedJournalFile::ReadAll() {
  return ReadFrom(0);
}

uint64_t LockedJournalFile::Size() {
  struct stat info {};
  if (fstat(static_cast<int>(FHandle), &info) != 0)
    Fail(FPath, "cannot be read", errno);
  return static_cast<uint64_t>(info.st_size);
}

std::string LockedJournalFile::ReadFrom(uint64_t from) {
  const int fd = static_cast<int>(FHandle);
  std::string content;
  char chunk[65536];
  for (off_t at = static_cast<off_t>(from);;) {
    const ssize_t got = pread(fd, chunk, sizeof chunk, at);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      Fail(FPath, "cannot be read", errno);
    if (got == 0)
      return content;
    content.append(chunk, static_cast<size_t>(got));
    at += got;
  }
}

void LockedJournalFile::AppendDurably(const std::string &line) {
  const int fd = static_cast<int>(FHandle);
  struct stat info {};
  if (fstat(fd, &info) != 0)
    Fail(FPath, "cannot be written", errno);
  std::string bytes = line;
  char last = '\n';
  if (info.st_size > 0 && pread(fd, &last, 1, info.st_size - 1) == 1 && last != '\n')
    bytes.insert(bytes.begin(), '\n');
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0) {
      const int error = put < 0 ? errno : ENOSPC;
      // No half record stays behind for the next writer to end.
      if (ftruncate(fd, info.st_size) == 0)
        fsync(fd);
      Fail(FPath, "cannot be written", error);
    }
    done += static_cast<size_t>(put);
  }
  if (fsync(fd) != 0) {
    const int error = errno;
    if (ftruncate(fd, info.st_size) == 0)
      fsync(fd);
    Fail(FPath, "cannot be flushed to disk", error);
  }
}

void LockedJournalFile::EmptyDurably() {
  const int fd = static_cast<int>(FHandle);
  if (ftruncate(fd, 0) != 0 || fsync(fd) != 0)
    Fail(FPath, "cannot be emptied", errno);
}
