#!/bin/sh
# The Windows programs, tested for real under Wine against the Linux virtual
# device: korvalen-cli.exe loads and fails as it must, the desktop program
# korvalen.exe is driven under Xvfb and openbox as a person would drive it,
# and the installer installs and uninstalls silently.
#
# Everything Windows runs in a private Wine prefix inside a private mount
# namespace whose /dev holds no serial device (scripts/lib/wine.sh); COM3 is
# mapped to the virtual device's link and nothing else is a COM port.
#
# What Wine on a pseudo-terminal cannot show, so that nothing here passes or
# fails because of it: the modem lines (EscapeCommFunction fails, error 50, and
# the link ignores it as it ignores every modem-line result: RTS switching in
# line mode 2 is not seen), exclusivity (a second CreateFile with share mode 0
# succeeds under Wine), a hang-up seen by a read (ReadFile keeps returning no
# bytes; the first failure is WriteFile's, which the port takes as the device
# gone, as it takes a failing ReadFile or ClearCommError on Windows), and the
# timer resolution (Sleep(1) is ~1.1 ms under Wine whatever timeBeginPeriod
# asks; on Windows the waits end on data, not on a sleep).
#
# Usage: scripts/windows-test.sh [LINUX_BUILD [MINGW_BUILD]]
set -eu
cd "$(dirname "$0")/.."
root=$PWD
linux_build=${1:-build}
mingw_build=${2:-build-mingw}

scripts/deps.sh wine wine64 g++-mingw-w64-x86-64 nsis fonts-wine xvfb xauth xdotool openbox \
  x11-utils imagemagick zip unzip
cmake --build "$linux_build" --target korvalen-sim -j "${JOBS:-2}" >/dev/null
scripts/windows-build.sh "$mingw_build" >/dev/null

sim=$root/$linux_build/bin/korvalen-sim
exe_dir=$root/$mingw_build/bin
. scripts/lib/wine.sh
. scripts/lib/device.sh
# The checks' PASS and FAIL, and the desktop program's windows.
. scripts/lib/xdriver.sh

work=$(mktemp -d /tmp/korvalen-windows-test.XXXXXX)
cleanup() {
  stop_sim
  [ -n "${gui_cleanup:-}" ] && $gui_cleanup
  wine_teardown
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

page=1536
# 6 pages and the trailer of device code 97, version mark 'e'.
make_image() {
  head -c $((6 * page)) /dev/urandom >"$1"
  printf '\141\145\000' >>"$1"
}

# Windows paths of Linux files: drive Z: is the root.
winpath() {
  printf 'Z:%s' "$1" | tr '/' '\\'
}

echo "windows-test: Wine prefix in $work"
wine_setup "$work"
start_sim --echo off
wine_map_port 3 "$work/COM3"
stop_sim
# Nothing but COM3: the other COM names must not open at all.
[ "$(ls "$WINEPREFIX/dosdevices" | grep -c '^com')" -eq 1 ] ||
  { echo "windows-test: COM names other than COM3 exist" >&2; exit 1; }

cli=$exe_dir/korvalen-cli.exe
image_dir="$work/прошивки"
mkdir -p "$image_dir"
image="$image_dir/образ.rom"
make_image "$image"
expected_memory "$image" 6 >"$work/expected.bin"

# run_cli EXPECTED_EXIT NAME ARGS...: korvalen-cli.exe ARGS, its exit code checked.
run_cli() {
  want=$1
  name=$2
  shift 2
  set +e
  wine_exe "$cli" "$@" >"$work/cli.out" 2>"$work/cli.err"
  got=$?
  set -e
  if [ "$got" -eq "$want" ]; then
    xd_pass "$name (exit $got)"
    return 0
  fi
  xd_fail "$name: exit $got, expected $want"
  sed 's/^/    /' "$work/cli.err" >&2
  return 1
}

if [ "${KORVALEN_WINDOWS_TEST_CLI:-1}" = 1 ]; then
echo "== korvalen-cli.exe under Wine against korvalen-sim on COM3 (a Cyrillic image path)"
for mode in 0 1 2; do
  echo=off
  [ "$mode" -eq 2 ] && echo=on
  rm -f "$work/memory.bin"
  start_sim --echo $echo --pace-baud 115200 --memory-out "$work/memory.bin"
  run_cli 0 "identify, line mode $mode" identify --port 3 --line-mode $mode --baud 115200 --wait 10 || true
  grep -q "Device code: 97" "$work/cli.out" || xd_fail "identify, line mode $mode: no device code shown"
  if run_cli 0 "load, line mode $mode" load --port 3 --line-mode $mode --baud 115200 --wait 10 \
    "$(winpath "$image")"; then
    stop_sim
    if cmp -s "$work/expected.bin" "$work/memory.bin"; then
      xd_pass "load, line mode $mode: the device memory is exact"
    else
      xd_fail "load, line mode $mode: the device memory differs from the image"
    fi
  fi
  stop_sim
done

start_sim --echo on --pace-baud 115200 --hangup-after 20
run_cli 2 "a device that hangs up mid-page fails cleanly" \
  load --port 3 --line-mode 2 --baud 115200 --wait 10 "$(winpath "$image")" || true
grep -q "Нет связи" "$work/cli.err" || xd_fail "hang-up: the no-link message was not shown"
stop_sim

start_sim --echo on --device-code 98
run_cli 1 "a device with another code is rejected" \
  load --port 3 --line-mode 2 --wait 10 "$(winpath "$image")" || true
grep -q "В устройстве неверный микроконтроллер." "$work/cli.err" ||
  xd_fail "rejected device: the message was not shown"
stop_sim

run_cli 4 "a missing image" load --port 3 "$(winpath "$work/нет.rom")" || true
grep -q "Файл не найден" "$work/cli.err" || xd_fail "missing image: \"Файл не найден\" was not shown"
run_cli 64 "bad usage" load --port 99 "$(winpath "$image")" || true

# The production station: a journal beside the program's work, board after
# board from a fixture of two boards, and the report over what it wrote.
journal="$work/journal.jsonl"
rm -f "$journal" "$work/board.mem".*
start_sim --echo on --boards 2 --gap 1500 --out-after 200 --stay 9000 --memory-out "$work/board.mem"
run_cli 0 "repeat mode with a journal, two boards" \
  load --port 3 --repeat --count 2 --journal "$(winpath "$journal")" --baud 115200 --wait 30 \
  "$(winpath "$image")" || true
stop_sim
for board in 1 2; do
  if cmp -s "$work/expected.bin" "$work/board.mem.$board"; then
    xd_pass "repeat mode: board $board's memory is exact"
  else
    xd_fail "repeat mode: board $board's memory differs from the image"
  fi
done
records=$(grep -c '"outcome":"done"' "$journal" 2>/dev/null || true)
if [ "$records" = 2 ]; then
  xd_pass "the journal holds both loads, written under Windows' file lock"
else
  xd_fail "the journal holds $records done loads, expected 2"
fi
run_cli 0 "report over the journal" report "$(winpath "$journal")" --by port || true
grep -q "^COM3 *2 *2 " "$work/cli.out" || xd_fail "report: no line for COM3 with 2 loads done"
# A number of its own, read back from what the device received: 4242 at
# program address 0x0100, image bytes 384, 385, 387, 388 (the low halves of
# two instruction words).
start_sim --echo on --memory-out "$work/serial.bin"
run_cli 0 "a serial number written into the device" \
  load --port 3 --journal "$(winpath "$journal")" --serial 0x0100 --serial-start 4242 \
  --baud 115200 --wait 30 "$(winpath "$image")" || true
stop_sim
set -- $(od -An -tu1 -j384 -N5 "$work/serial.bin")
if [ $# -eq 5 ] && [ $(($1 + $2 * 256 + $4 * 65536 + $5 * 16777216)) -eq 4242 ]; then
  xd_pass "the device holds serial number 4242 where --serial put it"
else
  xd_fail "the device's serial bytes are $*, not 4242"
fi
grep -q '"serial":4242' "$journal" || xd_fail "the journal's record does not carry serial 4242"
run_cli 74 "a journal that cannot be written starts no load" \
  load --port 3 --journal "$(winpath "$work/нет/journal.jsonl")" "$(winpath "$image")" || true

# Ctrl-C: SIGINT reaches the Windows program as the console's Ctrl-C.
start_sim --echo on --silent-polls 1000000
wine_exe_bg "$work/cli.err" "$cli" identify --port 3 --line-mode 2
sleep 3
kill -INT "$wine_bg_pid"
set +e
wait "$wine_bg_pid"
got=$?
set -e
if [ "$got" -eq 3 ] && grep -q Cancelled "$work/cli.err"; then
  xd_pass "Ctrl-C cancels the wait (exit 3)"
else
  xd_fail "Ctrl-C: exit $got, expected 3"
fi
stop_sim
fi

if [ "${KORVALEN_WINDOWS_TEST_SETUP:-1}" = 1 ]; then
echo "== korvalen-setup.exe, silent install and uninstall under Wine; the portable zip"
dist=$root/$mingw_build/dist
zip_file=$(ls "$dist"/korvalen-*-windows-x64.zip)
if unzip -l "$zip_file" | grep -q ' Korvalen/korvalen.exe$' &&
  unzip -l "$zip_file" | grep -q ' Korvalen/korvalen-cli.exe$'; then
  xd_pass "the zip holds Korvalen/korvalen.exe and Korvalen/korvalen-cli.exe"
else
  xd_fail "the zip does not hold the two programs"
fi

# Per user, no administrator: %LOCALAPPDATA%\Programs\Korvalen.
profile=$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Local | grep -v /Public/ | head -1)
installed="$profile/Programs/Korvalen"
shortcut=$(dirname "$profile")/Roaming/Microsoft/Windows/Start\ Menu/Programs/Korvalen/Korvalen.lnk
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvalen'

# The uninstaller copies itself away and runs from there: wait for its work.
wait_removed() {
  for _ in $(seq 150); do
    [ ! -e "$installed/uninstall.exe" ] && [ ! -e "$installed/korvalen.exe" ] && return 0
    sleep 0.2
  done
  return 1
}

wine_exe "$dist/korvalen-setup.exe" /S >/dev/null 2>&1 || xd_fail "the silent install failed"
if cmp -s "$installed/korvalen.exe" "$dist/Korvalen/korvalen.exe" &&
  cmp -s "$installed/korvalen-cli.exe" "$dist/Korvalen/korvalen-cli.exe" &&
  [ -f "$installed/uninstall.exe" ] && [ -f "$shortcut" ] &&
  wine_run "$WINE_BIN" reg query "$uninstall_key" >/dev/null 2>&1; then
  xd_pass "installed per user into $(echo "$installed" | sed "s|$WINEPREFIX/||"), Start-menu shortcut, uninstall entry"
else
  xd_fail "the install is incomplete: $(ls "$installed" 2>&1 | tr '\n' ' ')"
fi
if wine_exe "$installed/korvalen-cli.exe" info "$(winpath "$image")" >/dev/null 2>&1; then
  xd_pass "the installed korvalen-cli.exe runs"
else
  xd_fail "the installed korvalen-cli.exe does not run"
fi

printf ' \r\n[RS232]\r\nPort=3\r\n' >"$installed/korvalen.ini"
wine_exe "$installed/uninstall.exe" /S >/dev/null 2>&1 || true
if wait_removed && [ -f "$installed/korvalen.ini" ] && [ ! -e "$shortcut" ] &&
  ! wine_run "$WINE_BIN" reg query "$uninstall_key" >/dev/null 2>&1; then
  xd_pass "uninstall.exe /S removes the programs, the shortcut and the entry, and keeps korvalen.ini"
else
  xd_fail "the silent uninstall left: $(ls "$installed" 2>&1 | tr '\n' ' ')"
fi

wine_exe "$dist/korvalen-setup.exe" /S >/dev/null 2>&1 || xd_fail "the second silent install failed"
wine_exe "$installed/uninstall.exe" /S /REMOVESETTINGS >/dev/null 2>&1 || true
if wait_removed && sleep 1 && [ ! -e "$installed" ]; then
  xd_pass "uninstall.exe /S /REMOVESETTINGS removes korvalen.ini and the folder"
else
  xd_fail "uninstall with /REMOVESETTINGS left: $(ls "$installed" 2>&1 | tr '\n' ' ')"
fi
fi

if [ "${KORVALEN_WINDOWS_TEST_GUI:-1}" = 1 ]; then
  . scripts/lib/windows-gui-test.sh
fi

xd_summary || { echo "windows-test: a check failed" >&2; exit 1; }
echo "windows-test: every check passed"
