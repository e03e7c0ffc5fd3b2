# The desktop program korvalen.exe under Wine, on Xvfb with openbox, driven
# with xdotool as a person would. Sourced by scripts/windows-test.sh, whose
# Wine prefix, virtual-device helpers and pass/fail it uses. Screenshots of
# every window go to $KORVALEN_SHOTS when it is set (make windows-screenshots
# sets docs/).
#
# The program lives in a folder with Cyrillic letters and loads an image with
# Cyrillic letters in its name, chosen in the open-file dialog by pointing at
# it (typed Cyrillic can lose a letter under load). Message boxes are read
# back from Wine's message-box log.

. scripts/lib/x11.sh
shots=${KORVALEN_SHOTS:-$work/shots}
gui_pid=""
gui_stop() {
  if [ -n "$gui_pid" ]; then
    kill "$gui_pid" 2>/dev/null || true
    wait "$gui_pid" 2>/dev/null || true
    gui_pid=""
  fi
  x_stop
}
gui_cleanup=gui_stop

# The text of the last message box the program showed: Wine's message-box
# channel logs it (as UTF-16 with \XXXX escapes) when the box opens.
box_text() {
  grep -a 'MSGBOX_OnInit' "$work/gui.out" | tail -1 | sed 's/.*MSGBOX_OnInit L"\(.*\)"[^"]*$/\1/' |
    perl -CS -pe 's/\\([0-9a-fA-F]{4})/chr(hex($1))/ge'
}

# Waits for the Windows program started last to end by itself.
gui_ended() {
  for _ in $(seq $(( ${1:-20} * 5 ))); do
    kill -0 "$gui_pid" 2>/dev/null || { wait "$gui_pid" 2>/dev/null || true; gui_pid=""; return 0; }
    sleep 0.2
  done
  return 1
}

# Screen X Y of the client point X Y of WINDOW.
at() {
  set -- "$1" "$2" "$3" $(x_geometry "$1")
  echo $(($4 + $2)) $(($5 + $3))
}

echo "== korvalen.exe under Wine on Xvfb with openbox"
x_start
mkdir -p "$shots"
app="$work/Корвален"
mkdir -p "$app"
cp "$exe_dir/korvalen.exe" "$app/"
gui_image="$app/прошивка.rom"
make_image "$gui_image"
expected_memory "$gui_image" >"$work/gui-expected.bin"

start_sim --echo on --pace-baud 19200 --memory-out "$work/gui-memory.bin"
WINE_DEBUG=-all,+msgbox wine_exe_bg "$work/gui.out" "$app/korvalen.exe"
gui_pid=$wine_bg_pid
main=$(x_window Korvalen 90) || { fail "the main window did not appear"; cat "$work/gui.out" >&2; exit 1; }
sleep 1

# First start: the settings file beside the .exe, its first line one blank.
if [ "$(head -c 3 "$app/korvalen.ini" 2>/dev/null | od -An -c | tr -d ' ')" = '\r\n' ]; then
  pass "first start creates korvalen.ini beside the .exe, first line one blank, CR LF"
else
  fail "first start: korvalen.ini missing or not starting with a blank line"
fi

set -- $(x_geometry "$main")
centre_x=$(($1 + $3 / 2))
centre_y=$(($2 + $4 / 2))
screen_w=$(xdpyinfo | awk '/dimensions:/ { split($2, d, "x"); print d[1] }')
screen_h=$(xdpyinfo | awk '/dimensions:/ { split($2, d, "x"); print d[2] }')
# The client area's centre: the frame's caption shifts it down a little.
dx=$((centre_x - screen_w / 2))
dy=$((centre_y - screen_h / 2))
if [ "$3" -eq 361 ] && [ "$4" -eq 251 ] && [ "${dx#-}" -le 4 ] && [ "$dy" -ge 0 ] && [ "$dy" -le 16 ]; then
  pass "main window: client 361 x 251, centred on the screen"
else
  fail "main window: client $3 x $4 at $1,$2, not centred (off by $dx,$dy)"
fi
x_shot "$main" "$shots/windows-main-window.png"

# The port dialog opens from its button; Escape closes it.
x_click $(at "$main" 184 28)
if port=$(x_window "Выбор номера порта" 20); then
  set -- $(x_geometry "$port")
  [ "$3" -eq 337 ] && [ "$4" -eq 85 ] || fail "port dialog: client $3 x $4, expected 337 x 85"
  x_shot "$port" "$shots/windows-port-dialog.png"
  x_key "$port" Escape
  if x_gone "Выбор номера порта" 10; then
    pass "the port dialog opens from \"Выбрать СОМ-порт\" and Escape closes it"
  else
    fail "Escape did not close the port dialog"
  fi
else
  fail "the port dialog did not open"
fi

# A second copy of the same program file ends by itself, without a window.
first_pid=$gui_pid
wine_exe_bg "$work/gui2.out" "$app/korvalen.exe"
gui_pid=$wine_bg_pid
if gui_ended 60 && [ "$(xdotool search --onlyvisible --name '^Korvalen$' 2>/dev/null | wc -l)" -eq 1 ]; then
  pass "a second copy ends by itself; the first goes on"
else
  fail "the second copy did not end by itself"
  gui_stop_second=$gui_pid
  kill "$gui_stop_second" 2>/dev/null || true
fi
gui_pid=$first_pid

# The image is chosen in the open-file dialog: the one .rom of the program's
# folder, which the dialog shows first.
x_click $(at "$main" 184 68)
if open=$(x_window Open 20); then
  sleep 1
  x_click $(at "$open" 150 44)
  x_key "$open" Return
  x_gone Open 10 || fail "the open-file dialog did not close"
else
  fail "the open-file dialog did not open"
fi
sleep 0.5
x_shot "$main" "$shots/windows-main-window-file.png"

# The load: the progress window, then "Загрузка окончена." above it.
x_click $(at "$main" 184 148)
if progress=$(x_window 'Progress\.\.\.' 30); then
  set -- $(x_geometry "$progress")
  [ "$3" -eq 261 ] && [ "$4" -eq 113 ] || fail "progress window: client $3 x $4, expected 261 x 113"
  # On top, and no caption-bar button asked for: the Motif decorations hold
  # neither the menu (0x10) nor minimise (0x20) nor maximise (0x40). (Wine
  # always offers the window manager a close function; the window ignores it.)
  hints=$(xprop -id "$progress" _MOTIF_WM_HINTS | sed 's/.*= //' | tr -d ' ')
  decorations=$(echo "$hints" | cut -d, -f3)
  if xprop -id "$progress" _NET_WM_STATE | grep -q _NET_WM_STATE_ABOVE &&
    [ $((decorations & 0x70)) -eq 0 ]; then
    pass "progress window: 261 x 113, on top, no caption-bar buttons asked for"
  else
    fail "progress window: hints $hints, state $(xprop -id "$progress" _NET_WM_STATE)"
  fi
  sleep 2
  x_shot "$progress" "$shots/windows-progress.png"
  if info=$(x_window Information 180); then
    stacking=$(x_stacking)
    above=$(echo "$stacking" | awk -v p="$progress" -v i="$info" '
      { for (n = 1; n <= NF; n++) { if ($n + 0 == p + 0) pp = n; if ($n + 0 == i + 0) ip = n } }
      END { print (pp && ip && ip > pp) ? "yes" : "no" }')
    if [ "$above" = yes ]; then
      pass "the outcome box stands above the progress window (_NET_CLIENT_LIST_STACKING)"
    else
      fail "the outcome box is not above the progress window: $stacking (progress $progress, box $info)"
    fi
    x_shot "$info" "$shots/windows-load-finished.png"
    text=$(box_text)
    case $text in
    *"Загрузка окончена."*) pass "the load ends with \"Загрузка окончена.\"" ;;
    *) fail "the outcome box says: $text" ;;
    esac
    x_key "$info" Return
    x_gone 'Progress\.\.\.' 20 || fail "the progress window stayed after the box"
  else
    fail "no outcome box after the load"
  fi
else
  fail "the progress window did not appear"
fi
stop_sim
if cmp -s "$work/gui-expected.bin" "$work/gui-memory.bin"; then
  pass "load through the main window: the device memory is exact"
else
  fail "load through the main window: the device memory differs"
fi

# The chosen image gone: "Файл не найден", and no progress window.
mv "$gui_image" "$gui_image.moved"
x_click $(at "$main" 184 148)
if box=$(x_window Error 20); then
  text=$(box_text)
  case $text in
  *"Файл не найден"*) pass "a missing image gives \"Файл не найден\"" ;;
  *) fail "the missing image's box says: $text" ;;
  esac
  x_shot "$box" "$shots/windows-file-not-found.png"
  x_key "$box" Return
else
  fail "no box for the missing image"
fi
mv "$gui_image.moved" "$gui_image"

# Closing saves Port, FN (Cyrillic letters and all) and the placement.
x_key "$main" alt+F4
if gui_ended 30; then
  ini=$app/korvalen.ini
  fn=$(sed -n 's/^FN=\(.*\)\r$/\1/p' "$ini")
  want_fn=$(winpath "$gui_image")
  if grep -q '^Port=3' "$ini" && [ "$fn" = "$want_fn" ] &&
    grep -q '^State=0' "$ini" && grep -q '^Left=' "$ini" && grep -q '^Top=' "$ini" &&
    grep -q '^Width=' "$ini" && grep -q '^Height=' "$ini"; then
    pass "closing saves Port=3, FN (Cyrillic letters and all) and the placement"
  else
    fail "closing saved: $(tr '\r\n' '  ' <"$ini")"
  fi
else
  fail "the program did not end after its main window was closed"
fi

# The two dialogs the main window never opens (the gate is open from the
# start; nothing asks for the rate): korvalen-shots.exe shows one and writes
# its answer. form TITLE WIDTH HEIGHT: opens it, checks its client size.
open_form() {
  wine_exe_bg "$work/form.out" "$exe_dir/korvalen-shots.exe" "$1"
  gui_pid=$wine_bg_pid
  form_window=$(x_window "$2" 60) || { fail "$1 did not appear"; return 1; }
  set -- "$@" $(x_geometry "$form_window")
  [ "$7 $8" = "$3 $4" ] || fail "$1: client $7 x $8, expected $3 x $4"
  sleep 0.5
}
# The answer once the form has closed.
form_answer() {
  gui_ended 20 || { fail "the form did not close"; kill "$gui_pid" 2>/dev/null; gui_pid=""; }
  tr -d '\r' <"$work/form.out" | tail -1
}
expect_answer() {
  got=$(form_answer)
  if [ "$got" = "$2" ]; then pass "$1"; else fail "$1: answered \"$got\", expected \"$2\""; fi
}

baud="Выбор скорости обмена СОМ-порта"
if open_form baud-rate-dialog "$baud" 301 89; then
  x_shot "$form_window" "$shots/windows-baud-rate-dialog.png"
  x_key "$form_window" Escape
  expect_answer "baud-rate dialog: 301 x 89, opens at 19200, Escape cancels" "Cancel"
fi
# Tab order OK, Cancel, Help, the field: three Tabs reach the field and
# select its text. Leaving the field brings 1000000 to the bound.
if open_form baud-rate-dialog "$baud" 301 89; then
  x_key "$form_window" Tab Tab Tab
  x_type "$form_window" "10x00000"
  x_key "$form_window" Tab Return
  expect_answer "baud-rate dialog: digits only, 1000000 becomes 921600 on leaving the field" "OK 921600"
fi
if open_form baud-rate-dialog "$baud" 301 89; then
  x_key "$form_window" Tab Tab Tab Up Return
  expect_answer "baud-rate dialog: Up adds 10, Enter in the field presses OK" "OK 19210"
fi

if open_form password-dialog "Контроль доступа" 233 139; then
  x_type "$form_window" "KW!T"
  x_shot "$form_window" "$shots/windows-password-dialog.png"
  x_key "$form_window" Return
  expect_answer "password dialog: 233 x 139, letters and digits only, Enter presses OK" "OK KWT"
fi
if open_form password-dialog "Контроль доступа" 233 139; then
  x_type "$form_window" "KWT"
  x_key "$form_window" Escape
  expect_answer "password dialog: Escape cancels" "Cancel"
fi
gui_stop
