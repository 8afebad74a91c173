#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench) and runs them.
#
#   bash bench/run.sh [decoder|lookup|extract|mount|names|all] [flags for the benchmark program]
#
# Output also goes to $ORVEX_BENCH_DATA/PART.txt (default build-bench/bench-data).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${ORVEX_BENCH_BUILD:-$repo/build-bench}
data=${ORVEX_BENCH_DATA:-$build/bench-data}
part=${1:-all}
[[ $# -gt 0 ]] && shift

case $part in
  decoder | lookup | extract | mount | names | all) ;;
  *)
    echo "usage: bash bench/run.sh [decoder|lookup|extract|mount|names|all] [benchmark flags]" >&2
    exit 2
    ;;
esac

source "$repo/scripts/cmake_generator.sh"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DORVEX_BENCH=ON -DORVEX_TESTS=OFF >/dev/null
# Only what the part asked for, so that one benchmark that does not build
# does not stop the others.
targets=()
[[ $part == decoder || $part == all ]] && targets+=(orvex-bench-decoder)
[[ $part == lookup || $part == all ]] && targets+=(orvex-bench-lookup)
[[ $part == extract || $part == all ]] && targets+=(orvex-bench-tree orvex-bench-floor orvex-bench-decoding-floor orvex)
[[ ($part == extract || $part == all) && -d $repo/src/tool ]] && targets+=(orvex-tool)
[[ $part == mount || $part == all ]] && targets+=(orvex-bench-tree orvex-tool)
[[ $part == names || $part == all ]] && targets+=(orvex-bench-names)
if [[ " ${targets[*]} " == *" orvex-bench-decoder "* ]] &&
  ! cmake --build "$build" --target help | grep orvex-bench-decoder >/dev/null; then
  echo "decoder: the benchmark compares with LZ4, which was not found: apt-get install liblz4-dev" >&2
  exit 1
fi
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
mkdir -p "$data"

machine() {
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo);" \
    "$(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo); load $(cut -d' ' -f1-3 /proc/loadavg)"
}

# The commit measured, and whether the sources differed from it.
revision() {
  local dirty
  dirty=$(git -C "$repo" status --porcelain -- src CMakeLists.txt | wc -l)
  echo "commit $(git -C "$repo" rev-parse --short HEAD)$([[ $dirty -gt 0 ]] && echo ", $dirty files differ from it in src/ or CMakeLists.txt")"
}

run() {
  local name=$1
  shift
  echo "### $name — $(machine)"
  echo "### $(revision)"
  "$@" 2>&1 | tee "$data/$name.txt"
  echo
}

if [[ $part == decoder || $part == all ]]; then
  run decoder "$build/bench/orvex-bench-decoder" "$@"
fi
if [[ $part == lookup || $part == all ]]; then
  run lookup "$build/bench/orvex-bench-lookup" "$@"
fi
if [[ $part == names || $part == all ]]; then
  run names "$build/bench/orvex-bench-names" "$@"
fi
if [[ $part == mount || $part == all ]]; then
  run mount bash "$here/mount.sh"
fi
if [[ $part == extract || $part == all ]]; then
  if [[ -x $build/src/tool/orvex-tool ]]; then
    run extract bash "$here/extract.sh"
  else
    echo "### extract skipped: orvex-tool (src/tool) is not in this tree yet"
  fi
fi
