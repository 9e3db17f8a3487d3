#!/bin/sh
# A private X display for one CTest run of the Windows suite: wine creates no
# window without a display, and the tests must never use the machine's own.
# CTest runs "start" before the first wine test and "stop" after the last
# (a fixture); wine-run.sh reads the display number from the state folder.
#
#   wine-display.sh start|stop <state-folder> <wineserver>
set -eu

action="$1" state="$2" wineserver="$3"
mkdir -p "$state"

stop() {
  # Wine programs keep a connection to the display through the wine server;
  # end them before the display goes.
  if [ -n "${WINEPREFIX:-}" ]; then "$wineserver" -k 2>/dev/null || true; fi
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid"
  fi
  rm -f "$state/display"
}

case "$action" in
  start)
    stop
    rm -f "$state/displayfd"
    # -displayfd picks a free display number and writes it once the server
    # accepts connections; setsid and closed streams keep CTest from waiting
    # on the server's output.
    setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
      3>"$state/displayfd" </dev/null >"$state/xvfb.log" 2>&1 &
    echo $! >"$state/xvfb.pid"
    for _ in $(seq 100); do
      if [ -s "$state/displayfd" ]; then
        echo ":$(tr -d '\n' <"$state/displayfd")" >"$state/display"
        echo "wine-display: Xvfb on $(cat "$state/display")"
        exit 0
      fi
      sleep 0.1
    done
    echo "wine-display: Xvfb did not start:" >&2
    cat "$state/xvfb.log" >&2
    exit 1
    ;;
  stop) stop ;;
  *) echo "wine-display.sh: start or stop" >&2; exit 2 ;;
esac
