#!/usr/bin/env bash
# Builds Brelvo Proxy and starts it wired to a simulated track:
#   brelvo-feed (simulated kart sessions on 127.0.0.1:PORT)
#     -> brelvo-proxy (the operator window)
#     -> scoreboardcontroller (the stand-in board controller)
#     -> a pseudo-terminal published as COM99
#     -> brelvo-board (the virtual LED board)
# "Выход" in the proxy's tray menu ends the proxy, and this script then ends
# the other two. Ctrl+C ends all three.
# Options: --replay FILE replays a recording instead of simulating;
#          --speed X compresses time (default 1); --karts N (default 12).
set -euo pipefail
cd "$(dirname "$0")"

speed=1 karts=12 replay=""
while [ $# -gt 0 ]; do
  case "$1" in
    --speed) speed="$2"; shift 2 ;;
    --karts) karts="$2"; shift 2 ;;
    --replay) replay="$(realpath "$2")"; shift 2 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

scripts/setup
cmake --preset release > /dev/null
cmake --build --preset release --target brelvo-proxy scoreboardcontroller brelvo-board brelvo-feed

bin="$PWD/build/release/bin"
demo="$PWD/build/demo"          # the proxy's program folder for the demo
com=99
mkdir -p "$demo"
cp -f "$bin/brelvo-proxy" "$bin/scoreboardcontroller.so" "$demo/"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display found; the windows run offscreen (the feed and the board still work)."
  echo "run.sh: the virtual board is drawn to $demo/board.png; Ctrl+C ends the demo."
  export QT_QPA_PLATFORM=offscreen
fi
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-/tmp/runtime-$(id -u)}"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

# The timing application's port, unless something already listens there.
port=50000
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then port=50123; fi

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

feed_args=(--port "$port" --speed "$speed")
if [ -n "$replay" ]; then feed_args+=(--replay "$replay" --loop); else feed_args+=(--karts "$karts"); fi
"$bin/brelvo-feed" "${feed_args[@]}" &
pids+=($!)
"$bin/brelvo-board" --pty "$com" --state "$demo/board.json" --snapshot "$demo/board.png" &
pids+=($!)

# The proxy reads its settings from its own folder.
printf 'Host: 127.0.0.1\nPort: %s\nScoreboardMode:1\nBrightness:16\nComPort:%s\n' "$port" "$com" > "$demo/scoreboard.ini"
for _ in $(seq 50); do [ -e "/tmp/brelvo-com/COM$com" ] && break; sleep 0.1; done

echo "run.sh: feed on 127.0.0.1:$port, board on COM$com; starting Brelvo Proxy"
"$demo/brelvo-proxy" &
proxy=$!
pids+=("$proxy")
wait "$proxy"
