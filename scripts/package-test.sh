#!/bin/sh
# The Debian package as a user's machine gets it: installed with dpkg -i (and
# apt-get -f install for what it depends on), then
#   - korvalen-cli --help from the shell;
#   - the desktop entry valid, and korvalen started from it under Xvfb with
#     openbox, found by its title and closed with Alt+F4: it must write its
#     settings to ~/.config/korvalen/korvalen.ini, since /usr/bin is the
#     package manager's;
#   - korvalen-cli load of the compiler's Intel HEX into the virtual device
#     behind ~/.config/korvalen/ports/COM3, as root and as a user who cannot
#     write /usr/bin (nobody), each device's memory checked byte for byte;
# and removed with dpkg -r (unless it was installed before the check).
# Every program finds its ports in a ports folder made here: none of them
# probes the machine's own serial ports.
#
#   scripts/package-test.sh BUILD_DIR      (as root)
set -eu
build=${1:?usage: scripts/package-test.sh BUILD_DIR}
deb=$(ls -t "$build"/korvalen_*_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "No package in $build: run make package first." >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "Installing a package needs root." >&2; exit 1; }
. "$(dirname "$0")/lib/xdriver.sh"
. "$(dirname "$0")/lib/device.sh"

work=$(mktemp -d)
chmod 755 "$work"
pids=""
installed_before=no
dpkg-query -W -f='${Status}' korvalen 2>/dev/null | grep -q "install ok installed" &&
  installed_before=yes
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  for pid in $pids; do wait "$pid" 2>/dev/null || true; done
  xd_stop
  if [ "$installed_before" = no ] && dpkg-query -W korvalen >/dev/null 2>&1; then
    dpkg -r korvalen >/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
fail() {
  echo "package check FAILED: $*" >&2
  exit 1
}
# A failure with the desktop program: the screen and the windows beside it.
gui_fail() {
  shot=$build/package-test-failure.png
  xd_screenshot "$shot" && echo "screen: $shot" >&2
  for w in $(xd_stacking); do echo "window $w: $(xd_title "$w")" >&2; done
  cat "$work/gui.log" >&2
  fail "$@"
}
# Waits up to $2 tenths of a second for the command in $1 to succeed.
wait_for() {
  n=0
  until eval "$1"; do
    n=$((n + 1))
    [ "$n" -lt "$2" ] || return 1
    sleep 0.1
  done
}

echo "== install $deb"
if ! dpkg -i "$deb"; then
  DEBIAN_FRONTEND=noninteractive apt-get -f install -y -qq
fi
dpkg-query -W -f='${Status}\n' korvalen | grep -q "install ok installed" || fail "not installed"
[ "$(command -v korvalen-cli)" = /usr/bin/korvalen-cli ] || fail "korvalen-cli is not on PATH"

echo "== korvalen-cli --help"
korvalen-cli --help >"$work/help.txt"
grep -q "pack" "$work/help.txt" || fail "--help does not list pack"
korvalen-cli pack --help | grep -q "low, middle, upper" || fail "pack --help lacks the byte order"

# A user's home: the settings and the ports folder go to ~/.config/korvalen.
# $1 the user, $2 the home. Prints nothing; makes $2/.config/korvalen/ports.
make_home() {
  mkdir -p "$2/.config/korvalen/ports"
  chown -R "$1" "$2"
}
# Runs a command as user $1 with home $2 (root runs it as itself). Started
# with & it replaces its subshell, so $! is the program's own process.
as_user() {
  user=$1 home=$2
  shift 2
  # From the user's home: the checkout this runs from may be a folder that
  # the user may not enter.
  if [ "$user" = root ]; then
    set -- env -C "$home" -u XDG_CONFIG_HOME HOME="$home" "$@"
  else
    set -- setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
      env -C "$home" -u XDG_CONFIG_HOME HOME="$home" "$@"
  fi
  if [ "${background:-no}" = yes ]; then exec "$@"; else "$@"; fi
}
# Starts the virtual device as user $1 behind $2/.config/korvalen/ports/COM3;
# its memory goes to $3 when it stops.
start_device() {
  background=yes as_user "$1" "$2" korvalen-sim --echo on \
    --link "$2/.config/korvalen/ports/COM3" --memory-out "$3" >/dev/null 2>"$work/sim-$1.err" &
  pids="$pids $!"
  device_pid=$!
  wait_for "[ -e '$2/.config/korvalen/ports/COM3' ]" 100 || fail "the virtual device did not start"
}

# The compiler's output: a 6-page program, written as Intel HEX by unpack.
head -c $((6 * 1536)) /dev/urandom >"$work/app.rom"
korvalen-cli unpack "$work/app.rom" -o "$work/app.hex" >/dev/null
chmod 644 "$work/app.hex"
expected_memory "$work/app.rom" 6 >"$work/expected.bin"

echo "== korvalen from its menu entry"
desktop=/usr/share/applications/korvalen.desktop
[ -f "$desktop" ] || fail "no desktop entry"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "the desktop entry is not valid"
fi
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "no icon $icon"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
root_home=$work/root-home
make_home root "$root_home"
start_device root "$root_home" "$work/memory-root.bin"
HOME=$root_home xd_start "$work" || fail "Xvfb and openbox did not start"
background=yes as_user root "$root_home" sh -c "cd / && exec $exec_line" >"$work/gui.log" 2>&1 &
gui_pid=$!
pids="$pids $gui_pid"
window=$(xd_find Korvalen 30) || gui_fail "the main window did not appear"
sleep 1 # the window manager takes it over
xd_key "$window" alt+F4
wait_for "! kill -0 $gui_pid 2>/dev/null" 100 || gui_fail "the main window did not close"
wait "$gui_pid" 2>/dev/null || true
ini=$root_home/.config/korvalen/korvalen.ini
grep -q '^\[RS232\]' "$ini" 2>/dev/null || fail "no settings in $ini"
grep -q '^Port=3' "$ini" || fail "the port is not stored in $ini"
[ ! -e /usr/bin/korvalen.ini ] || fail "settings were written beside /usr/bin/korvalen"
echo "settings: $ini"

load_as() {
  user=$1 home=$2 memory=$3
  echo "== korvalen-cli load of Intel HEX as $user"
  as_user "$user" "$home" korvalen-cli ports >"$work/ports.txt"
  grep -q "^COM3	$home/.config/korvalen/ports/COM3	free" "$work/ports.txt" ||
    fail "ports does not list COM3 from ~/.config/korvalen/ports: $(cat "$work/ports.txt")"
  as_user "$user" "$home" korvalen-cli load --port 3 --wait 30 "$work/app.hex" ||
    fail "the load as $user failed"
  kill -INT "$device_pid"
  wait "$device_pid" || true
  cmp -s "$work/expected.bin" "$memory" || fail "the device's memory differs (as $user)"
  echo "memory checked: pages 1, 5 and 6, the device's reset vector in page 1"
}
load_as root "$root_home" "$work/memory-root.bin"

nobody_home=$work/nobody-home
make_home nobody "$nobody_home"
: >"$work/memory-nobody.bin"
chown nobody "$work/memory-nobody.bin"
start_device nobody "$nobody_home" "$work/memory-nobody.bin"
load_as nobody "$nobody_home" "$work/memory-nobody.bin"

echo "== remove"
if [ "$installed_before" = no ]; then
  dpkg -r korvalen >/dev/null
  [ ! -e /usr/bin/korvalen-cli ] || fail "korvalen-cli is still there after dpkg -r"
fi
echo "Package check passed."
