#!/bin/sh
# Builds everything (the GUI included) with AddressSanitizer and
# UndefinedBehaviorSanitizer in a folder of its own and runs every test there.
# The first error of either kind, a leak included, fails the run. Only leaks
# inside system libraries are suppressed (scripts/lsan.supp); Qt on the
# offscreen platform reports none.
# Usage: scripts/sanitize.sh [build-folder]   (default build-asan)
#   CMAKE_FLAGS  further configure options, e.g. -DKORVALEN_TEST_DIRS="link;app"
#   JOBS         parallel compile jobs (default 2)
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh

build=${1:-build-asan}
jobs=${JOBS:-2}
generator=""
command -v ninja >/dev/null 2>&1 && generator="-G Ninja"

# The test programs already run while building (test discovery), so the
# options hold for the build as well.
# strndup is left alone: with strict string checks its wrapper reads past the
# length it is given, and libxkbcommon-x11 hands it buffers without a final NUL
# when the desktop program starts on a real X display.
ASAN_OPTIONS=halt_on_error=1:print_stacktrace=1:detect_leaks=1:strict_string_checks=1:intercept_strndup=0:detect_stack_use_after_return=1:check_initialization_order=1
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
LSAN_OPTIONS=suppressions=$(pwd)/scripts/lsan.supp:print_suppressions=0
export ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS

# shellcheck disable=SC2086
cmake -S . -B "$build" $generator -DCMAKE_BUILD_TYPE=Debug -DKORVALEN_SANITIZE=ON ${CMAKE_FLAGS:-}
cmake --build "$build" -j "$jobs"
cd "$build"
ctest --output-on-failure --timeout 120
