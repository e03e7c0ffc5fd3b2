#include "runtime/StandardDescriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
bool IsClosed(int fd) {
  return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

// The lowest free number is `fd` itself, the ones below it being open already.
bool OpenNull(int fd) {
  const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  if (opened == fd)
    return true;
  if (opened < 0)
    return false;
  const bool moved = ::dup2(opened, fd) == fd;
  ::close(opened);
  return moved;
}
} // namespace

std::optional<StandardDescriptors> OpenStandardDescriptors() {
  StandardDescriptors closed;
  closed.InputWasClosed = IsClosed(STDIN_FILENO);
  closed.OutputWasClosed = IsClosed(STDOUT_FILENO);
  closed.ErrorWasClosed = IsClosed(STDERR_FILENO);
  const bool ok = (!closed.InputWasClosed || OpenNull(STDIN_FILENO)) &&
                  (!closed.OutputWasClosed || OpenNull(STDOUT_FILENO)) &&
                  (!closed.ErrorWasClosed || OpenNull(STDERR_FILENO));
  if (!ok)
    return std::nullopt;
  return closed;
}
