#!/usr/bin/env bash
# What the operator sees of the board maker's library, printed, never
# asserted: the Windows program of one build is started under wine on a
# private display with each kind of library beside it (none, ours, the other
# bitness, no DLL, no exports, no object); for each, the seconds from start
# to the window shown (wine's server already running) and status panel 0 as
# the window shows it.
#
#   bench/program/library-cases.sh windows-x86|windows-cross [screenshot.png]
# The screenshot, when asked for, is the status bar in the other-bitness case.
# Needs both Windows builds for the other-bitness case (the other build's
# stand-in DLL); without it a DLL header of the other bitness stands in.
set -euo pipefail
cd "$(dirname "$0")/../.."
root="$PWD"
preset="${1:?windows-x86 or windows-cross}"
shot="${2:-}"
case "$preset" in
  windows-x86) wine="$root/scripts/wine32" other=windows-cross ;;
  windows-cross) wine=/usr/lib/wine/wine64 other=windows-x86 ;;
  *) echo "library-cases: windows-x86 or windows-cross" >&2; exit 2 ;;
esac
bin="$root/build/$preset/bin"
for f in brelvo-proxy.exe scoreboardcontroller.dll cboardfake.dll brelvo_platform_testlib.dll test_windowsroad_probe.exe; do
  [ -f "$bin/$f" ] || { echo "library-cases: $bin/$f missing (cmake --build --preset $preset)" >&2; exit 1; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/brelvo-library.XXXXXX")"
export WINEPREFIX="$root/build/$preset/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
proxy=""
cleanup() {
  [ -n "$proxy" ] && kill "$proxy" 2>/dev/null || true
  wait 2>/dev/null || true
  "$root/cmake/wine-display.sh" stop "$work/display" /usr/lib/wine/wineserver64 >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
"$root/cmake/wine-display.sh" start "$work/display" /usr/lib/wine/wineserver64 >/dev/null
export BRELVO_WINE_DISPLAY="$work/display/display"
# The tracks run the Russian code page (1251); wine takes it from the locale name.
run() { LC_ALL=ru_RU.UTF-8 "$root/cmake/wine-run.sh" "$wine" "$@"; }
probe() { run "$work/program/test_windowsroad_probe.exe" status 2>/dev/null | tr -d '\r'; }

other_dll="$root/build/$other/bin/scoreboardcontroller.dll"
place() {  # case -> the program folder's scoreboardcontroller.dll
  local dll="$work/program/scoreboardcontroller.dll"
  unset CBOARDFAKE_CREATE_NOTHING
  case "$1" in
    absent) ;;
    ours) cp "$bin/scoreboardcontroller.dll" "$dll" ;;
    other-bitness)
      if [ -f "$other_dll" ]; then cp "$other_dll" "$dll"; else
        # MZ, the PE header at 0x80, the other machine, IMAGE_FILE_DLL.
        machine='\x4c\x01'; [ "$preset" = windows-x86 ] && machine='\x64\x86'
        { printf 'MZ'; head -c 58 /dev/zero; printf '\x80\0\0\0'; head -c 64 /dev/zero
          printf "PE\0\0$machine"; head -c 16 /dev/zero; printf '\0\x20'; head -c 256 /dev/zero; } >"$dll"
      fi ;;
    not-a-dll) echo "not a library" >"$dll" ;;
    no-exports) cp "$bin/brelvo_platform_testlib.dll" "$dll" ;;
    no-object) cp "$bin/cboardfake.dll" "$dll"; export CBOARDFAKE_CREATE_NOTHING=1 ;;
  esac
}

echo "$preset under $("$wine" --version 2>/dev/null || echo wine)"
printf '%-14s %8s  %s\n' case "start->window s" "status panel 0"
run cmd.exe /c exit >/dev/null 2>&1 || true  # the prefix exists before the first timing
for kind in absent ours other-bitness not-a-dll no-exports no-object; do
  rm -rf "$work/program" && mkdir -p "$work/program"
  cp "$bin/brelvo-proxy.exe" "$bin/test_windowsroad_probe.exe" "$work/program/"
  printf 'ComPort:250\n' >"$work/program/scoreboard.ini"
  place "$kind"
  started=$(date +%s.%N)
  # Not through run(): the pid must be the program's.
  LC_ALL=ru_RU.UTF-8 "$root/cmake/wine-run.sh" "$wine" "$work/program/brelvo-proxy.exe" >"$work/proxy.log" 2>&1 &
  proxy=$!
  status=""
  for _ in $(seq 300); do
    status="$(probe)" || true
    [ -n "$status" ] && break
    sleep 0.1
  done
  shown=$(date +%s.%N)
  # The window exists a moment before its start has filled the panel.
  sleep 1
  status="$(probe)" || true
  printf '%-14s %8.2f  %s\n' "$kind" "$(echo "$shown - $started" | bc)" "${status:-(no window)}"
  if [ "$kind" = other-bitness ] && [ -n "$shot" ]; then
    sleep 1
    DISPLAY="$(cat "$BRELVO_WINE_DISPLAY")" import -window root "$work/screen.png"
    # The window's bottom edge: the status bar.
    geometry="$(DISPLAY="$(cat "$BRELVO_WINE_DISPLAY")" xdotool search --name '^Brelvo Proxy$' getwindowgeometry --shell | head -5)"
    eval "$geometry"
    convert "$work/screen.png" -crop "${WIDTH}x60+${X}+$((Y + HEIGHT - 60))" +repage "$shot"
    echo "status bar -> $shot"
  fi
  kill "$proxy" 2>/dev/null || true
  wait "$proxy" 2>/dev/null || true
  proxy=""
  # Gone for good, or the next start would find this copy still running.
  for _ in $(seq 100); do
    [ -z "$(probe || true)" ] && break
    sleep 0.1
  done
done
