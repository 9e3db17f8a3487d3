#!/usr/bin/env bash
# The program's start and end with the real program and a replayed feed.
# Every way the program ends must keep the day's settings and every byte the
# feed sent (the archive without its stamp lines is the feed's bytes), and
# end within a few seconds even when the board library hangs; a second start
# shows the first copy's window, also while the first is still starting, and
# a start while the first is ending runs as the program once it has ended.
#
#   test_programlife.sh native <bin> <recording>
#   test_programlife.sh wine <windows-bin> <recording> <wine-run.sh> <wine> <native-bin>
#
# Prints the figures (bytes, end times, the settings file after each end).
# Exit 77 (skipped) with the reason when a piece is missing.
set -euo pipefail

kind="$1" bin="$2" recording="$3"
skip() { echo "SKIPPED: $*"; exit 77; }
[ -f "$recording" ] || skip "recording $recording is absent"
if [ "$kind" = wine ]; then
  wine_run="$4" wine="$5" native_bin="$6"
  [ -n "${WINEPREFIX:-}" ] || skip "WINEPREFIX is not set (run through CTest)"
  [ -x "$native_bin/brelvo-feed" ] || skip "no native brelvo-feed in $native_bin (build the dev preset first)"
  exe=.exe lib=dll feed_bin="$native_bin"
else
  exe= lib=so feed_bin="$bin"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/brelvo-life.XXXXXX")"
mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen
# A lock of this run's own: other tests run programs at the same time.
export BRELVO_INSTANCE="life-$$"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [ -n "${BRELVO_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
wait_for() {
  local limit=$(($(date +%s) + $1)); shift
  until "$@"; do
    [ "$(date +%s)" -lt "$limit" ] || return 1
    sleep 0.2
  done
}
run() { if [ "$kind" = wine ]; then "$wine_run" "$wine" "$@"; else "$@"; fi; }
probe() { "$wine_run" "$wine" "$bin/test_windowsroad_probe.exe" "$@" 2>/dev/null | tr -d '\r'; }
# An archive file without its stamp lines.
unstamped() { perl -0777 -pe 's/##\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\n//g' "$1"; }

# program <folder> <controller library file>: a program folder as shipped.
program() {
  mkdir -p "$work/$1"
  cp "$bin/brelvo-proxy$exe" "$work/$1/"
  cp "$bin/$2" "$work/$1/scoreboardcontroller.$lib"
}
settings() { printf 'Host: 127.0.0.1\nPort: %s\nScoreboardMode:1\nBrightness:9\nComPort:7\nWebPort: 0\n' "$2" \
  >"$work/$1/scoreboard.ini"; }
# start <folder> [VAR=value...]: the program, its pid in $proxy.
start() {
  local folder="$1"; shift
  env "$@" bash -c 'exec "$0" "$@"' $(run_words) "$work/$folder/brelvo-proxy$exe" >"$work/$folder.log" 2>&1 &
  proxy=$!
  pids+=("$proxy")
}
run_words() { if [ "$kind" = wine ]; then echo "$wine_run $wine"; fi; }
# ended <pid> <seconds>: the process is gone within the time; sets $code, $took.
ended() {
  local begin=$(date +%s%N)
  wait_for "$2" bash -c "! kill -0 $1 2>/dev/null" || return 1
  code=0; wait "$1" 2>/dev/null || code=$?
  took=$(( ($(date +%s%N) - begin) / 1000000 ))
}
# feed: a replay of the recording to the first client; its port in $port,
# what it sent in $work/sent-$1.
feed() {
  "$feed_bin/brelvo-feed" --port 0 --replay "$recording" --speed 1000 --wait-for-client \
    --record "$work/sent-$1" >"$work/feed-$1.log" 2>&1 &
  pids+=($!)
  wait_for 10 grep -qs "listening on 127.0.0.1:" "$work/feed-$1.log" || fail "the feed never listened"
  port="$(grep -o 'listening on 127.0.0.1:[0-9]*' "$work/feed-$1.log" | head -1 | sed 's/.*://')"
}
# check_end <folder> <case> <brightness>: the settings and the archive after an end.
check_end() {
  local folder="$1" case="$2" brightness="$3" file
  [ -f "$work/$folder/scoreboard.ini" ] || fail "$case: no settings file after the end"
  grep -q "^Brightness:$brightness"$'\r'"\?$" "$work/$folder/scoreboard.ini" ||
    fail "$case: the settings file lost the brightness: $(cat "$work/$folder/scoreboard.ini")"
  file="$(ls "$work/$folder/Archive/"*.feed 2>/dev/null | head -1)"
  [ -n "$file" ] || fail "$case: nothing in Archive"
  # The feed repeats its heartbeat after its last line: one it sent as the
  # program was ending never arrived. Everything before it is in the archive.
  local archived
  archived="$(unstamped "$file" | wc -c)"
  { cmp -s <(unstamped "$file") <(head -c "$archived" "$work/sent-$folder") &&
    ! tail -c +"$((archived + 1))" "$work/sent-$folder" | tr -d '\r' | grep -qv '^\$F,'; } ||
    fail "$case: the archive holds $archived of the feed's $(wc -c <"$work/sent-$folder") bytes"
  echo "$case: ended with $code in $took ms; archive $(wc -c <"$file") bytes, without its stamps" \
    "$(unstamped "$file" | wc -c) = the feed's $(wc -c <"$work/sent-$folder") bytes"
  echo "$case: scoreboard.ini after the end: $(tr -d '\r' <"$work/$folder/scoreboard.ini" | tr '\n' ' ')"
}

# The road until the feed is done; the settings file is then taken away, so
# only the end can bring it back.
session() {
  program "$1" "scoreboardcontroller.$lib"
  feed "$1"
  settings "$1" "$port"
  start "$1"
  wait_for 60 grep -qs "^done" "$work/feed-$1.log" || fail "$1: the feed did not finish: $(cat "$work/feed-$1.log")"
  # The last receive reaches the program.
  sleep 1
  rm -f "$work/$1/scoreboard.ini"
}

if [ "$kind" = native ]; then
  session term
  kill -TERM "$proxy"
  ended "$proxy" 15 || fail "SIGTERM: the program did not end"
  [ "$code" = 0 ] || fail "SIGTERM: exit code $code"
  check_end term "SIGTERM" 9

  session hup
  kill -HUP "$proxy"
  ended "$proxy" 15 || fail "SIGHUP: the program did not end"
  [ "$code" = 0 ] || fail "SIGHUP: exit code $code"
  check_end hup "SIGHUP" 9
else
  session exit
  probe brightness 7 || fail "no window to move the brightness in"
  probe exit || fail "no window for \"Выход\""
  ended "$proxy" 30 || fail "\"Выход\": the program did not end"
  [ "$code" = 0 ] || fail "\"Выход\": exit code $code"
  check_end exit "\"Выход\"" 7

  session session-end
  probe brightness 5 || fail "no window to move the brightness in"
  "$wine_run" "$wine" wineboot.exe --end-session >/dev/null 2>&1 || true
  ended "$proxy" 30 || fail "session end: the program did not end"
  check_end session-end "session end (wineboot --end-session)" 5
fi

# A board library that hangs when its port is closed: the end goes on
# without it, within a few seconds. A start meanwhile (the first is still
# ending, its lock still held) waits for it and then runs as the program.
program hang "cboardfake.$lib"
settings hang 1
start hang CBOARDFAKE_DELETE_HANGS=1
first=$proxy
sleep 3
if [ "$kind" = native ]; then kill -TERM "$first"; else probe exit || fail "no window for \"Выход\""; fi
sleep 1
start hang
second=$proxy
ended "$first" 20 || fail "a hanging board library held the end"
[ "$code" = 0 ] || fail "hanging library: exit code $code"
echo "hanging board library: the program ended with $code in $took ms after the end began"
sleep 6
kill -0 "$second" 2>/dev/null || fail "a start during the end did not run: $(cat "$work/hang.log")"
if [ "$kind" = native ]; then
  grep -q "the first one ended; this one runs" "$work/hang.log" || fail "no take-over: $(cat "$work/hang.log")"
fi
echo "start while the first was ending: runs as the program once the first has ended"
if [ "$kind" = native ]; then kill -TERM "$second"; else probe exit || true; fi
ended "$second" 20 || fail "the second copy did not end"

# A second start while the first is still in FormCreate (its board library
# takes 3 s to make its controller): the second waits for the answer, ends 0.
program slow "cboardfake.$lib"
settings slow 1
start slow CBOARDFAKE_CREATE_MS=3000
first=$proxy
sleep 1
begin=$(date +%s%N)
second=0
timeout 30 $(run_words) "$work/slow/brelvo-proxy$exe" >"$work/second.log" 2>&1 || second=$?
[ "$second" = 0 ] || fail "a second copy during the first's start ended with $second"
kill -0 "$first" 2>/dev/null || fail "the first copy ended with the second"
if [ "$kind" = native ]; then
  grep -q "showed its window" "$work/second.log" || fail "the second copy got no answer: $(cat "$work/second.log")"
fi
echo "second copy during the first's start: ended 0 after $(( ($(date +%s%N) - begin) / 1000000 )) ms," \
  "$(grep -o 'second copy: .*' "$work/second.log" || echo 'answered')"

if [ "$kind" = native ]; then kill -TERM "$first"; else probe exit || fail "no window for \"Выход\""; fi
ended "$first" 20 || fail "the first copy did not end"
echo "OK"
