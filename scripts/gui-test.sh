#!/bin/sh
# The desktop program on a real X display with a real window manager (Xvfb
# and openbox), driven as a person would with xdotool, beside the virtual
# device behind ports/COM1. It checks what only a real display shows: where
# the windows open, which stands above which, what the window manager is told
# to draw, and that a load through the main window leaves the device's memory
# exactly as it must be.
#
# The programs run from a copy of the bin folder in a scratch folder, with
# their own settings file and lock folder: nothing of the user's is touched.
# Every check prints PASS or FAIL; the script fails when any check fails.
# Usage: scripts/gui-test.sh [BUILD_BIN_DIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:-build/bin}" && pwd)
for program in korvalen korvalen-sim; do
  [ -x "$bin/$program" ] || { echo "gui-test: $bin/$program is missing" >&2; exit 1; }
done
. "$here/lib/xdriver.sh"
. "$here/lib/device.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/korvalen-gui-test.XXXXXX")
sim_pid=""
app_pid=""
stop_process() {
  [ -n "$1" ] || return 0
  kill "$1" 2>/dev/null || return 0
  i=0
  while kill -0 "$1" 2>/dev/null && [ $i -lt 30 ]; do sleep 0.1; i=$((i + 1)); done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  stop_process "$app_pid"
  stop_process "$sim_pid"
  xd_stop
  if [ -n "${KEEP_GUI_TEST:-}" ]; then echo "gui-test: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to $2 seconds for process $1 to end by itself.
ends_within() {
  i=0
  while kill -0 "$1" 2>/dev/null; do
    [ $i -ge $(($2 * 10)) ] && return 1
    sleep 0.1
    i=$((i + 1))
  done
}

# A copy of the programs with a ports folder of their own.
app=$work/bin
mkdir -p "$app/ports" "$work/run"
chmod 700 "$work/run"
cp "$bin/korvalen" "$bin/korvalen-sim" "$app/"
export XDG_RUNTIME_DIR=$work/run
export LC_ALL=C.UTF-8

# An image of 6 pages with the trailer of device code 97, version mark 'e',
# and the memory the device must end with: page 1 with its reset vector in the
# first six bytes, nothing of pages 2 to 4, pages 5 and 6, never the trailer.
page=1536
image=$work/firmware.rom
head -c $((6 * page)) /dev/urandom >"$image"
printf '\141\145\000' >>"$image"
vector=040200000000
expected_memory "$image" 6 >"$work/expected.bin"

# The settings name an image that is not there: Load must say so.
missing=$work/missing.rom
printf '[Common]\r\nFN=%s\r\n' "$missing" >"$app/korvalen.ini"

"$app/korvalen-sim" --echo on --pace-baud 19200 --reset-vector $vector --exit-after-finish \
  --memory-out "$work/memory.bin" --link "$app/ports/COM1" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
i=0
while [ ! -e "$app/ports/COM1" ]; do
  [ $i -ge 50 ] && { echo "gui-test: korvalen-sim did not come up" >&2; exit 1; }
  sleep 0.1
  i=$((i + 1))
done

xd_start "$work"

"$app/korvalen" >"$work/korvalen.out" 2>&1 &
app_pid=$!
if ! main=$(xd_find "Korvalen" 20); then
  xd_fail "the main window opens"
  xd_summary
  exit 1
fi
xd_pass "the main window opens"
sleep 0.5 # the window manager has framed it
xd_check "the main window is centred on the screen" xd_centred "$main"
xd_check "main window asks for border, title, system menu, minimise, close; move, minimise, close" \
  test "$(xd_motif_hints "$main")" = "0x3 0x2c 0x3a 0x0 0x0"
xd_screenshot "$work/main.png"

# A second copy ends by itself and shows nothing.
"$app/korvalen" >"$work/second.out" 2>&1 &
second=$!
if ends_within $second 10; then
  xd_pass "a second copy ends by itself"
else
  xd_fail "a second copy ends by itself"
  stop_process $second
fi
xd_check "a second copy leaves one main window" test "$(xd_windows Korvalen | wc -l)" -eq 1

# The port dialog opens from its button and Escape closes it.
xd_click "$main" 184 28
if dialog=$(xd_find "Выбор номера порта" 10); then
  xd_pass "the port dialog opens"
  xd_key "$dialog" Escape
  xd_check "Escape closes the port dialog" xd_wait_gone "Выбор номера порта" 10
else
  xd_fail "the port dialog opens"
fi

# Load with the image missing: the error box, above the main window.
xd_click "$main" 184 148
if box=$(xd_find "Error" 10); then
  xd_pass "Load with a missing image shows an error box"
  xd_check "the error box says \"Файл не найден\"" xd_shows_text "$box" "Файл не найден"
  xd_check "the error box stands above the main window" xd_above "$box" "$main"
  xd_key "$box" Return
  xd_check "Enter closes the error box" xd_wait_gone "Error" 10
else
  xd_fail "Load with a missing image shows an error box"
fi

# Choose the image through the file dialog, by typing its path.
xd_click "$main" 184 68
if files=$(xd_find "Открыть файл прошивки" 10 || xd_find "Open" 1); then
  xd_pass "the file dialog opens"
  xd_type "$files" "$image"
  xd_key "$files" Return
  xd_check "the file dialog closes on Enter" xd_wait_gone "$(xd_title "$files")" 10
else
  xd_fail "the file dialog opens"
fi

# The load: the progress window on top, then the outcome box above it.
xd_click "$main" 184 148
if progress=$(xd_find "Progress..." 10); then
  xd_pass "Load shows the progress window"
  xd_check "the progress window stays on top" xd_has_state "$progress" _NET_WM_STATE_ABOVE
  xd_check "progress window asks for border and title only, no buttons; move only" \
    test "$(xd_motif_hints "$progress")" = "0x3 0x4 0xa 0x0 0x0"
  sleep 1
  xd_screenshot "$work/progress.png"
else
  xd_fail "Load shows the progress window"
  progress=""
fi
if box=$(xd_find "Information" 120); then
  xd_pass "the load ends with an information box"
  sleep 0.3
  xd_screenshot "$work/done.png"
  xd_check "the box says \"Загрузка окончена.\"" xd_shows_text "$box" "Загрузка окончена."
  if [ -n "$progress" ]; then
    xd_check "the outcome box stands above the progress window" xd_above "$box" "$progress"
  fi
  xd_key "$box" Return
  xd_check "Enter closes the box" xd_wait_gone "Information" 10
  xd_check "the progress window goes with the run" xd_wait_gone "Progress..." 10
else
  xd_fail "the load ends with an information box"
fi

# Closing the main window ends the program; the device has what it must.
xd_key "$main" alt+F4
if ends_within "$app_pid" 10; then
  xd_pass "closing the main window ends the program"
  app_pid=""
else
  xd_fail "closing the main window ends the program"
fi
if ends_within "$sim_pid" 10; then sim_pid=""; fi
stop_process "$sim_pid"
sim_pid=""
xd_check "the device's memory is exactly the image as loaded" \
  cmp -s "$work/expected.bin" "$work/memory.bin"
xd_check "the settings file keeps the chosen image" \
  grep -q "^FN=$image" "$app/korvalen.ini"

# A window manager that follows the Motif hints and tells the frame only once
# it has drawn it (fluxbox ignores the request before mapping): the frame
# still ends centred, and each window is offered only what it asks for.
xd_stop
"$app/korvalen-sim" --echo on --pace-baud 19200 --link "$app/ports/COM1" >"$work/sim.out" \
  2>"$work/sim.err" &
sim_pid=$!
mkdir -p "$work/home"
# The window manager's actions on window $1, one a line.
actions() { xprop -id "$1" _NET_WM_ALLOWED_ACTIONS | sed 's/.*= //' | tr -d ' ' | tr ',' '\n'; }
if HOME=$work/home XD_WM=fluxbox xd_start "$work"; then
  "$app/korvalen" >"$work/korvalen.out" 2>&1 &
  app_pid=$!
  if main=$(xd_find "Korvalen" 20); then
    sleep 1.5 # framed, and moved once the frame is known
    xd_check "fluxbox: the main window is centred on the screen" xd_centred "$main"
    xd_check "fluxbox: the main window may be minimised and closed, not maximised" \
      test "$(actions "$main" | grep -E 'MINIMIZE|CLOSE|MAXIMIZE' | sort | tr '\n' ' ')" = \
      "_NET_WM_ACTION_CLOSE _NET_WM_ACTION_MINIMIZE "
    xd_click "$main" 184 148
    if progress=$(xd_find "Progress..." 10); then
      xd_check "fluxbox: the progress window may only be moved" \
        test -z "$(actions "$progress" | grep -E 'MINIMIZE|CLOSE|MAXIMIZE|RESIZE')"
    else
      xd_fail "fluxbox: Load shows the progress window"
    fi
    if box=$(xd_find "Information" 60); then
      xd_key "$box" Return
    else
      xd_fail "fluxbox: the load ends with an information box"
    fi
  else
    xd_fail "fluxbox: the main window opens"
  fi
else
  xd_fail "fluxbox starts"
fi

xd_summary
