#!/usr/bin/env bash
# The results page in a real browser, on the real road: brelvo-feed replays
# a recording -> the proxy (native, or the Windows program under wine) ->
# our controller library -> brelvo-board. While the replay runs, headless
# Chromium (native, over loopback) opens the page; pagecheck.mjs checks the
# rows against the board's final table, the events' order and a page opened
# mid-session.
#
#   test_webpage.sh native <bin-dir> <recording> <webdriver-dir>
#   test_webpage.sh wine <bin-dir> <recording> <webdriver-dir> <native-bin> <wine-run.sh> <wine>
# BRELVO_SCREENSHOTS=<dir> also saves the TV and phone screenshots there.
# Exit 77 (skipped) with the reason when a piece is missing.
set -euo pipefail

kind="$1" bin="$2" recording="$3" driver="$4"
native_bin="${5:-$bin}" wine_run="${6:-}" wine="${7:-}"
here="$(cd "$(dirname "$0")" && pwd)"
speed=20  # race-gaps.feed's nine minutes in about 28 s
mode=1    # race

skip() { echo "SKIPPED: $*"; exit 77; }
[ -f "$recording" ] || skip "recording $recording is absent"
[ -x "${BRELVO_CHROMIUM:-/usr/bin/chromium}" ] || skip "no chromium (scripts/setup installs it)"
command -v node >/dev/null || skip "no node (scripts/setup installs it)"
[ -d "$driver/node_modules/playwright-core" ] || skip "no playwright-core in $driver (scripts/setup installs it)"
[ -x "$native_bin/brelvo-feed" ] && [ -x "$native_bin/brelvo-board" ] || skip "no brelvo-feed/brelvo-board in $native_bin"
if [ "$kind" = wine ]; then
  [ -n "${WINEPREFIX:-}" ] || skip "WINEPREFIX is not set (run through CTest)"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/brelvo-webpage.XXXXXX")"
# The board's link in a folder of this run's own, and a lock of its own: the
# programs of other tests running now stay theirs.
com=$((50 + $$ % 100))
mkdir -p "$work/com" && chmod 700 "$work/com"
export BRELVO_COM_LINKS="$work/com" BRELVO_INSTANCE="webpage-$$"
link="$BRELVO_COM_LINKS/COM$com"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ "$kind" = wine ] && rm -f "$WINEPREFIX/dosdevices/com$com"
  [ -n "${BRELVO_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
wait_for() {
  local limit=$(($(date +%s) + $1)); shift
  until "$@"; do
    [ "$(date +%s)" -lt "$limit" ] || return 1
    sleep 0.3
  done
}

# The recording ends under a yellow flag, when no table goes to the board; a
# last green heartbeat makes the end of the replay a table push.
cp "$recording" "$work/feed.rec"
printf '$F,9999,"00:00:00","10:36:41","02:36:41","Green "\r\n' >>"$work/feed.rec"

QT_QPA_PLATFORM=offscreen "$native_bin/brelvo-board" --pty "$com" --state "$work/board.json" \
  >"$work/board.log" 2>&1 &
pids+=($!)
wait_for 10 test -e "$link" || { echo "FAIL: the board never published $link"; exit 1; }

# Ports nobody holds now, never 8080: other programs may be testing too.
free_port() { node -e 'const s=require("net").createServer().listen(0,"127.0.0.1",()=>{console.log(s.address().port);s.close();})'; }
feed_port="$(free_port)"
web_port="$(free_port)"

mkdir -p "$work/program"
printf 'Host: 127.0.0.1\nPort: %s\nScoreboardMode:%s\nBrightness:9\nComPort:%s\nWebPort: %s\n' \
  "$feed_port" "$mode" "$com" "$web_port" >"$work/program/scoreboard.ini"
if [ "$kind" = wine ]; then
  mkdir -p "$WINEPREFIX/dosdevices"
  ln -sfn "$link" "$WINEPREFIX/dosdevices/com$com"
  cp "$bin/brelvo-proxy.exe" "$bin/scoreboardcontroller.dll" "$work/program/"
  "$wine_run" "$wine" "$work/program/brelvo-proxy.exe" >"$work/proxy.log" 2>&1 &
else
  cp "$bin/brelvo-proxy" "$bin/scoreboardcontroller.so" "$work/program/"
  # Its own single-instance lock, so that another test's proxy does not stop it.
  XDG_RUNTIME_DIR="$work" QT_QPA_PLATFORM=offscreen "$work/program/brelvo-proxy" >"$work/proxy.log" 2>&1 &
fi
pids+=($!)

up() { node -e "require('http').get('http://127.0.0.1:$web_port/results.json',r=>process.exit(r.statusCode===200?0:1)).on('error',()=>process.exit(1))"; }
wait_for 60 up || { echo "FAIL: the page was never served on port $web_port"; cat "$work/proxy.log"; exit 1; }

# The browser first, so that it sees the session from its start; the replay
# begins once it has the page (the proxy connects within its 6 s retry).
BRELVO_RECORDING="$work/feed.rec" BRELVO_WEBDRIVER="$(cd "$driver" && pwd)" node "$here/pagecheck.mjs" "http://127.0.0.1:$web_port" "$work/board.json" \
  "$work/feed.log" "$work/browser-ready" ${BRELVO_SCREENSHOTS:+"$BRELVO_SCREENSHOTS"} &
browser=$!
wait_for 120 test -e "$work/browser-ready" || { echo "FAIL: the browser never opened the page"; exit 1; }
"$native_bin/brelvo-feed" --port "$feed_port" --replay "$work/feed.rec" --speed "$speed" --wait-for-client \
  >"$work/feed.log" 2>&1 &
pids+=($!)
wait "$browser"
