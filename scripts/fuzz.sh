#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for SECONDS seconds.
# The checked-in seeds (fuzz/corpus/<target>) are read only: what a run finds
# new goes to a temporary folder, so the repository does not grow.
# A crash, a sanitizer report, a hang or a broken check stops the target, keeps
# the input in build-fuzz/findings/ and makes the script fail.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60)
set -eu

seconds=${1:-60}
jobs=${JOBS:-2}
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-fuzz"

scripts/deps.sh clang libclang-rt-14-dev

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DKORVALEN_FUZZ=ON \
  -DKORVALEN_GUI=OFF -DKORVALEN_TESTS=OFF -DKORVALEN_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_reply fuzz_ini fuzz_image fuzz_hex

findings="$build/findings"
mkdir -p "$findings"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

failed=""
for target in fuzz_reply fuzz_ini fuzz_image fuzz_hex; do
  case $target in
    fuzz_reply) max_len=4096 ;;
    fuzz_ini) max_len=8192 ;;
    fuzz_image) max_len=20480 ;;
    fuzz_hex) max_len=8192 ;;
  esac
  mkdir -p "$work/$target"
  echo "== $target: $seconds s"
  if ! "$build/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len="$max_len" -print_final_stats=1 -artifact_prefix="$findings/$target-" \
      "$work/$target" "fuzz/corpus/$target" >"$work/$target.log" 2>&1; then
    failed="$failed $target"
    tail -n 60 "$work/$target.log"
  else
    grep -E 'DONE|^stat::(number_of_executed_units|average_exec_per_sec)' "$work/$target.log" || true
  fi
done

if [ -n "$failed" ]; then
  echo "Fuzzing found faults in:$failed (inputs in $findings)" >&2
  exit 1
fi
echo "Fuzzing found nothing."
