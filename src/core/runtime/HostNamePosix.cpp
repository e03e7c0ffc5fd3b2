#include "runtime/HostName.h"

#include <unistd.h>

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
    return "unknown";
  return name;
}
