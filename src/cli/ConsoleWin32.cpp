#include "cli/Console.h"

#include <io.h>
#include <windows.h>

#include <shellapi.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
std::string Utf8(const wchar_t *text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1)
    return {};
  std::string result(static_cast<size_t>(size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  return result;
}
} // namespace

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
  // Ctrl-Break: how a gang load passes Ctrl-C on to the korvalen-cli of each port.
  std::signal(SIGBREAK, handler);
}

// Windows raises no signal for a reader that went away.
void IgnoreBrokenPipe() {}

Utf8Arguments::Utf8Arguments(int &argc, char **&argv) {
  SetConsoleOutputCP(CP_UTF8);
  int count = 0;
  wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide)
    return;
  for (int i = 0; i < count; ++i)
    FTexts.push_back(Utf8(wide[i]));
  LocalFree(wide);
  for (std::string &text : FTexts)
    FPointers.push_back(text.data());
  FPointers.push_back(nullptr);
  argc = count;
  argv = FPointers.data();
}

bool StandardInputEnded() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &waiting, nullptr))
      return GetLastError() == ERROR_BROKEN_PIPE;
    if (waiting == 0)
      return false;
    char drop[256];
    DWORD got = 0;
    if (!ReadFile(input, drop, sizeof drop, &got, nullptr) || got == 0)
      return true;
  }
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
}
