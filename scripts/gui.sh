#!/bin/sh
# Opens the desktop program against the virtual device, for trying it without
# hardware.
#
# Beside the program it makes a sample image (6 pages and the trailer of device
# code 97, version mark 'e'), starts korvalen-sim behind ports/COM1 (echo on,
# the wire paced at 19200 baud, as the program runs its link), and then opens
# korvalen. Press "Загрузить " and the sample goes into the virtual device;
# its memory is written to sim-memory.bin beside the program when korvalen
# exits, and the sim is stopped.
#
# The settings file korvalen.ini gets the sample as its image file ("FN" of
# section "Common") only when it names none yet: a file the operator chose in
# an earlier session is left as it was.
# Usage: scripts/gui.sh [BUILD_BIN_DIR]
set -eu
bin=$(cd "${1:-build/bin}" && pwd)
for program in korvalen korvalen-sim; do
  [ -x "$bin/$program" ] || { echo "gui: $bin/$program is missing" >&2; exit 1; }
done

sim_pid=""
made_ports=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill -INT "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  # A ports folder is the whole port table: leave none behind that we made.
  [ -n "$made_ports" ] && rmdir "$bin/ports" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

image=$bin/sample.rom
if [ ! -f "$image" ]; then
  head -c $((6 * 1536)) /dev/urandom >"$image"
  printf '\141\145\000' >>"$image"
fi

[ -d "$bin/ports" ] || { mkdir "$bin/ports"; made_ports=1; }
"$bin/korvalen-sim" --echo on --pace-baud 19200 --link "$bin/ports/COM1" \
  --memory-out "$bin/sim-memory.bin" >/dev/null &
sim_pid=$!
for _ in $(seq 50); do [ -e "$bin/ports/COM1" ] && break; sleep 0.1; done
[ -e "$bin/ports/COM1" ] || { echo "gui: korvalen-sim did not come up" >&2; exit 1; }

ini=$bin/korvalen.ini
if [ ! -f "$ini" ]; then
  printf ' \r\n[Common]\r\nFN=%s\r\n' "$image" >"$ini"
elif ! awk '/^\[/ { common = tolower($0) ~ /^\[ *common *\]/ }
             common && tolower($0) ~ /^ *fn *= *[^ \r]/ { found = 1 }
             END { exit !found }' "$ini"; then
  # Drop an empty FN of [Common] and put the sample's there (the section is
  # added at the end when there is none).
  awk -v fn="$image" '
    BEGIN { done = 0 }
    /^\[/ { common = tolower($0) ~ /^\[ *common *\]/ }
    common && tolower($0) ~ /^ *fn *=/ { next }
    { print }
    common && !done && /^\[/ { printf "FN=%s\r\n", fn; done = 1 }
    END { if (!done) printf "[Common]\r\nFN=%s\r\n", fn }' "$ini" >"$ini.tmp"
  mv "$ini.tmp" "$ini"
fi

echo "gui: korvalen-sim on $bin/ports/COM1; opening $bin/korvalen"
"$bin/korvalen"
