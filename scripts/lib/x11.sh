# Driving a desktop program on a real X display as a person would: Xvfb with
# openbox, windows found by title, keys pressed and released, clicks at screen
# coordinates with the pointer moved away after, the window manager's
# stacking read back. Sourced by the GUI test scripts.
#
#   x_start                  Xvfb on a free display, openbox on it (DISPLAY set)
#   x_window TITLE [SECONDS] id of the visible window of that exact title
#   x_gone TITLE [SECONDS]   waits until no visible window has that title
#   x_key WINDOW KEY...      keys pressed and released in that window
#   x_type WINDOW TEXT       typed slowly (Cyrillic needs --delay 150)
#   x_click X Y              left click at screen X Y, pointer moved away
#   x_geometry WINDOW        "X Y WIDTH HEIGHT" of the window's frame
#   x_stacking               window ids bottom to top (_NET_CLIENT_LIST_STACKING)
#   x_shot WINDOW FILE       the window with its frame as a PNG
#   x_stop

x_xvfb_pid=""
x_wm_pid=""

x_start() {
  for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    x_xvfb_pid=$!
    for _ in $(seq 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      sleep 0.1
    done
    if [ -e "/tmp/.X11-unix/X$n" ] && kill -0 "$x_xvfb_pid" 2>/dev/null; then
      export DISPLAY=":$n"
      openbox >/dev/null 2>&1 &
      x_wm_pid=$!
      sleep 1
      return 0
    fi
  done
  echo "x11: no free display for Xvfb" >&2
  return 1
}

x_stop() {
  [ -n "$x_wm_pid" ] && kill "$x_wm_pid" 2>/dev/null && wait "$x_wm_pid" 2>/dev/null
  [ -n "$x_xvfb_pid" ] && kill "$x_xvfb_pid" 2>/dev/null && wait "$x_xvfb_pid" 2>/dev/null
  x_wm_pid=""
  x_xvfb_pid=""
}

# A window can vanish between search and answer (BadWindow): search again.
x_window() {
  title=$1
  tries=$(( ${2:-20} * 5 ))
  for _ in $(seq "$tries"); do
    id=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1 || true)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.2
  done
  return 1
}

x_gone() {
  title=$1
  tries=$(( ${2:-20} * 5 ))
  for _ in $(seq "$tries"); do
    xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1 || return 0
    sleep 0.2
  done
  return 1
}

# A key left down would autorepeat into the next window: each one goes down
# and up.
x_key() {
  window=$1
  shift
  xdotool windowactivate --sync "$window" >/dev/null 2>&1 || true
  for key in "$@"; do
    xdotool keydown "$key"
    xdotool keyup "$key"
    sleep 0.1
  done
}

x_type() {
  xdotool windowactivate --sync "$1" >/dev/null 2>&1 || true
  xdotool type --delay 150 "$2"
}

x_click() {
  xdotool mousemove "$1" "$2" click 1
  sleep 0.1
  xdotool mousemove 1 1
}

x_geometry() {
  xwininfo -id "$1" | awk '
    /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
    /Width:/ { w = $NF } /Height:/ { h = $NF }
    END { print x, y, w, h }'
}

x_stacking() {
  xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*# //; s/,//g'
}

# With the window manager's frame, as a person sees the window.
x_shot() {
  import -frame -window "$1" "$2" 2>/dev/null
}
