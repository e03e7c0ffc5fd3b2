#include "sim/PseudoTerminal.h"

#include "sim/PosixCalls.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

void PseudoTerminal::Open() {
  try {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0) {
      ThrowErrno("posix_openpt");
    }
    if (::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0) {
      ThrowErrno("grantpt/unlockpt");
    }
    char name[256] = {};
    if (::ptsname_r(FMaster, name, sizeof name) != 0) {
      ThrowErrno("ptsname");
    }
    FSlavePath = name;
    FSlaveHold = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FSlaveHold < 0) {
      ThrowErrno("open " + FSlavePath);
    }
    termios tio{};
    if (::tcgetattr(FSlaveHold, &tio) != 0) {
      ThrowErrno("tcgetattr");
    }
    ::cfmakeraw(&tio);
    if (::tcsetattr(FSlaveHold, TCSANOW, &tio) != 0) {
      ThrowErrno("tcsetattr");
    }
    int flags = ::fcntl(FMaster, F_GETFL);
    if (flags < 0 || ::fcntl(FMaster, F_SETFL, flags | O_NONBLOCK) != 0) {
      ThrowErrno("fcntl");
    }
  } catch (...) {
    HangUp();
    throw;
  }
}

void PseudoTerminal::MakeLink(const std::string &path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    // A link left by an earlier run (dangling, or to some pseudo-terminal)
    // is replaced; a file or a link to a real port is someone else's.
    if (!S_ISLNK(st.st_mode)) {
      throw std::runtime_error(path + " exists and is not a symbolic link");
    }
    char target[256] = {};
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    struct stat pointed {};
    const bool dangling = ::stat(path.c_str(), &pointed) != 0;
    const bool toPty = length > 0 && std::string(target).rfind("/dev/pts/", 0) == 0;
    if (!dangling && !toPty) {
      throw std::runtime_error(path + " links to " + target + "; it is not replaced");
    }
    if (::unlink(path.c_str()) != 0) {
      ThrowErrno("cannot replace " + path);
    }
  }
  if (::symlink(FSlavePath.c_str(), path.c_str()) != 0) {
    ThrowErrno("cannot make the link " + path);
  }
  FLinkPath = path;
  FLinkMade = true;
}

std::optional<int> PseudoTerminal::QueuedForHost() const {
  int queued = 0;
  if (FSlaveHold < 0 || ::ioctl(FSlaveHold, FIONREAD, &queued) != 0) {
    return std::nullopt;
  }
  return queued;
}

void PseudoTerminal::HangUp() {
  CloseFd(FMaster);
  CloseFd(FSlaveHold);
}

void PseudoTerminal::Close() {
  HangUp();
  if (FLinkMade) {
    char target[256] = {};
    ssize_t n = ::readlink(FLinkPath.c_str(), target, sizeof target - 1);
    if (n >= 0 && FSlavePath == std::string(target, static_cast<size_t>(n))) {
      ::unlink(FLinkPath.c_str());
    }
    FLinkMade = false;
  }
}

} // namespace sim
