#include "runtime/Exceptions.h"
#include "runtime/IniFlsFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string ErrorText(int error) {
  switch (error) {
  case EACCES:
  case EPERM:
  case EROFS:
    return "File access denied";
  case ENOENT:
  case ENOTDIR:
    return "Path not found";
  case ENOSPC:
  case EDQUOT:
  case EFBIG:
    return "Disk full";
  case EMFILE:
  case ENFILE:
    return "Too many open files";
  case ENAMETOOLONG:
  case EINVAL:
    return "Invalid filename";
  default:
    return "I/O error " + std::to_string(error) + " (" + std::strerror(error) + ")";
  }
}

// Writes every byte; false with errno set on failure.
bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Closes and reports whether the close (the last chance for a deferred write
// error) went well.
bool CloseChecked(int fd) {
  return ::close(fd) == 0 || errno == EINTR;
}

// The file a rename must replace: the target of a symbolic link, so that the
// link itself stays.
std::string RenameTarget(const std::string &path) {
  std::error_code error;
  if (std::filesystem::is_symlink(path, error)) {
    const auto target = std::filesystem::canonical(path, error);
    if (!error)
      return target.string();
  }
  return path;
}

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// The rename would get round a file's permissions, so a file that may not be
// written is not replaced: one without any write permission bit (read-only for
// every user, root included, as the read-only attribute is on Windows), or one
// this user may not open for writing.
bool MayWrite(const std::string &path, const struct stat &info) {
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
    return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0)
    return false;
  ::close(fd);
  return true;
}

void SyncFolder(const std::string &path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return;
  ::fsync(fd); // makes the rename itself durable; not every file system can
  ::close(fd);
}

} // namespace

IniReadResult IniReadFile(const std::string &path, std::string &content) {
  content.clear();
  // Non-blocking so that a FIFO at the path cannot stall the program.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0)
    return errno == ENOENT || errno == ENOTDIR ? IniReadResult::Missing : IniReadResult::Failed;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return IniReadResult::Failed;
  }
  std::vector<char> chunk(64 * 1024);
  for (;;) {
    const ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got < 0) {
      if (errno == EINTR)
        continue;
      ::close(fd);
      content.clear();
      return IniReadResult::Failed;
    }
    if (got == 0)
      break;
    content.append(chunk.data(), static_cast<std::size_t>(got));
  }
  ::close(fd);
  return IniReadResult::Ok;
}

void IniCreateFile(const std::string &path, std::string_view content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    if (errno == EEXIST)
      return;
    throw EInOutError(ErrorText(errno));
  }
  const bool written = WriteAll(fd, content);
  const int writeError = errno;
  const bool closed = CloseChecked(fd);
  if (!written || !closed) {
    const int error = written ? errno : writeError;
    ::unlink(path.c_str());
    throw EInOutError(ErrorText(error));
  }
}

bool IniReplaceFile(const std::string &path, std::string_view content) {
  const std::string target = RenameTarget(path);
  struct stat info {};
  const bool exists = ::stat(target.c_str(), &info) == 0;
  if (exists && !MayWrite(target, info))
    return false;

  const std::filesystem::path targetPath(target);
  // Hidden, so that one left by a power cut does not clutter the folder.
  std::string temp =
      (targetPath.parent_path() / ("." + targetPath.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0)
    return false;

  if (exists) {
    ::fchmod(fd, info.st_mode & 07777);
    // Only root may hand the file back to its owner; anyone else keeps it as
    // theirs, in the file's group when they belong to it.
    if ((info.st_uid != ::geteuid() || info.st_gid != ::getegid()) &&
        ::fchown(fd, info.st_uid, info.st_gid) != 0 && ::fchown(fd, -1, info.st_gid) != 0) {
    }
  } else {
    ::fchmod(fd, NewFileMode());
  }

  const bool done = WriteAll(fd, content) && ::fsync(fd) == 0;
  if (!CloseChecked(fd) || !done || ::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolder(target);
  return true;
}
