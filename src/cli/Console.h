// The few console calls korvalen-cli makes of the system, one source per
// platform (ConsolePosix.cpp, ConsoleWin32.cpp), chosen by CMake.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// True when standard error is a terminal (a console window on Windows), so
// the progress can be drawn as a bar that redraws itself in place.
bool StandardErrorIsTerminal();

// Writes all of `data` to standard output; false with the system's error
// number in `error` when it cannot.
bool WriteStandardOutput(const char *data, size_t count, int &error);

// For a signal handler: writes to standard error without buffering, and ends
// the program at once, without running destructors or flushing streams.
void WriteStandardErrorNow(const char *text) noexcept;
[[noreturn]] void EndProgramNow(int exitCode) noexcept;

// Installs `handler` for the signals that ask the program to stop: Ctrl-C,
// SIGTERM, and on POSIX the hang-up of its terminal.
void HandleStopSignals(void (*handler)(int));

// A reader that goes away (`| head`) makes writes fail with an error instead
// of ending the program by a signal, so that it ends its own way.
void IgnoreBrokenPipe();

// The arguments as UTF-8, which the core takes paths in, and console output
// in UTF-8. On Windows argv is in the ANSI code page and has lost every
// letter that it cannot hold: the arguments are taken again from the wide
// command line, and the console is switched to UTF-8 for the messages.
// Elsewhere both are UTF-8 already. Lives as long as main uses argv.
class Utf8Arguments {
public:
  Utf8Arguments(int &argc, char **&argv);

private:
  std::vector<std::string> FTexts;
  std::vector<char *> FPointers;
};

// True once standard input has ended (its writer closed it), looked at
// without waiting: how a gang tells a port in repeat mode to start no new
// board. Whatever may be read is read and dropped.
bool StandardInputEnded();

// How many columns the terminal on standard error has; 80 when unknown.
int TerminalColumns();
