#!/usr/bin/env bash
# Times `orvex-tool mount` against `orvex-tool extract` of the same disc into
# memory (/dev/shm), alternating, on the extraction benchmark's mixed tree:
# the time until the mount answers (from the command's start to the first
# stat of the mount point that shows the mounted file system), the time to
# read every file once through a fresh mount (cold cache; one reader per
# core, as extraction has a job per core), and the mount's peak memory
# after reading everything. Then one reader (every file once, in folder
# order, one process, as `cp -r` reads) through a fresh mount against a
# one-job extraction (ORVEX_JOBS=1), alternating with them.
#
#   bash bench/mount.sh        (bash bench/run.sh mount builds first)
#
# Environment: ORVEX_BENCH_SCALE, ORVEX_BENCH_RUNS, ORVEX_BENCH_DATA,
# ORVEX_BENCH_SHM and ORVEX_BENCH_BUILD as for extract.sh; ORVEX_BENCH_CACHE
# the mount's --cache-size (default 64M).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${ORVEX_BENCH_BUILD:-$repo/build-bench}
data=${ORVEX_BENCH_DATA:-$build/bench-data}/extract
shm=${ORVEX_BENCH_SHM:-/dev/shm/orvex-bench}
scale=${ORVEX_BENCH_SCALE:-1}
runs=${ORVEX_BENCH_RUNS:-5}
cache=${ORVEX_BENCH_CACHE:-64M}
tool=$build/src/tool/orvex-tool
tree=$build/bench/orvex-bench-tree

for bin in "$tool" "$tree"; do
  [[ -x $bin ]] || { echo "mount: $bin is missing; build first (bash bench/run.sh mount)" >&2; exit 1; }
done
"$tool" mount --help >/dev/null 2>&1 ||
  { echo "mount: $tool was built without libfuse3 (apt-get install libfuse3-dev)" >&2; exit 1; }

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
now() { date +%s%N; }
seconds() { awk -v s="$1" -v e="$2" 'BEGIN {printf "%.4f\n", (e - s) / 1e9}'; }

bytes=$(awk -v s="$scale" 'BEGIN {printf "%.0f", 268435456 * s}')
files=$(awk -v s="$scale" 'BEGIN {printf "%.0f", 3000 * s}')
dir=$data/mixed-mount
mkdir -p "$dir" "$shm"
if [[ ! -f $dir/disc.idx ]]; then
  "$tree" "$dir/tree" "$bytes" "$files" >"$dir/tree.txt"
  "$tool" pack "$dir/tree" "$dir/disc.img" "$dir/disc.idx" 2>/dev/null
fi
echo "mount benchmark: $(cat "$dir/tree.txt"); $runs runs of each, alternating; cache $cache"
largest=$(find "$dir/tree" -type f -printf '%s\n' | sort -g | tail -1)

point=$shm/mnt
out=$shm/out
mkdir -p "$point"
rm -f "$dir"/*.runs
for ((i = 0; i <= runs; i++)); do
  cat "$dir/disc.img" "$dir/disc.idx" >/dev/null
  rm -rf "$out"
  start=$(now)
  "$tool" extract -q -C "$out" "$dir/disc.img" "$dir/disc.idx"
  end=$(now)
  [[ $i -gt 0 ]] && seconds "$start" "$end" >>"$dir/extract.runs"

  cat "$dir/disc.img" "$dir/disc.idx" >/dev/null
  start=$(now)
  "$tool" mount --cache-size "$cache" "$dir/disc.img" "$dir/disc.idx" "$point"
  until [[ $(stat -f -c %T "$point") == fuseblk || $(stat -f -c %T "$point") == fuse ]]; do :; done
  answered=$(now)
  find "$point" -type f -print0 | xargs -0 -n 64 -P "$(nproc)" cat >/dev/null
  read=$(now)
  pid=$(pgrep -n -f "orvex-tool mount --cache-size $cache $dir/disc.img")
  peak=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
  fusermount3 -u "$point"
  if [[ $i -gt 0 ]]; then
    seconds "$start" "$answered" >>"$dir/answer.runs"
    seconds "$answered" "$read" >>"$dir/read.runs"
    echo "$peak" >>"$dir/peak.runs"
  fi

  cat "$dir/disc.img" "$dir/disc.idx" >/dev/null
  rm -rf "$out"
  start=$(now)
  ORVEX_JOBS=1 "$tool" extract -q -C "$out" "$dir/disc.img" "$dir/disc.idx"
  end=$(now)
  [[ $i -gt 0 ]] && seconds "$start" "$end" >>"$dir/extract1.runs"

  cat "$dir/disc.img" "$dir/disc.idx" >/dev/null
  "$tool" mount --cache-size "$cache" "$dir/disc.img" "$dir/disc.idx" "$point"
  until [[ $(stat -f -c %T "$point") == fuseblk || $(stat -f -c %T "$point") == fuse ]]; do :; done
  start=$(now)
  find "$point" -type f -print0 | xargs -0 cat >/dev/null
  read=$(now)
  fusermount3 -u "$point"
  [[ $i -gt 0 ]] && seconds "$start" "$read" >>"$dir/read1.runs"
done
rm -rf "$out"
rmdir "$point" "$shm" 2>/dev/null || true

e=$(median <"$dir/extract.runs")
a=$(median <"$dir/answer.runs")
r=$(median <"$dir/read.runs")
e1=$(median <"$dir/extract1.runs")
r1=$(median <"$dir/read1.runs")
p=$(sort -g "$dir/peak.runs" | tail -1)
echo "   medians of $runs (seconds):"
printf '   %-42s %8.4f\n' "extract -C /dev/shm, every core" "$e" \
  "mount answers" "$a" "every file read once through a fresh mount" "$r" \
  "extract -C /dev/shm, one job" "$e1" "the same, one reader in folder order" "$r1"
printf '   mount answers / extract: %.3f (target at most 0.1)\n' "$(awk -v a="$a" -v e="$e" 'BEGIN {print a / e}')"
printf '   read through the mount / extract: %.2f (target at most 2)\n' "$(awk -v r="$r" -v e="$e" 'BEGIN {print r / e}')"
printf '   one reader through the mount / one-job extract: %.2f (target at most 1.5)\n' \
  "$(awk -v r="$r1" -v e="$e1" 'BEGIN {print r / e}')"
cache_bytes=$(numfmt --from=iec "$cache")
printf '   peak memory of the mount %.1f MiB; bound max(cache, largest file %.1f MiB) + 32 MiB = %.1f MiB\n' \
  "$(awk -v p="$p" 'BEGIN {print p / 1024}')" "$(awk -v l="$largest" 'BEGIN {print l / 1048576}')" \
  "$(awk -v c="$cache_bytes" -v l="$largest" 'BEGIN {m = c > l ? c : l; print (m + 33554432) / 1048576}')"
