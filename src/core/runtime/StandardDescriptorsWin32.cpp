#include "runtime/StandardDescriptors.h"

// A Windows handle is never numbered like a C descriptor: a port opened with
// CreateFileA cannot take the place of a closed standard stream.
std::optional<StandardDescriptors> OpenStandardDescriptors() {
  return StandardDescriptors{};
}
