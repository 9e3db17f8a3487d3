#!/usr/bin/env bash
# Every test of Brelvo Proxy in one command:
#   1. installs what the build needs (scripts/setup),
#   2. native Debug build, warnings as errors, and the whole CTest suite,
#   3. a bounded libFuzzer run of every fuzz target under ASan/UBSan,
#   4. the Windows cross build (mingw-w64) and its suite under wine.
# Options: --sanitizers also runs the suite under the asan and tsan presets;
#          --no-windows / --no-fuzz skip those steps (for quick local runs).
set -euo pipefail
cd "$(dirname "$0")"

sanitizers=0 windows=1 fuzz=1
for arg in "$@"; do
  case "$arg" in
    --sanitizers) sanitizers=1 ;;
    --no-windows) windows=0 ;;
    --no-fuzz) fuzz=0 ;;
    *) echo "test.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

jobs="${JOBS:-$(nproc)}"
step() { echo; echo "=== $* ==="; }

step setup
scripts/setup

step "native build (dev preset)"
cmake --preset dev
cmake --build --preset dev -j "$jobs"
ctest --preset dev

if [ "$sanitizers" = 1 ]; then
  for preset in asan tsan; do
    step "$preset build"
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
  step "Windows cross build, tests under wine"
  cmake --preset windows-cross
  cmake --build --preset windows-cross -j "$jobs"
  ctest --preset windows-cross
fi
