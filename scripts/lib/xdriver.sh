# Drives desktop programs on a private X display as a person would: a
# virtual screen (Xvfb) with a real window manager (openbox), windows found by
# their titles, keys pressed and released, clicks with the pointer moved away
# afterwards, and what the window manager knows read back from the X server
# (stacking order, frames, Motif hints, net-wm state). The one driver for
# every program with X windows: the Qt program (scripts/gui-test.sh,
# scripts/gui-bench.sh) and the Windows program under Wine
# (scripts/lib/windows-gui-test.sh).
#
# Source it from a POSIX shell script:
#   . scripts/lib/xdriver.sh
#   xd_start "$work"        # exports DISPLAY; call xd_stop on exit
#   main=$(xd_find "Korvalen" 20) || ...
#   xd_check "main window centred" xd_centred "$main"
#   xd_summary              # the PASS/FAIL count; non-zero when a check failed
#
#   xd_start DIR               Xvfb on a free display, openbox (or $XD_WM) on it
#   xd_stop
#   xd_find TITLE [SECONDS]    id of the managed window of exactly that title
#   xd_windows TITLE           every such id, bottom first
#   xd_wait_gone TITLE [SECONDS]
#   xd_title WINDOW
#   xd_stacking                managed windows bottom first (_NET_CLIENT_LIST_STACKING)
#   xd_above A B               A stands above B
#   xd_client_geometry WINDOW  "X Y WIDTH HEIGHT" of its client area on the screen
#   xd_client_size WINDOW W H  its client area W x H
#   xd_frame_geometry WINDOW   the same for the window manager's frame around it
#   xd_centred WINDOW          its frame centred on the screen
#   xd_motif_hints WINDOW      _MOTIF_WM_HINTS: flags functions decorations mode status
#   xd_has_state WINDOW STATE  for instance _NET_WM_STATE_ABOVE
#   xd_key WINDOW KEY...       each key pressed and released in that window
#   xd_type WINDOW TEXT [MS]   typed with MS between keys (20; Cyrillic under Wine wants 150)
#   xd_click WINDOW X Y        left click at X Y of its client area, pointer moved away
#   xd_screenshot FILE [WINDOW] the screen, or the window with its frame, as PNG
#   xd_shows_text WINDOW TEXT  TEXT read from the window's pixels (tesseract)
#   xd_check NAME COMMAND...   PASS or FAIL; xd_pass, xd_fail; xd_summary
#
# Needs: Xvfb, openbox, xdotool, xprop and xwininfo (x11-utils), import
# (imagemagick) for screenshots, tesseract with Russian for reading a window's
# text. Every wait has a limit: nothing here waits for ever.

XD_SCREEN_WIDTH=1024
XD_SCREEN_HEIGHT=768
XD_XVFB_PID=""
XD_WM_PID=""
XD_PASSED=0
XD_FAILED=0
XD_DIR=""

# Runs an X client with a limit, so that a wedged server cannot hang a test,
# in a UTF-8 locale, so that titles and typed text keep their Cyrillic
# letters whatever the caller's locale (the programs under test keep theirs).
xd_x() {
  LC_ALL=C.UTF-8 timeout 10 "$@"
}

xd_log() {
  printf '%s\n' "$*" >&2
}

# Starts Xvfb on a free display (the server picks it) and openbox on it (or
# the window manager XD_WM names), and exports DISPLAY. $1: a folder for the
# logs.
xd_start() {
  local i
  XD_DIR=$1
  rm -f "$XD_DIR/display"
  Xvfb -displayfd 5 -screen 0 "${XD_SCREEN_WIDTH}x${XD_SCREEN_HEIGHT}x24" -nolisten tcp \
    5>"$XD_DIR/display" 2>"$XD_DIR/xvfb.log" &
  XD_XVFB_PID=$!
  i=0
  while ! grep -q '[0-9]' "$XD_DIR/display" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 100 ] || ! kill -0 "$XD_XVFB_PID" 2>/dev/null; then
      xd_log "xdriver: Xvfb did not start: $(cat "$XD_DIR/xvfb.log")"
      return 1
    fi
    sleep 0.1
  done
  DISPLAY=:$(tr -dc '0-9' <"$XD_DIR/display")
  export DISPLAY
  # No session services: the programs must not wait for any.
  unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY
  export QT_QPA_PLATFORM=xcb
  if [ -n "${XD_WM:-}" ]; then
    $XD_WM >"$XD_DIR/openbox.log" 2>&1 &
  else
    openbox --sm-disable >"$XD_DIR/openbox.log" 2>&1 &
  fi
  XD_WM_PID=$!
  i=0
  while ! xd_x xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
    i=$((i + 1))
    if [ $i -gt 100 ] || ! kill -0 "$XD_WM_PID" 2>/dev/null; then
      xd_log "xdriver: the window manager did not start: $(cat "$XD_DIR/openbox.log")"
      return 1
    fi
    sleep 0.1
  done
  # The pointer starts in a corner where no window opens.
  xd_x xdotool mousemove "$XD_SCREEN_WIDTH" "$XD_SCREEN_HEIGHT"
  xd_log "xdriver: display $DISPLAY with ${XD_WM:-openbox}"
}

xd_stop() {
  local pid
  for pid in $XD_WM_PID $XD_XVFB_PID; do
    kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  XD_WM_PID=""
  XD_XVFB_PID=""
}

# The windows the window manager manages, bottom first, as 0x... ids.
xd_stacking() {
  xd_x xprop -root _NET_CLIENT_LIST_STACKING 2>/dev/null |
    sed -n 's/.*# *//p' | tr -d ',' | tr ' ' '\n' | grep . || true
}

# The title of window $1.
xd_title() {
  xd_x xprop -id "$1" -notype _NET_WM_NAME 2>/dev/null |
    sed -n 's/^_NET_WM_NAME = "\(.*\)"$/\1/p'
}

# The managed windows titled exactly $1, bottom first. A window can vanish
# between the list and the question; it is then simply not named.
xd_windows() {
  local w
  for w in $(xd_stacking); do
    [ "$(xd_title "$w")" = "$1" ] && echo "$w"
  done
  return 0
}

# Waits up to $2 seconds (default 10) for a managed window titled $1 and
# prints its id (the top one when there are several).
xd_find() {
  local deadline found
  deadline=$(($(date +%s) + ${2:-10}))
  while :; do
    found=$(xd_windows "$1" | tail -n 1)
    [ -n "$found" ] && { echo "$found"; return 0; }
    [ "$(date +%s)" -ge "$deadline" ] && return 1
    sleep 0.1
  done
}

# Waits up to $2 seconds (default 10) until no window is titled $1.
xd_wait_gone() {
  local deadline
  deadline=$(($(date +%s) + ${2:-10}))
  while [ -n "$(xd_windows "$1")" ]; do
    [ "$(date +%s)" -ge "$deadline" ] && return 1
    sleep 0.1
  done
}

# True when window $1 stands above window $2 in the stacking order.
xd_above() {
  local order a b
  order=$(xd_stacking)
  a=$(printf '%s\n' "$order" | grep -nx "$1" | cut -d: -f1)
  b=$(printf '%s\n' "$order" | grep -nx "$2" | cut -d: -f1)
  [ -n "$a" ] && [ -n "$b" ] && [ "$a" -gt "$b" ]
}

# The client area of window $1 on the screen: "x y width height".
xd_client_geometry() {
  xd_x xwininfo -id "$1" 2>/dev/null | awk '
    /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
    /^ *Width:/ { w = $NF } /^ *Height:/ { h = $NF }
    END { print x, y, w, h }'
}

# True when the client area of window $1 is $2 x $3 pixels.
xd_client_size() {
  set -- "$2" "$3" $(xd_client_geometry "$1")
  xd_log "  client ${5}x$6"
  [ "$1 $2" = "$5 $6" ]
}

# The window manager's frame around window $1: "x y width height".
xd_frame_geometry() {
  local extents
  extents=$(xd_x xprop -id "$1" -notype _NET_FRAME_EXTENTS 2>/dev/null |
    sed -n 's/^_NET_FRAME_EXTENTS = //p' | tr -d ',')
  set -- $(xd_client_geometry "$1") ${extents:-0 0 0 0}
  # extents: left, right, top, bottom
  echo $(($1 - $5)) $(($2 - $7)) $(($3 + $5 + $6)) $(($4 + $7 + $8))
}

# True when the frame of window $1 is centred on the screen, to a pixel.
xd_centred() {
  local dx dy
  set -- $(xd_frame_geometry "$1")
  dx=$((2 * $1 + $3 - XD_SCREEN_WIDTH))
  dy=$((2 * $2 + $4 - XD_SCREEN_HEIGHT))
  xd_log "  frame $1,$2 ${3}x$4 on ${XD_SCREEN_WIDTH}x$XD_SCREEN_HEIGHT"
  [ "${dx#-}" -le 2 ] && [ "${dy#-}" -le 2 ]
}

# The five fields of window $1's _MOTIF_WM_HINTS, as "0x3 0x4 0xa 0x0 0x0";
# empty when it has none.
xd_motif_hints() {
  xd_x xprop -id "$1" -notype _MOTIF_WM_HINTS 2>/dev/null |
    sed -n 's/^_MOTIF_WM_HINTS = //p' | tr -d ','
}

# True when window $1 has the net-wm state $2 (for instance _NET_WM_STATE_ABOVE).
xd_has_state() {
  xd_x xprop -id "$1" -notype _NET_WM_STATE 2>/dev/null | grep -qw "$2"
}

# Makes window $1 the active one and waits for it.
xd_activate() {
  xd_x xdotool windowactivate --sync "$1" >/dev/null 2>&1
}

# Presses and releases keys $2... (xdotool names: Escape, Return, alt+F4) in
# window $1, one after the other. A key left down would repeat into the next
# window.
xd_key() {
  local window key
  window=$1
  shift
  xd_activate "$window" || xd_log "xdriver: window $window could not be activated"
  for key in "$@"; do
    xd_x xdotool keydown "$key"
    xd_x xdotool keyup "$key"
    sleep 0.1
  done
}

# Types text $2 into window $1, $3 milliseconds between keys (default 20).
xd_type() {
  xd_activate "$1" || xd_log "xdriver: window $1 could not be activated"
  xd_x xdotool type --delay "${3:-20}" "$2"
}

# Clicks at $2,$3 of window $1's client area, then moves the pointer away so
# that a window opening under it gets no stray press.
xd_click() {
  xd_x xdotool mousemove --window "$1" "$2" "$3"
  xd_x xdotool click 1
  sleep 0.1
  xd_x xdotool mousemove "$XD_SCREEN_WIDTH" "$XD_SCREEN_HEIGHT"
}

# Saves to PNG file $1 the whole screen, or window $2 with its frame as a
# person sees it.
xd_screenshot() {
  if [ -n "${2:-}" ]; then
    xd_x import -frame -window "$2" "$1" 2>/dev/null
  else
    xd_x import -window root "$1" 2>/dev/null
  fi
}

# The text shown in window $1, read from the screen (Russian and English).
xd_read_text() {
  local shot
  shot=$XD_DIR/read-$1.png
  set -- $(xd_client_geometry "$1")
  xd_x import -window root -crop "${3}x$4+$1+$2" +repage -colorspace Gray -resize 400% \
    "$shot" 2>/dev/null || return 1
  xd_x tesseract "$shot" - -l rus+eng 2>/dev/null | tr -s ' \n' '  '
}

# True when window $1 shows text $2 (read from the screen).
xd_shows_text() {
  local seen
  seen=$(xd_read_text "$1")
  xd_log "  read: $seen"
  case "$seen" in *"$2"*) return 0 ;; *) return 1 ;; esac
}

xd_pass() {
  XD_PASSED=$((XD_PASSED + 1))
  echo "PASS: $1"
}

xd_fail() {
  XD_FAILED=$((XD_FAILED + 1))
  echo "FAIL: $1"
}

# Runs a check: "$1" names it, the rest is the command that must succeed.
xd_check() {
  local name
  name=$1
  shift
  if "$@"; then xd_pass "$name"; else xd_fail "$name"; fi
}

# Prints the count; fails when any check failed or none ran.
xd_summary() {
  echo "$XD_PASSED passed, $XD_FAILED failed"
  [ "$XD_FAILED" -eq 0 ] && [ "$XD_PASSED" -gt 0 ]
}
