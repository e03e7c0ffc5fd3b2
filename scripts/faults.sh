#!/bin/sh
# The fault matrix: seeded loads by korvalen-cli into a korvalen-sim that
# damages replies, answers busy, stays silent or hangs up mid-page. Every load
# must either complete with exactly the right device memory or fail with one
# of the link's own messages; anything else fails this script.
#
#   scripts/faults.sh BUILD_DIR [korvalen-faults options: --per-cell N --seed S --jobs J]
set -eu
build=${1:?usage: scripts/faults.sh BUILD_DIR [options]}
shift
cmake --build "$build" --target korvalen-faults -j 2 >/dev/null
exec "$build/bin/korvalen-faults" "$build/bin" "$@"
