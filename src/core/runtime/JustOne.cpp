#include "runtime/JustOne.h"

#include "runtime/ProgramPath.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The lock file is the marker's name with this suffix: the runtime folder may
// be the program's own, and a lock file of the program's bare name would then
// be the running program file itself, which cannot be opened for writing.
constexpr char kLockFileSuffix[] = ".lock";

bool UsableFolder(const char *folder) {
  struct stat info {};
  return folder != nullptr && folder[0] == '/' && ::stat(folder, &info) == 0 &&
         S_ISDIR(info.st_mode) && ::access(folder, W_OK | X_OK) == 0;
}

// $XDG_RUNTIME_DIR (the one environment variable the guard reads), else a
// private folder of the user's in /tmp. The private folder must really be the
// user's: in a shared /tmp another user could have made it first to block or
// spy on the lock.
std::optional<std::filesystem::path> RuntimeFolder() {
  const char *xdg = std::getenv("XDG_RUNTIME_DIR");
  if (UsableFolder(xdg))
    return std::filesystem::path(xdg);

  const uid_t user = ::geteuid();
  const std::string folder = "/tmp/korvalen-" + std::to_string(user);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    return std::nullopt;
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != user)
    return std::nullopt;
  if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0)
    return std::nullopt;
  return std::filesystem::path(folder);
}

bool UsableName(const std::string &name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

} // namespace

TJustOne::TJustOne(std::function<void()> requestQuit)
    : TJustOne(std::move(requestQuit), JustOneName(ProgramFilePath())) {}

TJustOne::TJustOne(std::function<void()> requestQuit, std::string name,
                   std::filesystem::path folder)
    : FMutex(-1) {
  FFirstInstance = false;
  if (folder.empty())
    folder = RuntimeFolder().value_or(std::filesystem::path());
  if (UsableName(name) && !folder.empty()) {
    const std::string path = (folder / (name + kLockFileSuffix)).string();
    FMutex = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (FMutex >= 0 && ::flock(FMutex, LOCK_EX | LOCK_NB) == 0) {
      FFirstInstance = true;
      return;
    }
  }
  if (requestQuit)
    requestQuit();
}

// The descriptor of a refused copy holds no lock, so closing it changes
// nothing for the first copy; it is closed rather than leaked.
TJustOne::~TJustOne() {
  if (FMutex >= 0)
    ::close(FMutex);
}
