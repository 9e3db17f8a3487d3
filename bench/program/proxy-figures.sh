#!/usr/bin/env bash
# Figures of the whole program, printed, never asserted:
#   start to window shown; lines per second through the whole program (feed
#   socket -> Synchronize -> parser -> table push on the recording fake
#   controller), feed log off and on; idle CPU on a silent feed beside a bare
#   receive + 20 ms sleep loop; resident memory after an hour of race replayed
#   fast; the zip's size (Windows).
#
#   bench/program/proxy-figures.sh            the Linux program (release build)
#   bench/program/proxy-figures.sh --windows  the Windows program under wine
# Needs the recordings in ../shared/feeds, Xvfb, xdotool, socat and ss.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$PWD"

windows=0
[ "${1:-}" = "--windows" ] && windows=1
feeds="${BRELVO_FEEDS_DIR:-$root/../shared/feeds}"
[ -f "$feeds/race-gaps.feed" ] || { echo "proxy-figures: no recordings in $feeds" >&2; exit 1; }

if [ "$windows" = 1 ]; then
  cmake --preset windows-cross >/dev/null
  cmake --build --preset windows-cross --target brelvo-proxy fakescoreboard bench_idleloop test_windowsroad_probe \
    >/dev/null
  (cd build/windows-cross && cpack --preset windows-cross >/dev/null 2>&1) || cpack --preset windows-cross >/dev/null
  bin="$root/build/windows-cross/bin"
  exe=brelvo-proxy.exe lib=scoreboardcontroller.dll fake=fakescoreboard.dll idle=bench_idleloop.exe
  export WINEPREFIX="$root/build/windows-cross/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine=/usr/lib/wine/wine64
  [ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
  launcher=("$root/cmake/wine-run.sh" "$wine")
else
  cmake --preset release >/dev/null
  cmake --build --preset release --target brelvo-proxy fakescoreboard bench_idleloop >/dev/null
  bin="$root/build/release/bin"
  exe=brelvo-proxy lib=scoreboardcontroller.so fake=fakescoreboard.so idle=bench_idleloop
  launcher=()
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/brelvo-figures.XXXXXX")"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$root/cmake/wine-display.sh" stop "$work/display" "$(dirname "${wine:-/usr/bin/x}")/wineserver" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
# A private display: the window must really be shown, on nobody's screen.
"$root/cmake/wine-display.sh" start "$work/display" true >/dev/null
export DISPLAY BRELVO_WINE_DISPLAY="$work/display/display"
DISPLAY="$(cat "$BRELVO_WINE_DISPLAY")"
export QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

# The program folder, with the recording fake in place of the controller.
mkdir -p "$work/program"
cp "$bin/$exe" "$work/program/"
cp "$bin/$fake" "$work/program/$lib"
port=$((40000 + $$ % 20000))
printf 'Host: 127.0.0.1\nPort: %s\nScoreboardMode:1\nBrightness:16\nComPort:0\nWebPort: 0\n' "$port" >"$work/program/scoreboard.ini"

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc -l; }
start_program() {
  # The launcher execs the program, so the pid is the program's.
  "${launcher[@]}" "$work/program/$exe" >/dev/null 2>&1 &
  program=$!
  pids+=("$program")
}
stop_program() {
  kill "$program" 2>/dev/null || true
  wait "$program" 2>/dev/null || true
  sleep 0.5
}
window_shown() { xdotool search --onlyvisible --name '^Brelvo Proxy$' >/dev/null 2>&1; }
connected() { ss -tnH state established "( sport = :$port )" 2>/dev/null | grep -q .; }
# Bytes the program has not read yet (its side of the connection).
unread() { ss -tnH "( dport = :$port )" 2>/dev/null | awk '{ s += $2 } END { print s + 0 }'; }
all_read() { [ "$(unread)" = 0 ]; }
use_port() {
  port=$1
  sed -i "s/^Port: .*/Port: $port/" "$work/program/scoreboard.ini"
}
wait_until() {
  local limit=$(($(date +%s) + $1)); shift
  until "$@"; do [ "$(date +%s)" -lt "$limit" ] || return 1; sleep 0.02; done
}
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
hz=$(getconf CLK_TCK)

platform="Linux"
[ "$windows" = 1 ] && platform="Windows build under $("$wine" --version 2>/dev/null | head -1 || true)"
echo "Brelvo Proxy figures, $platform, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

# BRELVO_FIGURES picks sections (start throughput idle memory); all by default.
want() { [[ " ${BRELVO_FIGURES:-start throughput idle memory} " == *" $1 "* ]]; }

# 1. Start to window shown (the first start may warm caches).
for i in 1 2 3; do
  want start || break
  t0=$(now)
  start_program
  wait_until 60 window_shown || { echo "the window never showed" >&2; exit 1; }
  printf 'start to window shown, run %d: %.0f ms\n' "$i" "$(echo "($(now) - $t0) * 1000" | bc -l)"
  stop_program
done

# 2. Lines per second: the recording repeated, served as fast as the program
# reads it; done when the program has read every byte.
make_feed() {  # <file> <copies> <recording>
  : >"$1"
  for _ in $(seq "$2"); do cat "$3" >>"$1"; done
}
throughput() {  # <label> <copies> <log: 0|1>
  local feed="$work/big.feed"
  make_feed "$feed" "$2" "$feeds/race-gaps.feed"
  local lines
  lines=$(grep -c '^\$' "$feed")
  # A fresh port for every run: the last run's connection may linger.
  use_port $((port + 1))
  start_program
  wait_until 60 window_shown
  if [ "$3" = 1 ]; then
    if [ "$windows" = 1 ]; then
      "${launcher[@]}" "$bin/test_windowsroad_probe.exe" log-on >/dev/null 2>&1
    else
      # "Лог обмена" in the window's client area (control table geometry).
      xdotool mousemove --window "$(xdotool search --onlyvisible --name '^Brelvo Proxy$' | head -1)" 244 58 click 1
    fi
  fi
  # socat logs the moment it accepts the program's connection.
  socat -d -d -u "OPEN:$feed" "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" 2>"$work/socat.log" &
  local server=$!
  accepted() { grep -q "accepting connection" "$work/socat.log"; }
  wait_until 30 accepted || { echo "the program did not connect" >&2; kill $server; return 1; }
  local t0
  t0=$(now)
  wait "$server" || true
  wait_until 600 all_read
  local t1
  t1=$(now)
  printf '%s: %d lines in %.2f s = %.0f lines/s\n' "$1" "$lines" "$(elapsed "$t0" "$t1")" \
    "$(echo "$lines / ($t1 - $t0)" | bc -l)"
  stop_program
}
if want throughput; then
  throughput "lines per second, feed log off" 60 0
  throughput "lines per second, feed log on " 20 1
fi

# 3. Idle CPU on a silent feed, beside the bare loop, over the same minute.
if want idle; then
use_port $((port + 1))
socat -u "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" OPEN:/dev/null &
pids+=($!)
start_program
wait_until 30 connected
idle_port=$((port + 100))
socat -u "TCP-LISTEN:$idle_port,bind=127.0.0.1,reuseaddr" OPEN:/dev/null &
pids+=($!)
sleep 0.3
"${launcher[@]}" "$bin/$idle" "$idle_port" &
loop=$!
pids+=("$loop")
sleep 5
p0=$(cpu_ticks "$program") l0=$(cpu_ticks "$loop")
window=60
sleep "$window"
p1=$(cpu_ticks "$program") l1=$(cpu_ticks "$loop")
printf 'idle CPU on a silent feed over %d s: program %.2f %% of a core, bare receive + 20 ms sleep loop %.2f %%\n' \
  "$window" "$(echo "($p1 - $p0) * 100 / $hz / $window" | bc -l)" "$(echo "($l1 - $l0) * 100 / $hz / $window" | bc -l)"
kill "$loop" 2>/dev/null || true
stop_program
fi

# 4. Resident memory after an hour of race: race-start.feed covers ten
# minutes; six of them replayed fast, then the program left to settle.
if want memory; then
make_feed "$work/hour.feed" 6 "$feeds/race-start.feed"
use_port $((port + 1))
start_program
wait_until 60 window_shown
before=$(rss_kib "$program")
socat -u "OPEN:$work/hour.feed" "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr" &
server=$!
# socat ends once the program has connected and been sent every byte.
wait "$server" || true
wait_until 120 all_read
sleep 3
printf 'resident memory: %d KiB at start, %d KiB after an hour of race (peak %d KiB)\n' "$before" \
  "$(rss_kib "$program")" "$(awk '/^VmHWM/ { print $2 }' "/proc/$program/status")"
stop_program
fi

if [ "$windows" = 1 ]; then
  zip="$(ls "$root"/build/windows-cross/brelvo-proxy-*-win64.zip | head -1)"
  printf 'zip: %s, %d bytes\n' "$(basename "$zip")" "$(stat -c %s "$zip")"
fi
