#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix of the build's own: the
# nearest build folder above the program (the one holding CMakeCache.txt),
# else $WINEPREFIX, else ~/.wine. Wine's own chatter is kept quiet.
set -euo pipefail
program=$1
dir=$(cd "$(dirname "$program")" && pwd)
while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
if [ -f "$dir/CMakeCache.txt" ]; then export WINEPREFIX="$dir/wine-prefix"; fi
export WINEDEBUG=${WINEDEBUG:--all}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || wine=/usr/lib/wine/wine64
exec "$wine" "$@"
