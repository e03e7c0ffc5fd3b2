// The one console question korvalen-cli asks the system, one source per
// platform (ConsolePosix.cpp, ConsoleWin32.cpp), chosen by CMake.
#pragma once

// True when standard error is a terminal (a console window on Windows), so
// the progress can be drawn as a bar that redraws itself in place.
bool StandardErrorIsTerminal();
