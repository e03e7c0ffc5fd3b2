// What the benchmark drivers share in the tables they print.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace bench {

// A target's column: "yes", or "**no**" in bold.
inline const char *Mark(bool met) {
  return met ? "yes" : "**no**";
}

// The value at fraction `p` (0 ... 1) of `values`, by nearest rank.
inline double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size())));
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

} // namespace bench
