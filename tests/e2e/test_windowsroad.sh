#!/usr/bin/env bash
# The whole road on the Windows build: brelvo-feed (native) replays a
# recording over loopback TCP -> brelvo-proxy.exe and our
# scoreboardcontroller.dll under wine -> a COM port that wine maps to the
# virtual board's pseudo-terminal (dosdevices/comN) -> brelvo-board (native).
# The board must end with the replayed standings; a board that goes away and
# comes back must show in the status bar. Then brelvo-feed.exe (under wine)
# replays the session from the proxy's own Archive into a second run, and
# the board must end with the same standings again.
#
#   test_windowsroad.sh <wine-run.sh> <wine> <windows-bin> <native-bin> <recording>
# Exit 77 (skipped) with the reason when a piece is missing.
set -euo pipefail

wine_run="$1" wine="$2" win_bin="$3" native_bin="$4" recording="$5"
mode=1  # race

skip() { echo "SKIPPED: $*"; exit 77; }
[ -x "$native_bin/brelvo-feed" ] && [ -x "$native_bin/brelvo-board" ] ||
  skip "no native brelvo-feed/brelvo-board in $native_bin (build the dev preset first)"
[ -f "$recording" ] || skip "recording $recording is absent"
[ -n "${WINEPREFIX:-}" ] || skip "WINEPREFIX is not set (run through CTest)"

work="$(mktemp -d "${TMPDIR:-/tmp}/brelvo-winroad.XXXXXX")"
com=$((150 + $$ % 100))
# The board's link in a folder of this run's own; a lock of its own.
mkdir -p "$work/com" && chmod 700 "$work/com"
export BRELVO_COM_LINKS="$work/com" BRELVO_INSTANCE="winroad-$$"
link="$BRELVO_COM_LINKS/COM$com"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/com$com"
  [ -n "${BRELVO_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

wine() { "$wine_run" "$wine" "$@"; }
probe() { wine "$win_bin/test_windowsroad_probe.exe" "$@" 2>/dev/null | tr -d '\r'; }
board_rows() {
  jq -r '.rows[] | "row \(.row): #\(.number) \"\(.name)\" best \(.bestLapTime) last \(.lastLapTime) laps \(.laps) total \(.totalTime) gap \(.raceGap) bestGap \(.bestLapGap)"' \
    "$work/board.json" 2>/dev/null || true
}
# wait_for <seconds> <command...>: polls until the command succeeds.
wait_for() {
  local limit=$(($(date +%s) + $1)); shift
  until "$@"; do
    [ "$(date +%s)" -lt "$limit" ] || return 1
    sleep 0.5
  done
}

# The recording ends under a yellow flag, when no table goes to the board; a
# last green heartbeat makes the end of the replay a table push.
cp "$recording" "$work/feed.rec"
printf '$F,9999,"00:00:00","10:36:41","02:36:41","Green "\r\n' >>"$work/feed.rec"
recording="$work/feed.rec"
# What the board must end with, from the proxy's own parser and table.
probe expect "Z:$recording" "$mode" >"$work/expected.txt"
[ -s "$work/expected.txt" ] || { echo "FAIL: no expected rows from the recording"; exit 1; }

start_board() {
  QT_QPA_PLATFORM=offscreen "$native_bin/brelvo-board" --pty "$com" --state "$work/board.json" \
    --heartbeat-ms 200 >>"$work/board.log" 2>&1 &
  board=$!
  pids+=("$board")
  wait_for 10 test -e "$link" || { echo "FAIL: the board never published $link"; cat "$work/board.log"; exit 1; }
}
start_board
# Wine opens COMn through this link; the link follows the board's current
# pseudo-terminal, so a restarted board is found again.
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$link" "$WINEPREFIX/dosdevices/com$com"

"$native_bin/brelvo-feed" --port 0 --replay "$recording" --speed 1000 --wait-for-client \
  >"$work/feed.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q "listening on 127.0.0.1:" "$work/feed.log" || { echo "FAIL: the feed never listened"; exit 1; }
port="$(grep -o 'listening on 127.0.0.1:[0-9]*' "$work/feed.log" | head -1 | sed 's/.*://')"

mkdir -p "$work/program"
cp "$win_bin/brelvo-proxy.exe" "$win_bin/scoreboardcontroller.dll" "$work/program/"
printf 'Host: 127.0.0.1\nPort: %s\nScoreboardMode:%s\nBrightness:9\nComPort:%s\nWebPort: 0\n' "$port" "$mode" "$com" \
  >"$work/program/scoreboard.ini"
# Directly, not through the shell function: the pid must be the program's.
"$wine_run" "$wine" "$work/program/brelvo-proxy.exe" >"$work/proxy.log" 2>&1 &
proxy=$!
pids+=("$proxy")

wait_for 60 grep -q "done" "$work/feed.log" || { echo "FAIL: the feed did not finish"; cat "$work/feed.log"; exit 1; }
# A second copy ends at once with exit code 0 and leaves the first running.
second=0
timeout 60 "$wine_run" "$wine" "$work/program/brelvo-proxy.exe" >/dev/null 2>&1 || second=$?
[ "$second" = 0 ] || { echo "FAIL: a second copy ended with $second"; exit 1; }
kill -0 "$proxy" 2>/dev/null || { echo "FAIL: the first copy ended with the second"; exit 1; }

board_matches() { [ "$(board_rows)" = "$(cat "$work/expected.txt")" ]; }
if ! wait_for 20 board_matches; then
  echo "FAIL: the board's table is not the replayed standings (< expected, > board)"
  diff <(cat "$work/expected.txt") <(board_rows) | grep '^[<>]' | sort -k3,3n -s | head -20 || true
  echo "board: $(tail -3 "$work/board.log")"
  exit 1
fi
echo "board shows the replayed standings ($(wc -l <"$work/expected.txt") rows)"

status_is() { case "$(probe status)" in "$1"*) return 0 ;; *) return 1 ;; esac; }
wait_for 20 status_is "Табло подключено (" || { echo "FAIL: status '$(probe status)', not connected"; exit 1; }

kill "$board"; wait "$board" 2>/dev/null || true
wait_for 30 status_is "Табло отключено" || { echo "FAIL: status '$(probe status)' after the board went"; exit 1; }
echo "board gone: $(probe status)"
start_board
wait_for 30 status_is "Табло подключено (" || { echo "FAIL: status '$(probe status)' after the board came back"; exit 1; }
echo "board back: $(probe status)"

# The proxy recorded the session; the Windows replayer plays it back from
# Archive into a fresh program folder, onto a fresh board.
archive_file="$(ls "$work/program/Archive/"*.feed 2>/dev/null | head -1)"
[ -n "$archive_file" ] || { echo "FAIL: nothing was recorded in Archive"; exit 1; }
echo "recorded: $(basename "$archive_file"), $(wc -c <"$archive_file") bytes"
kill "$proxy"; wait "$proxy" 2>/dev/null || true
kill "$board"; wait "$board" 2>/dev/null || true
rm -f "$work/board.json"
start_board
"$wine_run" "$wine" "$win_bin/brelvo-feed.exe" --port 0 --replay "Z:$archive_file" --speed 1000 --wait-for-client \
  >"$work/replay.log" 2>&1 &
pids+=($!)
wait_for 60 grep -q "listening on 127.0.0.1:" "$work/replay.log" ||
  { echo "FAIL: brelvo-feed.exe never listened"; cat "$work/replay.log"; exit 1; }
port="$(grep -o 'listening on 127.0.0.1:[0-9]*' "$work/replay.log" | head -1 | sed 's/.*://')"
mkdir -p "$work/replayed"
cp "$win_bin/brelvo-proxy.exe" "$win_bin/scoreboardcontroller.dll" "$work/replayed/"
printf 'Host: 127.0.0.1\nPort: %s\nScoreboardMode:%s\nBrightness:9\nComPort:%s\n' "$port" "$mode" "$com" \
  >"$work/replayed/scoreboard.ini"
"$wine_run" "$wine" "$work/replayed/brelvo-proxy.exe" >"$work/proxy2.log" 2>&1 &
pids+=($!)
wait_for 60 grep -q "done" "$work/replay.log" || { echo "FAIL: the replay did not finish"; cat "$work/replay.log"; exit 1; }
if ! wait_for 20 board_matches; then
  echo "FAIL: the archive's replay left other standings on the board (< expected, > board)"
  diff <(cat "$work/expected.txt") <(board_rows) | grep '^[<>]' | sort -k3,3n -s | head -20 || true
  exit 1
fi
echo "the archive replayed by brelvo-feed.exe gives the same standings"
