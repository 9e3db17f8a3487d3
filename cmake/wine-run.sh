#!/bin/sh
# Runs one cross-built Windows program under wine for CTest: quiet, on the
# run's private Xvfb display when BRELVO_WINE_DISPLAY names the file that
# wine-display.sh wrote (no display otherwise, never the machine's own), and
# with the prefix created on first use. The first start of a
# fresh prefix takes about 20 seconds; parallel tests wait for it under a lock
# instead of racing to create it.
#
#   wine-run.sh <wine64> <program.exe> [arguments...]
set -eu

wine="$1"
shift

: "${WINEPREFIX:=${HOME:-/tmp}/.wine-brelvo}"
: "${WINEDEBUG:=-all}"
# No Mono or Gecko installers (they would ask for a download), no windows.
: "${WINEDLLOVERRIDES:=mscoree,mshtml=}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$WINEPREFIX")"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot.exe --init >/dev/null 2>&1 || true
      # Wait for the first server to write the registry and exit.
      "$(dirname "$wine")/wineserver" -w 2>/dev/null || wineserver -w 2>/dev/null || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# The prefix is made without a display (much faster); the program gets one.
if [ -n "${BRELVO_WINE_DISPLAY:-}" ] && [ -s "$BRELVO_WINE_DISPLAY" ]; then
  DISPLAY="$(cat "$BRELVO_WINE_DISPLAY")"
  export DISPLAY
fi

exec "$wine" "$@"
