#!/usr/bin/env bash
# Builds for 64-bit Windows with the windows preset (mingw-w64) and runs the
# unit and whole-program tests under Wine, with Wine's prefix in the build
# folder; fails when a test fails. Extra ctest arguments pass through
# (e.g. -R extractor).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-windows
cmake --preset windows
cmake --build --preset windows -j2
# A new prefix takes seconds to make: made here, once and quietly, so that
# the first test does not time out making it.
export WINEPREFIX="$PWD/$build/wine-prefix" WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  "$wine" wineboot --init >/dev/null 2>&1
  "$wineserver" -w
fi
ctest --preset windows -j2 "$@"
