#!/bin/sh
# The desktop program's load, timed as the operator sees it: on a real X
# display (Xvfb and openbox), from the press of Load to the outcome box,
# against korvalen-sim with the wire modelled at the program's 19200 baud, in
# line mode 2 with the RS-485 echo. Prints a Markdown table row for docs/desktop.md
# with the ratio to the line's lower bound, the program's CPU share, and how
# fast the window answered the window manager's pings meanwhile.
#
#   scripts/gui-bench.sh BUILD_BIN_DIR [PAGES]      (PAGES default 64)
#
# Exits 0 when the load completed with the device's memory exact (whatever the
# figures), 1 otherwise.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:?usage: scripts/gui-bench.sh BUILD_BIN_DIR [PAGES]}" && pwd)
pages=${2:-64}
for program in korvalen korvalen-sim korvalen-gui-probe; do
  [ -x "$bin/$program" ] || { echo "gui-bench: $bin/$program is missing" >&2; exit 1; }
done
. "$here/lib/xdriver.sh"
. "$here/lib/device.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/korvalen-gui-bench.XXXXXX")
sim_pid=""
app_pid=""
cleanup() {
  for pid in $app_pid $sim_pid; do
    kill "$pid" 2>/dev/null && { sleep 1; kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
  done
  xd_stop
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

app=$work/bin
mkdir -p "$app/ports" "$work/run"
chmod 700 "$work/run"
cp "$bin/korvalen" "$bin/korvalen-sim" "$app/"
export XDG_RUNTIME_DIR=$work/run

# Whole pages without a trailer; the device ends with page 1 carrying its
# reset vector, pages 2 to 4 untouched, the rest as in the file.
page=1536
image=$work/image.rom
head -c $((pages * page)) /dev/urandom >"$image"
expected_memory "$image" "$pages" >"$work/expected.bin"
printf '[Common]\r\nFN=%s\r\n' "$image" >"$app/korvalen.ini"

"$app/korvalen-sim" --echo on --pace-baud 19200 --reset-vector 040200000000 \
  --exit-after-finish --memory-out "$work/memory.bin" --link "$app/ports/COM1" \
  >/dev/null 2>"$work/sim.err" &
sim_pid=$!
i=0
while [ ! -e "$app/ports/COM1" ]; do
  [ $i -ge 50 ] && { echo "gui-bench: korvalen-sim did not come up" >&2; exit 1; }
  sleep 0.1
  i=$((i + 1))
done

xd_start "$work"
"$app/korvalen" >"$work/korvalen.out" 2>&1 &
app_pid=$!
main=$(xd_find "Korvalen" 20) || { echo "gui-bench: no main window" >&2; exit 1; }
sleep 1

# Press Load and watch from that moment until the outcome box.
xd_x xdotool mousemove --window "$main" 184 148
xd_x xdotool click 1
# Pings every 100 ms: often enough to catch a window that stops answering,
# seldom enough not to weigh on what is measured.
limit=$((pages * 2 + 60))
figures=$("$bin/korvalen-gui-probe" "$main" "$app_pid" "Information" --fail-title "Error" \
  --ping-ms 100 --limit-s $limit) || {
  echo "gui-bench: the load did not end with the outcome box" >&2
  exit 1
}
xd_x xdotool mousemove "$XD_SCREEN_WIDTH" "$XD_SCREEN_HEIGHT"
box=$(xd_find "Information" 5) && xd_key "$box" Return
xd_wait_gone "Information" 10 || true
xd_key "$main" alt+F4
i=0
while kill -0 "$sim_pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
if ! cmp -s "$work/expected.bin" "$work/memory.bin"; then
  echo "gui-bench: the device's memory is not the image as loaded" >&2
  exit 1
fi

# The line's lower bound: every byte of every request and reply at 11 bits,
# plus the 20 ms pause before each exchange of line mode 2.
echo "$figures" | tr ' ' '\n' | awk -F= -v pages="$pages" '
  { v[$1] = $2 }
  END {
    sent = pages - 3
    bytes = (6 + 18) + sent * (12 * (135 + 6) + (9 + 6)) + (6 + 6)
    exchanges = 1 + sent * 13 + 1
    bound = bytes * 11 / 19200 + exchanges * 0.020
    ratio = v["wall_s"] / bound
    share = 100 * v["cpu_s"] / v["wall_s"]
    printf "| 19200 | mode 2, echo | %.3f | %.3f | %.4f | ≤ 1.02 %s | %.3f | %.2f %s | %.1f / %.1f / %.1f %s |\n",
      v["wall_s"], bound, ratio, ratio <= 1.02 ? "yes" : "**no**", v["cpu_s"], share,
      share <= 2 ? "yes" : "**no**", v["ping_median_ms"], v["ping_p99_ms"], v["ping_max_ms"],
      (v["ping_max_ms"] <= 10 && v["unanswered"] == 0) ? "yes" : "**no**"
  }'
