#include "cli/Console.h"

#include <io.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The C runtime's own check: a console handle counts, a pipe or file does not.
bool StandardErrorIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

bool WriteStandardOutput(const char *data, size_t count, int &error) {
  while (count > 0) {
    const int written = _write(1, data, static_cast<unsigned>(count));
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
  _write(2, text, static_cast<unsigned>(std::strlen(text)));
}

void EndProgramNow(int exitCode) noexcept {
  _exit(exitCode);
}

void HandleStopSignals(void (*handler)(int)) {
  std::signal(SIGINT, handler);
  std::signal(SIGTERM, handler);
}

// Windows raises no signal for a reader that went away.
void IgnoreBrokenPipe() {}
