# The desktop program korvalen.exe under Wine, on Xvfb with openbox, driven
# with xdotool as a person would. Sourced by scripts/windows-test.sh, whose
# Wine prefix, virtual-device helpers and X driver it uses. Screenshots of
# every window go to $KORVALEN_SHOTS when it is set (make windows-screenshots
# sets docs/).
#
# The program lives in a folder with Cyrillic letters and loads an image with
# Cyrillic letters in its name, chosen in the open-file dialog by pointing at
# it (typed Cyrillic can lose a letter under load). Message boxes are read
# back from Wine's message-box log. Windows are driven through
# scripts/lib/xdriver.sh (sourced by the caller), as the Qt program's are.
shots=${KORVALEN_SHOTS:-$work/shots}
gui_pid=""
gui_stop() {
  if [ -n "$gui_pid" ]; then
    kill "$gui_pid" 2>/dev/null || true
    wait "$gui_pid" 2>/dev/null || true
    gui_pid=""
  fi
  xd_stop
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

echo "== korvalen.exe under Wine on Xvfb with openbox"
xd_start "$work"
wine_use_display
mkdir -p "$shots"
app="$work/Корвален"
mkdir -p "$app"
cp "$exe_dir/korvalen.exe" "$app/"
gui_image="$app/прошивка.rom"
make_image "$gui_image"
expected_memory "$gui_image" 6 >"$work/gui-expected.bin"

start_sim --echo on --pace-baud 19200 --memory-out "$work/gui-memory.bin"
WINE_DEBUG=-all,+msgbox wine_exe_bg "$work/gui.out" "$app/korvalen.exe"
gui_pid=$wine_bg_pid
main=$(xd_find Korvalen 90) || { xd_fail "the main window did not appear"; cat "$work/gui.out" >&2; exit 1; }
sleep 1

# First start: the settings file beside the .exe, its first line one blank.
if [ "$(head -c 3 "$app/korvalen.ini" 2>/dev/null | od -An -c | tr -d ' ')" = '\r\n' ]; then
  xd_pass "first start creates korvalen.ini beside the .exe, first line one blank, CR LF"
else
  xd_fail "first start: korvalen.ini missing or not starting with a blank line"
fi

xd_check "main window: client 361 x 251" xd_client_size "$main" 361 251
xd_check "main window: its frame centred on the screen" xd_centred "$main"
xd_screenshot "$shots/windows-main-window.png" "$main"

# The port dialog opens from its button; Escape closes it.
xd_click "$main" 184 28
if port=$(xd_find "Выбор номера порта" 20); then
  xd_check "port dialog: client 337 x 85" xd_client_size "$port" 337 85
  xd_screenshot "$shots/windows-port-dialog.png" "$port"
  xd_key "$port" Escape
  if xd_wait_gone "Выбор номера порта" 10; then
    xd_pass "the port dialog opens from \"Выбрать СОМ-порт\" and Escape closes it"
  else
    xd_fail "Escape did not close the port dialog"
  fi
else
  xd_fail "the port dialog did not open"
fi

# A second copy of the same program file ends by itself, without a window.
first_pid=$gui_pid
wine_exe_bg "$work/gui2.out" "$app/korvalen.exe"
gui_pid=$wine_bg_pid
if gui_ended 60 && [ "$(xd_windows Korvalen | wc -l)" -eq 1 ]; then
  xd_pass "a second copy ends by itself; the first goes on"
else
  xd_fail "the second copy did not end by itself"
  gui_stop_second=$gui_pid
  kill "$gui_stop_second" 2>/dev/null || true
fi
gui_pid=$first_pid

# The image is chosen in the open-file dialog: the one .rom of the program's
# folder, which the dialog shows first.
xd_click "$main" 184 68
if open=$(xd_find Open 20); then
  sleep 1
  xd_click "$open" 150 44
  xd_key "$open" Return
  xd_wait_gone Open 10 || xd_fail "the open-file dialog did not close"
else
  xd_fail "the open-file dialog did not open"
fi
sleep 0.5
xd_screenshot "$shots/windows-main-window-file.png" "$main"

# The load: the progress window, then "Загрузка окончена." above it.
xd_click "$main" 184 148
if progress=$(xd_find "Progress..." 30); then
  xd_check "progress window: client 261 x 113" xd_client_size "$progress" 261 113
  # On top, and no caption-bar button asked for: the Motif decorations hold
  # neither the menu (0x10) nor minimise (0x20) nor maximise (0x40). (Wine
  # always offers the window manager a close function; the window ignores it.)
  hints=$(xd_motif_hints "$progress")
  decorations=$(echo "$hints" | cut -d' ' -f3)
  if xd_has_state "$progress" _NET_WM_STATE_ABOVE && [ -n "$decorations" ] &&
    [ $((decorations & 0x70)) -eq 0 ]; then
    xd_pass "progress window: on top, no caption-bar buttons asked for"
  else
    xd_fail "progress window: Motif hints \"$hints\", not on top or with caption-bar buttons"
  fi
  sleep 2
  xd_screenshot "$shots/windows-progress.png" "$progress"
  if info=$(xd_find Information 180); then
    if xd_above "$info" "$progress"; then
      xd_pass "the outcome box stands above the progress window (_NET_CLIENT_LIST_STACKING)"
    else
      xd_fail "the outcome box is not above the progress window: $(xd_stacking | tr '\n' ' ')(progress $progress, box $info)"
    fi
    xd_screenshot "$shots/windows-load-finished.png" "$info"
    text=$(box_text)
    case $text in
    *"Загрузка окончена."*) xd_pass "the load ends with \"Загрузка окончена.\"" ;;
    *) xd_fail "the outcome box says: $text" ;;
    esac
    xd_key "$info" Return
    xd_wait_gone "Progress..." 20 || xd_fail "the progress window stayed after the box"
  else
    xd_fail "no outcome box after the load"
  fi
else
  xd_fail "the progress window did not appear"
fi
stop_sim
if cmp -s "$work/gui-expected.bin" "$work/gui-memory.bin"; then
  xd_pass "load through the main window: the device memory is exact"
else
  xd_fail "load through the main window: the device memory differs"
fi

# The chosen image gone: "Файл не найден", and no progress window.
mv "$gui_image" "$gui_image.moved"
xd_click "$main" 184 148
if box=$(xd_find Error 20); then
  text=$(box_text)
  case $text in
  *"Файл не найден"*) xd_pass "a missing image gives \"Файл не найден\"" ;;
  *) xd_fail "the missing image's box says: $text" ;;
  esac
  xd_screenshot "$shots/windows-file-not-found.png" "$box"
  xd_key "$box" Return
else
  xd_fail "no box for the missing image"
fi
mv "$gui_image.moved" "$gui_image"

# Closing saves Port, FN (Cyrillic letters and all) and the placement.
xd_key "$main" alt+F4
if gui_ended 30; then
  ini=$app/korvalen.ini
  fn=$(sed -n 's/^FN=\(.*\)\r$/\1/p' "$ini")
  want_fn=$(winpath "$gui_image")
  if grep -q '^Port=3' "$ini" && [ "$fn" = "$want_fn" ] &&
    grep -q '^State=0' "$ini" && grep -q '^Left=' "$ini" && grep -q '^Top=' "$ini" &&
    grep -q '^Width=' "$ini" && grep -q '^Height=' "$ini"; then
    xd_pass "closing saves Port=3, FN (Cyrillic letters and all) and the placement"
  else
    xd_fail "closing saved: $(tr '\r\n' '  ' <"$ini")"
  fi
else
  xd_fail "the program did not end after its main window was closed"
fi

# Started minimized (a shortcut set to run so), the program reads nothing and
# opens no port until the operator first restores its window; the first show
# then runs as at any start. Its taskbar entry carries the application's
# title meanwhile.
minimized="$work/Свёрнутый"
mkdir -p "$minimized"
cp "$exe_dir/korvalen.exe" "$minimized/"
wine_exe_bg "$work/gui-min.out" start /wait /min /unix "$minimized/korvalen.exe"
gui_pid=$wine_bg_pid
if icon=$(xd_find korvalen 60); then
  sleep 1
  if [ ! -e "$minimized/korvalen.ini" ] && xd_has_state "$icon" _NET_WM_STATE_HIDDEN; then
    xd_pass "started minimized: nothing read before the window is first restored"
  else
    xd_fail "started minimized: $(ls "$minimized" | tr '\n' ' '), state $(xprop -id "$icon" _NET_WM_STATE)"
  fi
  xd_activate "$icon" || true
  if restored=$(xd_find Korvalen 20) && sleep 1 && [ -e "$minimized/korvalen.ini" ]; then
    xd_pass "restored: the first show reads the settings and captions the window \"Korvalen\""
    xd_check "restored: its frame centred on the screen" xd_centred "$restored"
    xd_key "$restored" alt+F4
    if gui_ended 30 && grep -q '^Port=3' "$minimized/korvalen.ini"; then
      xd_pass "restored, then closed: the settings are written"
    else
      xd_fail "restored, then closed: $(tr '\r\n' '  ' <"$minimized/korvalen.ini")"
    fi
  else
    xd_fail "restored: no first show ($(ls "$minimized" | tr '\n' ' '))"
  fi
else
  xd_fail "started minimized: no window"
fi
[ -z "$gui_pid" ] || { kill "$gui_pid" 2>/dev/null || true; gui_pid=""; }

# The two dialogs the main window never opens (the gate is open from the
# start; nothing asks for the rate): korvalen-shots.exe shows one and writes
# its answer. form TITLE WIDTH HEIGHT: opens it, checks its client size.
open_form() {
  wine_exe_bg "$work/form.out" "$exe_dir/korvalen-shots.exe" "$1"
  gui_pid=$wine_bg_pid
  form_window=$(xd_find "$2" 60) || { xd_fail "$1 did not appear"; return 1; }
  xd_client_size "$form_window" "$3" "$4" || xd_fail "$1: client not $3 x $4"
  sleep 0.5
}
# The answer once the form has closed.
form_answer() {
  gui_ended 20 || { xd_fail "the form did not close"; kill "$gui_pid" 2>/dev/null; gui_pid=""; }
  tr -d '\r' <"$work/form.out" | tail -1
}
expect_answer() {
  got=$(form_answer)
  if [ "$got" = "$2" ]; then xd_pass "$1"; else xd_fail "$1: answered \"$got\", expected \"$2\""; fi
}

baud="Выбор скорости обмена СОМ-порта"
if open_form baud-rate-dialog "$baud" 301 89; then
  xd_screenshot "$shots/windows-baud-rate-dialog.png" "$form_window"
  xd_key "$form_window" Escape
  expect_answer "baud-rate dialog: 301 x 89, opens at 19200, Escape cancels" "Cancel"
fi
# Tab order OK, Cancel, Help, the field: three Tabs reach the field and
# select its text. Leaving the field brings 1000000 to the bound.
if open_form baud-rate-dialog "$baud" 301 89; then
  xd_key "$form_window" Tab Tab Tab
  xd_type "$form_window" "10x00000" 150
  xd_key "$form_window" Tab Return
  expect_answer "baud-rate dialog: digits only, 1000000 becomes 921600 on leaving the field" "OK 921600"
fi
if open_form baud-rate-dialog "$baud" 301 89; then
  xd_key "$form_window" Tab Tab Tab Up Return
  expect_answer "baud-rate dialog: Up adds 10, Enter in the field presses OK" "OK 19210"
fi

if open_form password-dialog "Контроль доступа" 233 139; then
  xd_type "$form_window" "KW!T" 150
  xd_screenshot "$shots/windows-password-dialog.png" "$form_window"
  xd_key "$form_window" Return
  expect_answer "password dialog: 233 x 139, letters and digits only, Enter presses OK" "OK KWT"
fi
if open_form password-dialog "Контроль доступа" 233 139; then
  xd_type "$form_window" "KWT" 150
  xd_key "$form_window" Escape
  expect_answer "password dialog: Escape cancels" "Cancel"
fi
gui_stop
