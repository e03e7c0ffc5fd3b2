#!/bin/sh
# The benchmarks: real loads by korvalen-cli into korvalen-sim with the wire
# modelled at 19200, 115200 and 921600 baud, a silent device, and the peak
# memory of a large image; korvalen-cli pack of a 256 KB program; a gang load
# of 8 devices against one alone; the production station (journal appends,
# the report, repeat mode over fixtures); the journal in a PostgreSQL server of
# its own (numbers taken by 2 stations × 8 ports, the report over a million
# records); the desktop program's load on a real X
# display (scripts/gui-bench.sh); and the Windows programs under Wine against
# the same device (scripts/windows-bench.sh). Prints Markdown tables for the
# manual's pages (docs/).
#
#   scripts/bench.sh BUILD_DIR [korvalen-bench options]
#
# The figures depend on the machine and on what else runs on it: run it on a
# quiet machine. Takes about eight minutes, two of them under Wine.
set -eu
build=${1:?usage: scripts/bench.sh BUILD_DIR [options]}
shift
cmake --build "$build" --target korvalen-bench -j 2 >/dev/null
cmake --build "$build" --target korvalen-pack-bench -j 2 >/dev/null
cmake --build "$build" --target korvalen-gui-probe -j 2 >/dev/null
cmake --build "$build" --target korvalen-gang-bench -j 2 >/dev/null
cmake --build "$build" --target korvalen-station-bench -j 2 >/dev/null
echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
"$build/bin/korvalen-pack-bench" "$build/bin"
status=0
"$build/bin/korvalen-bench" "$build/bin" "$@" || status=$?
# Eight devices loaded at once against one alone (not with options, which
# pick one figure).
if [ $# -eq 0 ]; then
  echo
  "$build/bin/korvalen-gang-bench" "$build/bin" || status=1
fi
# The production station: journal appends, the report over 100 000 records,
# repeat mode over eight fixtures (not with options, as above).
if [ $# -eq 0 ]; then
  echo
  "$build/bin/korvalen-station-bench" "$build/bin" || status=1
fi
# The journal in a PostgreSQL server of the bench's own (where the build has
# the server's store).
if [ $# -eq 0 ] && cmake --build "$build" --target korvalen-pg-bench -j 2 >/dev/null 2>&1; then
  echo
  "$build/bin/korvalen-pg-bench" "$build/bin" || status=1
fi
# The desktop program's load, from the press of Load to the outcome box (not
# with options, as below).
if [ $# -eq 0 ]; then
  echo
  echo "#### The desktop program's load of the same image (\`scripts/gui-bench.sh\`)"
  echo
  echo "| baud | line | wall s | bound s | wall/bound | target | CPU s | CPU % of wall | ping median / p99 / max ms |"
  echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|"
  "$(dirname "$0")/gui-bench.sh" "$build/bin" 2>/dev/null || status=1
fi
# The Windows programs under Wine, in the same run (not with options, which
# pick one Linux figure; KORVALEN_BENCH_WINDOWS=0 leaves them out).
if [ $# -eq 0 ] && [ "${KORVALEN_BENCH_WINDOWS:-1}" = 1 ]; then
  echo
  "$(dirname "$0")/windows-bench.sh" "$build" || status=1
fi
exit "$status"
