#!/usr/bin/env bash
# Every test of Brelvo Proxy in one command (CI runs exactly this):
#   1. installs what the build needs (scripts/setup),
#   2. native Debug build, warnings as errors, and the whole CTest suite,
#   3. the toolkit-free suites under AddressSanitizer/UBSan and ThreadSanitizer,
#   4. a bounded libFuzzer run of every fuzz target under ASan/UBSan,
#   5. the two Windows cross builds (mingw-w64): the 64-bit program under
#      wine64 and the 32-bit one under 32-bit wine (scripts/wine32), each
#      with its whole suite (the window and the whole road included) and its
#      zip for the operators (win64, win32).
# For quick local runs only: --no-sanitizers, --no-fuzz, --no-windows skip a step.
set -euo pipefail
cd "$(dirname "$0")"

sanitizers=1 windows=1 fuzz=1
for arg in "$@"; do
  case "$arg" in
    --no-sanitizers) sanitizers=0 ;;
    --no-windows) windows=0 ;;
    --no-fuzz) fuzz=0 ;;
    *) echo "test.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

jobs="${JOBS:-$(nproc)}"
started=$SECONDS
step() { echo; echo "=== $* ($(( (SECONDS - started) / 60 )) min in) ==="; }

step setup
scripts/setup

# First, because the Windows road test takes the native feed simulator and
# virtual board from this build.
step "native build (dev preset)"
cmake --preset dev
cmake --build --preset dev -j "$jobs"
ctest --preset dev

if [ "$sanitizers" = 1 ]; then
  for preset in asan tsan; do
    step "$preset build (toolkit-free suites)"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset"
  done
fi

if [ "$fuzz" = 1 ]; then
  step "fuzzing (bounded)"
  cmake --preset fuzz
  cmake --build --preset fuzz -j "$jobs"
  fuzz/run build/fuzz "${FUZZ_SECONDS:-30}"
fi

if [ "$windows" = 1 ]; then
  for preset in windows-cross windows-x86; do
    step "Windows cross build $preset, tests under wine, the zip"
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset"
    cpack --preset "$preset"
    # Our stand-in never lands where the board maker's library lives.
    files="$(cmake -E tar tf build/"$preset"/brelvo-proxy-*-win??.zip)"
    grep -q '/virtual-board/scoreboardcontroller\.dll$' <<<"$files" &&
      ! grep -q '^[^/]*/scoreboardcontroller\.dll$' <<<"$files" ||
      { echo "test.sh: the $preset zip holds scoreboardcontroller.dll beside the program:"; echo "$files"; exit 1; }
    # One top folder, the same for every version, so an upgrade unzips over
    # the old one (the name has blanks and parentheses: fixed-string match).
    if [ "$preset" = windows-x86 ]; then folder="Brelvo Proxy (32-bit)/"; else folder="Brelvo Proxy (64-bit)/"; fi
    grep -qF -x "${folder}brelvo-proxy.exe" <<<"$files" && ! grep -vqF "$folder" <<<"$files" ||
      { echo "test.sh: the $preset zip's files are not all in \"$folder\":"; echo "$files"; exit 1; }
  done
fi
step "all passed"
