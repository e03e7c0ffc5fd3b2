# Running the Windows programs under Wine, away from the machine's serial
# devices. Sourced by the Windows test and benchmark scripts.
#
# On these machines /dev/ttyS0 is the console, and Wine's mount manager links
# every /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* it sees to a COM name. So
# every Windows program, and the wineserver that opens files for it, runs in a
# private mount namespace whose /dev holds no serial device; the one COM port a
# test uses is mapped in the registry to the virtual device's link, and before
# every run the prefix is checked: a COM name that resolves to /dev/tty* stops
# the run.
#
#   wine_setup WORK        prefix WORK/prefix, namespace, wineserver, wineboot
#   wine_map_port N PATH   COMn is PATH (a link to a pseudo-terminal) and no other
#   wine_run CMD...        CMD inside the namespace with the prefix's environment
#   wine_exe PROGRAM ARGS  wine_run of the Windows program PROGRAM
#   wine_exe_bg OUT PROGRAM ARGS   the same in the background (wine_bg_pid)
#   wine_use_display       the programs after it open their windows on $DISPLAY
#   wine_teardown          wineserver and namespace stopped
#   start_sim OPTIONS...   $sim (korvalen-sim) with OPTIONS, its link at $work/COM3
#   wait_sim               waits for that device to end by itself
#   stop_sim               ends it (SIGINT: its memory file is written)
#
# The korvalen-sim of a test runs outside the namespace: a pseudo-terminal is
# opened there and its path (/dev/pts/N) is seen inside through the bind.

WINE_BIN=${WINE_BIN:-/usr/lib/wine/wine64}
WINESERVER_BIN=${WINESERVER_BIN:-/usr/lib/wine/wineserver}
wine_ns_pid=""
wine_server_pid=""

# The prefix's environment: no debug output (WINE_DEBUG names channels to
# log), no Mono or Gecko prompt.
wine_environment() {
  echo "WINEPREFIX=$WINEPREFIX" "WINEDEBUG=${WINE_DEBUG:--all}" "WINEDLLOVERRIDES=mscoree,mshtml=" \
    "WINEARCH=win64"
}

# A mount namespace whose /dev has no serial device, held open by a sleeping
# process that later commands enter with nsenter.
wine_namespace_start() {
  ready=$1/ns-ready
  rm -f "$ready"
  unshare -m --propagation private sh -c '
    set -e
    real=$(mktemp -d)
    mount --rbind /dev "$real"
    mount -t tmpfs -o mode=755,size=1m korvalen-dev /dev
    for node in null zero full random urandom tty ptmx; do
      touch /dev/$node
      mount --bind "$real/$node" /dev/$node
    done
    mkdir /dev/pts /dev/shm
    mount --bind "$real/pts" /dev/pts
    mount --bind "$real/shm" /dev/shm
    ln -s /proc/self/fd /dev/fd
    ln -s /proc/self/fd/0 /dev/stdin
    ln -s /proc/self/fd/1 /dev/stdout
    ln -s /proc/self/fd/2 /dev/stderr
    umount -l "$real"
    rmdir "$real"
    touch "$0"
    exec sleep 1000000' "$ready" &
  wine_ns_pid=$!
  for _ in $(seq 100); do
    [ -e "$ready" ] && break
    kill -0 "$wine_ns_pid" 2>/dev/null || break
    sleep 0.05
  done
  [ -e "$ready" ] || { echo "wine: the private /dev could not be made" >&2; return 1; }
  # Proof, not trust: nothing serial may be visible inside.
  if wine_run sh -c 'ls /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* 2>/dev/null | grep -q .'; then
    echo "wine: serial devices are visible inside the namespace; refusing to run" >&2
    return 1
  fi
}

wine_run() {
  # shellcheck disable=SC2046
  nsenter -t "$wine_ns_pid" -m -- env $(wine_environment) "$@"
}

wine_exe() {
  wine_check_ports || return 70
  program=$1
  shift
  wine_run "$WINE_BIN" "$program" "$@"
}

# The same in the background, its output to OUT; the Windows process's own id
# in wine_bg_pid (nsenter, env and the Wine loader each exec the next).
wine_exe_bg() {
  out=$1
  shift
  wine_check_ports || return 70
  program=$1
  shift
  # shellcheck disable=SC2046
  nsenter -t "$wine_ns_pid" -m -- env $(wine_environment) "$WINE_BIN" "$program" "$@" \
    >"$out" 2>&1 &
  wine_bg_pid=$!
}

wine_server_start() {
  # Started by hand from this shell: an auto-started wineserver makes itself
  # a session leader and takes the pseudo-terminal it opens as its controlling
  # terminal, then dumps its object table on the client's stderr at hang-up.
  # shellcheck disable=SC2046
  nsenter -t "$wine_ns_pid" -m -- env $(wine_environment) "$WINESERVER_BIN" -f -p \
    >/dev/null 2>&1 &
  wine_server_pid=$!
  sleep 0.2
}

# wine_server_pid is the server's own process (nsenter and env exec it).
wine_server_stop() {
  [ -n "$wine_server_pid" ] || return 0
  wine_run "$WINESERVER_BIN" -k >/dev/null 2>&1 || true
  wait "$wine_server_pid" 2>/dev/null || true
  wine_server_pid=""
}

# Every COM name of the prefix: refuse when one resolves to a tty device.
wine_check_ports() {
  for link in "$WINEPREFIX"/dosdevices/com*; do
    [ -L "$link" ] || continue
    target=$(readlink -f "$link" || true)
    case $target in
    /dev/tty*)
      echo "wine: $(basename "$link") resolves to $target; refusing to run" >&2
      return 1
      ;;
    esac
  done
  return 0
}

wine_setup() {
  work=$1
  export WINEPREFIX="$work/prefix"
  mkdir -p "$WINEPREFIX"
  wine_namespace_start "$work" || return 1
  wine_server_start
  wine_run "$WINE_BIN" wineboot --init >/dev/null 2>&1 || {
    echo "wine: wineboot failed" >&2
    return 1
  }
  wine_check_ports
}

# COMn names PATH: the registry's port table, read by the mount manager when
# the server starts, so the server is started again.
wine_map_port() {
  n=$1
  path=$2
  wine_run "$WINE_BIN" reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$path" /f >/dev/null 2>&1
  wine_server_stop
  rm -f "$WINEPREFIX/dosdevices/com$n"
  wine_server_start
  # The mount manager runs with the first program; make sure the link is ours.
  wine_run "$WINE_BIN" cmd /c exit >/dev/null 2>&1 || true
  ln -sfn "$path" "$WINEPREFIX/dosdevices/com$n"
  wine_check_ports
}

# Wine's desktop process picks its display driver when it starts, and every
# program of the prefix draws through it. One started before the X server (by
# wineboot or the port mapping, and still running) keeps every window off the
# screen: a fresh server starts a fresh one, on $DISPLAY.
wine_use_display() {
  wine_server_stop
  wine_server_start
}

wine_teardown() {
  wine_server_stop
  if [ -n "$wine_ns_pid" ]; then
    kill "$wine_ns_pid" 2>/dev/null || true
    wait "$wine_ns_pid" 2>/dev/null || true
    wine_ns_pid=""
  fi
}

# The virtual device behind COM3, for the tests and the benchmarks.
sim_pid=""
start_sim() {
  rm -f "$work/COM3"
  "$sim" --link "$work/COM3" "$@" >"$work/sim.out" 2>"$work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    [ -e "$work/COM3" ] && return 0
    sleep 0.05
  done
  echo "korvalen-sim did not come up" >&2
  cat "$work/sim.err" >&2
  return 1
}
wait_sim() {
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}
stop_sim() {
  if [ -n "$sim_pid" ]; then
    kill -INT "$sim_pid" 2>/dev/null || true
    wait_sim
  fi
}
