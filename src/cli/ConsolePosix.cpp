#include "cli/Console.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool WriteStandardOutput(const char *data, size_t count, int &error) {
  while (count > 0) {
    const ssize_t written = write(STDOUT_FILENO, data, count);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0) {
      error = written < 0 ? errno : EIO;
      return false;
    }
    data += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

void WriteStandardErrorNow(const char *text) noexcept {
  size_t count = std::strlen(text);
  while (count > 0) {
    const ssize_t written = write(STDERR_FILENO, text, count);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return;
    text += written;
    count -= static_cast<size_t>(written);
  }
}

void EndProgramNow(int exitCode) noexcept {
  _exit(exitCode);
}

void HandleStopSignals(void (*handler)(int)) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP})
    std::signal(signal, handler);
}

void IgnoreBrokenPipe() {
  std::signal(SIGPIPE, SIG_IGN);
}

Utf8Arguments::Utf8Arguments(int &, char **&) {}

bool StandardInputEnded() {
  for (;;) {
    pollfd state{STDIN_FILENO, POLLIN, 0};
    if (poll(&state, 1, 0) <= 0)
      return false;
    if ((state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (state.revents & POLLIN) == 0)
      return true;
    char drop[256];
    const ssize_t got = read(STDIN_FILENO, drop, sizeof drop);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
      return true;
    if (got < 0)
      return false;
  }
}

int TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 80;
}
