#!/usr/bin/env bash
# Builds Brelvo Proxy and starts it wired to a simulated track:
#   brelvo-feed (simulated kart sessions on 127.0.0.1:PORT: the race first,
#   then practice and qualifying)
#     -> brelvo-proxy (the operator window)
#     -> scoreboardcontroller (the stand-in board controller)
#     -> a pseudo-terminal published as COM99
#     -> brelvo-board (the virtual LED board)
# "Выход" in the proxy's tray menu ends the proxy, and this script then ends
# the other two. Ctrl+C ends all three.
# Options: --replay FILE replays a recording instead of simulating;
#          --speed X compresses time (default 1); --karts N (default 12);
#          --sessions LIST the simulated sessions in their order
#          (default race,practice,qualifying; the board stands in race mode);
#          --windows runs the Windows program (brelvo-proxy.exe and our
#          scoreboardcontroller.dll, cross-built) under wine instead, with
#          wine's COM99 mapped to the virtual board's pseudo-terminal.
set -euo pipefail
cd "$(dirname "$0")"

speed=1 karts=12 replay="" windows=0 sessions=race,practice,qualifying
while [ $# -gt 0 ]; do
  case "$1" in
    --speed) speed="$2"; shift 2 ;;
    --karts) karts="$2"; shift 2 ;;
    --sessions) sessions="$2"; shift 2 ;;
    --replay) replay="$(realpath "$2")"; shift 2 ;;
    --windows) windows=1; shift ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

scripts/setup
cmake --preset release > /dev/null
bin="$PWD/build/release/bin"
com=99
if [ "$windows" = 1 ]; then
  cmake --build --preset release --target brelvo-board brelvo-feed
  cmake --preset windows-cross > /dev/null
  cmake --build --preset windows-cross --target brelvo-proxy scoreboardcontroller
  demo="$PWD/build/demo-windows"
  mkdir -p "$demo"
  cp -f build/windows-cross/bin/brelvo-proxy.exe build/windows-cross/bin/scoreboardcontroller.dll "$demo/"
  export WINEPREFIX="$PWD/build/windows-cross/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine_bin=/usr/lib/wine/wine64
  [ -x "$wine_bin" ] || wine_bin="$(command -v wine64 || command -v wine)"
else
  cmake --build --preset release --target brelvo-proxy scoreboardcontroller brelvo-board brelvo-feed
  demo="$PWD/build/demo"          # the proxy's program folder for the demo
  mkdir -p "$demo"
  cp -f "$bin/brelvo-proxy" "$bin/scoreboardcontroller.so" "$demo/"
fi

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display found; the windows run offscreen (the feed and the board still work)."
  echo "run.sh: the virtual board is drawn to $demo/board.png; Ctrl+C ends the demo."
  export QT_QPA_PLATFORM=offscreen
  if [ "$windows" = 1 ]; then
    # Wine needs an X display for its windows: a private one, whose picture
    # run.sh saves to $demo/proxy.png every few seconds.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$demo/display" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do [ -s "$demo/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$demo/display")"
    (while sleep 5; do import -display "$DISPLAY" -window root "$demo/proxy.png" 2>/dev/null || true; done) &
    pids+=($!)
    echo "run.sh: the proxy's window is drawn to $demo/proxy.png."
  fi
fi
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-/tmp/runtime-$(id -u)}"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# The board's port link lives in the demo's own folder, where no other user
# can plant one; the board makes it, the proxy's controller library reads it.
export BRELVO_COM_LINKS="$demo/com"
mkdir -p "$BRELVO_COM_LINKS" && chmod 700 "$BRELVO_COM_LINKS"

# The timing application's port, unless something already listens there.
port=50000
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then port=50123; fi

feed_args=(--port "$port" --speed "$speed")
if [ -n "$replay" ]; then feed_args+=(--replay "$replay" --loop); else feed_args+=(--karts "$karts" --sessions "$sessions"); fi
"$bin/brelvo-feed" "${feed_args[@]}" &
pids+=($!)
"$bin/brelvo-board" --pty "$com" --state "$demo/board.json" --snapshot "$demo/board.png" &
pids+=($!)

# The proxy reads its settings from its own folder.
printf 'Host: 127.0.0.1\nPort: %s\nScoreboardMode:1\nBrightness:16\nComPort:%s\n' "$port" "$com" > "$demo/scoreboard.ini"
for _ in $(seq 50); do [ -e "$BRELVO_COM_LINKS/COM$com" ] && break; sleep 0.1; done

echo "run.sh: feed on 127.0.0.1:$port, board on COM$com; starting Brelvo Proxy"
if [ "$windows" = 1 ]; then
  # Wine's COM99 is the board's pseudo-terminal (the link follows a board
  # that restarts).
  # The prefix is made once without a display; its wine server must be gone
  # before the program starts one on the display.
  cmake/wine-run.sh "$wine_bin" cmd.exe /c exit >/dev/null 2>&1 || true
  "$(dirname "$wine_bin")/wineserver" -w >/dev/null 2>&1 || true
  mkdir -p "$WINEPREFIX/dosdevices"
  ln -sfn "$BRELVO_COM_LINKS/COM$com" "$WINEPREFIX/dosdevices/com$com"
  DISPLAY="${DISPLAY:-}" BRELVO_WINE_DISPLAY="" "$wine_bin" "$demo/brelvo-proxy.exe" &
else
  "$demo/brelvo-proxy" &
fi
proxy=$!
pids+=("$proxy")
wait "$proxy"
