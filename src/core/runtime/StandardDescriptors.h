// Descriptors 0, 1 and 2 are the program's terminal, whatever it opens later.
//
// A program started with one of them closed (`2>&-`) would otherwise hand that
// number to the next file it opens: a serial port opened as descriptor 2 would
// carry every message and trace down the line into the device.
#pragma once

#include <optional>

// The exit code of a program that could not be given its standard
// descriptors (EX_OSERR): nothing can be opened safely.
inline constexpr int kExitNoDescriptors = 71;

struct StandardDescriptors {
  bool InputWasClosed = false;
  bool OutputWasClosed = false;
  bool ErrorWasClosed = false;
};

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Call it
// first thing in main, before anything else is opened. Answers which were
// closed, or nothing when one could not be opened: then nothing can be opened
// safely, and the program should end.
std::optional<StandardDescriptors> OpenStandardDescriptors();
