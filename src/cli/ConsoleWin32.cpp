#include "cli/Console.h"

#include <io.h>

#include <cstdio>

// The C runtime's own check: a console handle counts, a pipe or file does not.
bool StandardErrorIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}
