#!/usr/bin/env bash
# How the window answers while the board library is slow, printed, never
# asserted. The Windows program of one build runs under wine on a private
# display, fed by brelvo-feed (76 karts racing, so a push is 78 calls), with
# a controller library that takes 50 ms over every call
# (tests/fakes/slowboard.c). brelvo-window-probe asks the window something
# every 10 ms and presses F3, F4 and F1 on a schedule; the library logs when
# each call came. Printed: the window's longest wait, how many asks waited
# over 100 ms, and each light's delay from its key to its call. A second run
# with an OpenPort of 5 s gives the time from start to the window shown, a
# third without any library the window's waits that the machine itself
# makes (a loaded machine shows them).
#
#   bench/program/window-wait.sh windows-x86|windows-cross [brelvo-proxy.exe]
# The program defaults to the build's own; give another build's to compare
# (the libraries and the probe always come from this build).
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$PWD"
preset="${1:?windows-x86 or windows-cross}"
case "$preset" in
  windows-x86) wine="$root/scripts/wine32" ;;
  windows-cross) wine=/usr/lib/wine/wine64 ;;
  *) echo "window-wait: windows-x86 or windows-cross" >&2; exit 2 ;;
esac
bin="$root/build/$preset/bin"
program="${2:-$bin/brelvo-proxy.exe}"
native="${BRELVO_NATIVE_TOOLS_DIR:-$root/build/dev/bin}"
for f in "$program" "$bin/slowboard.dll" "$bin/slowboard_open5s.dll" "$bin/brelvo-window-probe.exe" \
  "$native/brelvo-feed"; do
  [ -f "$f" ] || { echo "window-wait: $f missing (cmake --build --preset $preset / dev)" >&2; exit 1; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/brelvo-window-wait.XXXXXX")"
export WINEPREFIX="$root/build/$preset/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$root/cmake/wine-display.sh" stop "$work/display" /usr/lib/wine/wineserver64 >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$root/cmake/wine-display.sh" start "$work/display" /usr/lib/wine/wineserver64 >/dev/null
export BRELVO_WINE_DISPLAY="$work/display/display"
run() { LC_ALL=ru_RU.UTF-8 "$root/cmake/wine-run.sh" "$wine" "$@"; }
run cmd.exe /c exit >/dev/null 2>&1 || true  # the prefix exists before the first timing

port=$((20000 + RANDOM % 20000))
# Four times as fast: laps of about 11 s, so with 76 karts passings come
# several a second and the board is never idle; the first laps are done by
# the time the program starts.
"$native/brelvo-feed" --port "$port" --karts 76 --sessions race --race-laps 400 --speed 4 >"$work/feed.log" 2>&1 &
pids+=($!)
sleep 14

# One run: case library seconds keys...
measure() {
  local name="$1" library="$2" seconds="$3"
  shift 3
  rm -rf "$work/program" && mkdir -p "$work/program"
  cp "$program" "$work/program/brelvo-proxy.exe"
  [ "$library" = none ] || cp "$bin/$library" "$work/program/scoreboardcontroller.dll"
  cp "$bin/brelvo-window-probe.exe" "$work/program/"
  printf 'Host: 127.0.0.1\nPort: %s\nScoreboardMode:1\nComPort:250\nWebPort: 0\n' "$port" >"$work/program/scoreboard.ini"
  : >"$work/calls.log"
  export SLOWBOARD_LOG="Z:${work//\//\\}\\calls.log"
  LC_ALL=ru_RU.UTF-8 "$root/cmake/wine-run.sh" "$wine" "$work/program/brelvo-proxy.exe" >"$work/proxy.log" 2>&1 &
  local proxy=$!
  pids+=("$proxy")
  run "$work/program/brelvo-window-probe.exe" "$seconds" "$@" 2>/dev/null | tr -d '\r' >"$work/probe.log" || true
  kill "$proxy" 2>/dev/null || true
  wait "$proxy" 2>/dev/null || true
  run "$work/program/brelvo-window-probe.exe" gone >/dev/null 2>&1 || true
  sleep 3  # and its process with the single-instance lock
  unset SLOWBOARD_LOG
  # BRELVO_WINDOW_WAIT_KEEP=DIR keeps each run's call log and probe output.
  if [ -n "${BRELVO_WINDOW_WAIT_KEEP:-}" ]; then
    mkdir -p "$BRELVO_WINDOW_WAIT_KEEP"
    cp "$work/calls.log" "$BRELVO_WINDOW_WAIT_KEEP/${library%.dll}.calls.log"
    cp "$work/probe.log" "$BRELVO_WINDOW_WAIT_KEEP/${library%.dll}.probe.log"
  fi
  echo "== $name ($library)"
  grep -v '^key ' "$work/probe.log" | sed 's/^/  /'
  local shows
  shows=$(grep -c ' Show ' "$work/calls.log" || true)
  echo "  table pushes shown: $shows"
  # Each light's delay: from its key to the start of its call in the library.
  { grep '^key ' "$work/probe.log" || true; } | while read -r _ key at; do
    case "$key" in F3) call=StartLight ;; F4) call=FinishLight ;; F1) call="ClearBoard" ;; *) continue ;; esac
    awk -v at="$at" -v call="$call" -v key="$key" '
      $3 == call && $1 >= at && (call != "ClearBoard" || $4 == 1) { printf "  %s delay %d ms\n", key, $1 - at; found = 1; exit }
      END { if (!found) printf "  %s never reached the board\n", key }' <(tr -d '\r' <"$work/calls.log")
  done
}

echo "$preset under $("$wine" --version 2>/dev/null || echo wine), program $(basename "$(dirname "$program")")/$(basename "$program")"
# The race is green a few seconds after the simulator starts.
measure "50 ms per call" slowboard.dll 40 F3@10 F4@16 F1@22 F3@28 F4@34
measure "OpenPort 5 s" slowboard_open5s.dll 8
# The same window with no board library: what the machine itself costs.
measure "no board library" none 40
