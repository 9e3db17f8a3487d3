#!/bin/sh
# The controller library's COM port under wine, on a real pseudo-terminal:
# socat joins two pseudo-terminals, wine sees them as two COM ports through
# "comN" links in the prefix's dosdevices folder, and the test program plays
# the board on one while the controller drives the other.
#
#   wine_com.sh <wine-run.sh> <wine> <controller_tests.exe>
set -eu
wine_run="$1"
wine="$2"
exe="$3"
: "${WINEPREFIX:=${HOME:-/tmp}/.wine-brelvo}"
export WINEPREFIX

# The first run creates the prefix (and its dosdevices folder).
"$wine_run" "$wine" "$exe" --gtest_list_tests > /dev/null

controller=$((40 + $$ % 40))
board=$((controller + 40))
devices="$WINEPREFIX/dosdevices"
rm -f "$devices/com$controller" "$devices/com$board"
socat pty,raw,echo=0,link="$devices/com$controller" pty,raw,echo=0,link="$devices/com$board" &
socat_pid=$!
trap 'kill $socat_pid 2>/dev/null || true; rm -f "$devices/com$controller" "$devices/com$board"' EXIT INT TERM
i=0
while [ ! -e "$devices/com$controller" ] || [ ! -e "$devices/com$board" ]; do
  i=$((i + 1))
  [ $i -lt 100 ] || { echo "wine_com.sh: socat made no pseudo-terminals" >&2; exit 1; }
  sleep 0.1
done
BRELVO_WINE_COM="$controller,$board" "$wine_run" "$wine" "$exe" --gtest_filter='WineComPort.*'
