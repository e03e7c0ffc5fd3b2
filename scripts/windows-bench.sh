#!/bin/sh
# The Windows measures, under Wine against the Linux virtual device, printed
# as Markdown for docs/windows.md (part of `make bench`):
# - a 64-page load at 115200 baud in line mode 2 by korvalen-cli.exe, against
#   the Linux korvalen-cli in the same run (target: wall <= 1.05 x Linux);
# - a silent 10 s wait (identify --wait 10): CPU of the program and of
#   wineserver together (target <= 3 % of one core);
# - the turnaround in line mode 0, from the last byte of a reply out of the
#   device to the first byte of the next request in, from the device's frame
#   log (target: median <= 2 ms).
# Wine is not Windows: the figures say how the program's waits behave under
# Wine's driver emulation, not what a Windows machine's timer does.
#
# Usage: scripts/windows-bench.sh [LINUX_BUILD [MINGW_BUILD]]
set -eu
cd "$(dirname "$0")/.."
root=$PWD
linux_build=${1:-build}
mingw_build=${2:-build-mingw}
pages=${KORVALEN_BENCH_PAGES:-64}

scripts/deps.sh wine wine64 g++-mingw-w64-x86-64 nsis zip bc time
cmake --build "$linux_build" --target korvalen-sim korvalen-cli -j "${JOBS:-2}" >/dev/null
scripts/windows-build.sh "$mingw_build" >/dev/null

sim=$root/$linux_build/bin/korvalen-sim
linux_cli=$root/$linux_build/bin/korvalen-cli
cli=$root/$mingw_build/bin/korvalen-cli.exe
. scripts/lib/wine.sh

work=$(mktemp -d /tmp/korvalen-windows-bench.XXXXXX)
cleanup() {
  stop_sim
  wine_teardown
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now() { date +%s.%N; }
# CPU seconds (user + system) of process PID so far; the last figure read
# stands once it has ended.
cpu_of() {
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat" 2>/dev/null || echo 0
}

image=$work/image.rom
head -c $((pages * 1536)) /dev/urandom >"$image"
wine_setup "$work"
start_sim --echo off
wine_map_port 3 "$work/COM3"
stop_sim

echo "### Windows program under Wine (korvalen-cli.exe against korvalen-sim on a mapped COM3)"
echo
echo "| measure | Wine | Linux, same run | target |"
echo "|---|---:|---:|---|"

# The load, Linux first, then the same under Wine.
start_sim --echo on --pace-baud 115200 --exit-after-finish
t0=$(now)
"$linux_cli" load --device "$work/COM3" --line-mode 2 --baud 115200 --wait 10 "$image" \
  >/dev/null 2>&1 || echo "windows-bench: the Linux load failed" >&2
linux_wall=$(echo "$(now) - $t0" | bc)
wait_sim
start_sim --echo on --pace-baud 115200 --exit-after-finish
t0=$(now)
wine_exe "$cli" load --port 3 --line-mode 2 --baud 115200 --wait 10 "Z:$image" >/dev/null 2>&1 ||
  echo "windows-bench: the load under Wine failed" >&2
wine_wall=$(echo "$(now) - $t0" | bc)
wait_sim
awk -v w="$wine_wall" -v l="$linux_wall" -v p="$pages" 'BEGIN {
  r = w / l
  printf "| %d-page load, 115200 baud, line mode 2: wall s | %.2f | %.2f | ratio %.3f <= 1.05: %s |\n",
    p, w, l, r, (r <= 1.05 ? "yes" : "**no**") }'

# The silent wait: the program's CPU and the server's, over the same span.
start_sim --echo on --pace-baud 19200 --silent-polls 1000000
server_before=$(cpu_of "$wine_server_pid")
t0=$(now)
wine_exe_bg "$work/wait.out" "$cli" identify --port 3 --line-mode 2 --wait 10
program_cpu=0
while kill -0 "$wine_bg_pid" 2>/dev/null; do
  sample=$(cpu_of "$wine_bg_pid")
  [ "$sample" != 0 ] && program_cpu=$sample
  sleep 0.2
done
wait "$wine_bg_pid" 2>/dev/null || true
wall=$(echo "$(now) - $t0" | bc)
server_cpu=$(echo "$(cpu_of "$wine_server_pid") - $server_before" | bc)
stop_sim
start_sim --echo on --pace-baud 19200 --silent-polls 1000000
set +e
/usr/bin/time -f "%U %S" -o "$work/linux-wait.time" "$linux_cli" identify --device "$work/COM3" \
  --line-mode 2 --wait 10 >/dev/null 2>&1
set -e
stop_sim
linux_share=$(tail -1 "$work/linux-wait.time" | awk '{ printf "%.2f", 100 * ($1 + $2) / 10 }')
awk -v p="$program_cpu" -v s="$server_cpu" -v w="$wall" -v l="$linux_share" 'BEGIN {
  share = 100 * (p + s) / w
  printf "| silent 10 s wait: CPU of program + wineserver, %% of one core | %.2f (%.2f + %.2f s over %.1f s) | %s | <= 3: %s |\n",
    share, p, s, w, l, (share <= 3 ? "yes" : "**no**") }'

# Turnaround in line mode 0, from the device's log: the reply's last byte
# leaves at its start + its length in byte times, the next request's first
# byte arrives its length less one byte times before its logged last byte.
median_turnaround() {
  awk -v bt="$(echo "11 / 115200 * 1000" | bc -l)" '
    # "%12.3f ms  DIRECTION  NOTE(40)  BYTES": the bytes from column 70 on.
    {
      n = split(substr($0, 70), bytes, " ")
      if ($3 == "dev->host" && n > 0) { out = $1 + n * bt; have = 1 }
      else if ($3 == "host->dev" && n > 0 && have) { gap[k++] = ($1 - (n - 1) * bt) - out; have = 0 }
    }
    END {
      if (k == 0) { print "n/a"; exit }
      for (i = 0; i < k; i++) for (j = i + 1; j < k; j++) if (gap[j] < gap[i]) { t = gap[i]; gap[i] = gap[j]; gap[j] = t }
      printf "%.2f", (k % 2) ? gap[(k - 1) / 2] : (gap[k / 2 - 1] + gap[k / 2]) / 2
    }' "$1"
}
head -c $((8 * 1536)) "$image" >"$work/small.rom"
start_sim --echo off --pace-baud 115200 --exit-after-finish --log "$work/wine.log"
wine_exe "$cli" load --port 3 --line-mode 0 --baud 115200 --wait 10 "Z:$work/small.rom" \
  >/dev/null 2>&1 || echo "windows-bench: the line mode 0 load under Wine failed" >&2
wait_sim
start_sim --echo off --pace-baud 115200 --exit-after-finish --log "$work/linux.log"
"$linux_cli" load --device "$work/COM3" --line-mode 0 --baud 115200 --wait 10 "$work/small.rom" \
  >/dev/null 2>&1 || echo "windows-bench: the line mode 0 load on Linux failed" >&2
wait_sim
wine_turn=$(median_turnaround "$work/wine.log")
linux_turn=$(median_turnaround "$work/linux.log")
awk -v w="$wine_turn" -v l="$linux_turn" 'BEGIN {
  printf "| line mode 0 turnaround, reply out to next request in: median ms | %s | %s | <= 2: %s |\n",
    w, l, (w + 0 <= 2 ? "yes" : "**no**") }'
echo
echo "Wine $("$WINE_BIN" --version 2>/dev/null | sed 's/^wine-//'); load average $(cut -d' ' -f1-3 /proc/loadavg)."
