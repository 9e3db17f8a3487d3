#!/usr/bin/env bash
# How long the whole program takes to notice a feed whose path dies without
# a reset, printed, never asserted. The feed (a heartbeat every second, as
# the timing application sends while connected) runs in a network namespace
# behind a veth pair; after a few heartbeats its replies are black-holed, so
# the program's socket hears nothing more, not even a reset. The figure is
# the time from the black hole to the moment the program drops its
# established connection (seen with ss).
#
#   bench/program/dead-feed.sh            the Linux program (dev build)
#   bench/program/dead-feed.sh --windows  brelvo-proxy.exe under wine (windows-cross build)
# Needs root (ip netns), socat, ss and Xvfb; builds nothing, run it after the build.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$PWD"

windows=0
[ "${1:-}" = "--windows" ] && windows=1
runs="${BRELVO_DEAD_FEED_RUNS:-3}"

if [ "$windows" = 1 ]; then
  bin="$root/build/windows-cross/bin"
  exe=brelvo-proxy.exe lib=scoreboardcontroller.dll fake=fakescoreboard.dll
  export WINEPREFIX="$root/build/windows-cross/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine=/usr/lib/wine/wine64
  [ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
  launcher=("$root/cmake/wine-run.sh" "$wine")
else
  bin="$root/build/dev/bin"
  exe=brelvo-proxy lib=scoreboardcontroller.so fake=fakescoreboard.so
  launcher=()
fi
[ -x "$bin/$exe" ] || { echo "dead-feed: build $bin/$exe first" >&2; exit 1; }

tag="bdf$$"
ns="$tag"
net="10.213.$(($$ % 250)).0"
proxy_ip="${net%.0}.1" feed_ip="${net%.0}.2" port=50000
work="$(mktemp -d "${TMPDIR:-/tmp}/brelvo-dead-feed.XXXXXX")"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
  ip link del "${tag}a" 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  "$root/cmake/wine-display.sh" stop "$work/display" "$(dirname "${wine:-/usr/bin/x}")/wineserver" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
ip link add "${tag}a" type veth peer name "${tag}b"
ip link set "${tag}b" netns "$ns"
ip addr add "$proxy_ip/30" dev "${tag}a"
ip link set "${tag}a" up
ip netns exec "$ns" ip addr add "$feed_ip/30" dev "${tag}b"
ip netns exec "$ns" ip link set "${tag}b" up
ip netns exec "$ns" ip link set lo up

"$root/cmake/wine-display.sh" start "$work/display" true >/dev/null
export BRELVO_WINE_DISPLAY="$work/display/display" QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

mkdir -p "$work/program"
cp "$bin/$exe" "$work/program/"
cp "$bin/$fake" "$work/program/$lib"
printf 'Host: %s\nPort: %s\nScoreboardMode:1\nBrightness:16\nComPort:0\n' "$feed_ip" "$port" >"$work/program/scoreboard.ini"

printf '$F,9999,"00:10:00","08:58:48","00:01:05","Green "\r\n' >"$work/heartbeat"
ip netns exec "$ns" socat "TCP-LISTEN:$port,bind=$feed_ip,reuseaddr,fork" \
  SYSTEM:"while cat '$work/heartbeat'; do sleep 1; done" 2>/dev/null &
pids+=($!)

now() { date +%s.%N; }
established() { ss -tnH state established "( dst $feed_ip and dport = :$port )" 2>/dev/null | grep -q .; }
dropped() { ! established; }
wait_until() {
  local limit=$(($(date +%s) + $1)); shift
  until "$@"; do [ "$(date +%s)" -lt "$limit" ] || return 1; sleep 0.05; done
}

platform="Linux"
[ "$windows" = 1 ] && platform="Windows build under $("$wine" --version 2>/dev/null | head -1 || true)"
echo "dead feed, $platform"

"${launcher[@]}" "$work/program/$exe" >/dev/null 2>&1 &
pids+=($!)
for run in $(seq "$runs"); do
  wait_until 90 established || { echo "the program never connected" >&2; exit 1; }
  sleep 3  # a few heartbeats through
  ip netns exec "$ns" ip route add blackhole "$proxy_ip/32"
  t0=$(now)
  if wait_until 60 dropped; then
    printf 'run %d: dead path noticed after %.1f s\n' "$run" "$(echo "$(now) - $t0" | bc -l)"
  else
    echo "run $run: not noticed within 60 s"
  fi
  ip netns exec "$ns" ip route del blackhole "$proxy_ip/32"
done
