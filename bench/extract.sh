#!/usr/bin/env bash
# Times `orvex IMAGE INDEX` against `tar -xf` of the same tree, at full size
# and at a quarter of it, and prints medians, ratios and orvex's peak memory.
#
#   bash bench/extract.sh
#
# Environment:
#   ORVEX_BENCH_SCALE  size factor (default 1: about 1 GiB and 20,000 files)
#   ORVEX_BENCH_RUNS   timed runs of each tool per size (default 5)
#   ORVEX_BENCH_DATA   where trees, images, tars and outputs go (default /work/bench-data)
#   ORVEX_BENCH_BUILD  build directory holding the binaries (default build-bench)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${ORVEX_BENCH_BUILD:-$repo/build-bench}
data=${ORVEX_BENCH_DATA:-/work/bench-data}/extract
scale=${ORVEX_BENCH_SCALE:-1}
runs=${ORVEX_BENCH_RUNS:-5}

orvex=$build/src/app/orvex
tool=$build/src/tool/orvex-tool
tree=$build/bench/orvex-bench-tree
timer=/usr/bin/time

for bin in "$orvex" "$tool" "$tree"; do
  if [[ ! -x $bin ]]; then
    echo "extract: $bin is missing; build first (bash bench/run.sh builds it)" >&2
    exit 1
  fi
done
if [[ ! -x $timer ]]; then
  echo "extract: $timer is missing (apt-get install time); peak memory is not measured" >&2
  timer=""
fi

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
mib() { awk -v b="$1" 'BEGIN {printf "%.1f MiB", b / 1048576}'; }
now() { date +%s%N; }

# Reads files so that they are in the page cache. The machine pages out
# memory left untouched for a minute or so, so inputs are read again right
# before every timed run rather than only once.
warm() { cat "$@" >/dev/null; }

# Runs a command in a fresh, empty folder; prints its wall time in seconds.
# Clearing the folder, flushing earlier writes and reading the inputs (the
# colon-separated list in the fourth argument) stay outside the timing. The
# peak RSS in KiB and the CPU seconds (user + system) are appended to the
# files named by the third argument plus .rss and .cpu.
timed() {
  local out=$1 log=$2 stats=$3 inputs=$4
  shift 4
  rm -rf "$out"
  mkdir -p "$out"
  sync
  local files
  IFS=: read -ra files <<<"$inputs"
  warm "${files[@]}"
  local start end
  start=$(now)
  if [[ -n $timer ]]; then
    (cd "$out" && "$timer" -v -o "$log.time" "$@" >/dev/null 2>"$log")
    awk -F': ' '/Maximum resident set size/ {print $2}' "$log.time" >>"$stats.rss"
    awk -F': ' '/User time|System time/ {t += $2} END {print t}' "$log.time" >>"$stats.cpu"
  else
    (cd "$out" && "$@" >/dev/null 2>"$log")
  fi
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN {printf "%.3f\n", (e - s) / 1e9}'
}

# bench LABEL BYTES FILES: prints the figures for one size and leaves the
# orvex medians in $dir/orvex.median (wall) and $dir/orvex.cpu.median.
bench() {
  local label=$1 bytes=$2 files=$3
  local dir=$data/$label
  local src=$dir/tree img=$dir/disc.img idx=$dir/disc.idx tarball=$dir/tree.tar
  mkdir -p "$dir"

  echo "== extract, $label: $(mib "$bytes"), $files files requested =="
  # The tree and its tar are kept between runs while the generator and the
  # size stay the same; the image is always packed anew with today's packer.
  local stamp
  stamp="$bytes $files $(cat "$here/make_tree.cpp" "$here/content.cpp" "$here/rng.h" | md5sum)"
  if [[ ! -f $dir/stamp || $(cat "$dir/stamp") != "$stamp" ]]; then
    rm -rf "$src" "$tarball" "$dir/stamp"
    "$tree" "$src" "$bytes" "$files" >"$dir/tree.txt"
    tar -cf "$tarball" -C "$src" .
    echo "$stamp" >"$dir/stamp"
  fi
  echo "tree: $(cat "$dir/tree.txt")"

  local start end
  start=$(now)
  "$tool" pack "$src" "$img" "$idx" --auto
  end=$(now)
  echo "image $(mib "$(stat -c %s "$img")"), index $(stat -c %s "$idx") bytes, tar $(mib "$(stat -c %s "$tarball")");" \
    "packed in $(awk -v s="$start" -v e="$end" 'BEGIN {printf "%.1f", (e - s) / 1e9}') s (orvex-tool pack --auto)"

  # Warm-up: one run of each reads every input into the page cache, and the
  # orvex output is checked against the tree.
  local orvexOut=$dir/out-orvex tarOut=$dir/out-tar
  timed "$orvexOut" "$dir/orvex.log" "$dir/warmup" "$img:$idx" "$orvex" "$img" "$idx" >/dev/null
  if ! diff -rq "$src" "$orvexOut" >"$dir/diff.txt"; then
    echo "extract: orvex output differs from the tree (see $dir/diff.txt, $dir/orvex.log)" >&2
    exit 1
  fi
  timed "$tarOut" "$dir/tar.log" "$dir/warmup" "$tarball" tar -xf "$tarball" >/dev/null

  : >"$dir/orvex.times"
  : >"$dir/tar.times"
  : >"$dir/ratios"
  rm -f "$dir"/{orvex,tar,warmup}.{rss,cpu}
  printf '  run   orvex s     tar s  orvex/tar\n'
  local i o t
  for ((i = 1; i <= runs; i++)); do
    o=$(timed "$orvexOut" "$dir/orvex.log" "$dir/orvex" "$img:$idx" "$orvex" "$img" "$idx")
    t=$(timed "$tarOut" "$dir/tar.log" "$dir/tar" "$tarball" tar -xf "$tarball")
    echo "$o" >>"$dir/orvex.times"
    echo "$t" >>"$dir/tar.times"
    awk -v o="$o" -v t="$t" 'BEGIN {print o / t}' >>"$dir/ratios"
    printf '  %3d  %8.3f  %8.3f  %9.3f\n' "$i" "$o" "$t" "$(tail -1 "$dir/ratios")"
  done
  rm -rf "$orvexOut" "$tarOut"

  local om tm ratio
  om=$(median <"$dir/orvex.times")
  tm=$(median <"$dir/tar.times")
  ratio=$(median <"$dir/ratios")
  echo "$om" >"$dir/orvex.median"
  [[ -n $timer ]] && median <"$dir/orvex.cpu" >"$dir/orvex.cpu.median"
  printf 'median of %d: orvex %.3f s, tar %.3f s; median ratio orvex/tar %.3f\n' "$runs" "$om" "$tm" "$ratio"
  if [[ -n $timer ]]; then
    printf 'median CPU time (user + system): orvex %.3f s, tar %.3f s\n' \
      "$(median <"$dir/orvex.cpu")" "$(median <"$dir/tar.cpu")"
    printf 'peak RSS (largest of %d runs): orvex %s, tar %s\n' "$runs" \
      "$(sort -g "$dir/orvex.rss" | tail -1 | awk '{printf "%.1f MiB", $1 / 1024}')" \
      "$(sort -g "$dir/tar.rss" | tail -1 | awk '{printf "%.1f MiB", $1 / 1024}')"
  fi
  echo
}

fullBytes=$(awk -v s="$scale" 'BEGIN {printf "%.0f", 1073741824 * s}')
fullFiles=$(awk -v s="$scale" 'BEGIN {printf "%.0f", 20000 * s}')

echo "extract benchmark: scale $scale, $runs timed runs of each tool per size, alternating;"
echo "inputs read into the page cache and earlier writes synced before every run (untimed),"
echo "one untimed run of each first."
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
bench full "$fullBytes" "$fullFiles"
bench quarter $((fullBytes / 4)) $((fullFiles / 4))
awk -v f="$(cat "$data/full/orvex.median")" -v q="$(cat "$data/quarter/orvex.median")" \
  'BEGIN {printf "growth: orvex median full / quarter = %.2f wall", f / q}'
if [[ -n $timer ]]; then
  awk -v f="$(cat "$data/full/orvex.cpu.median")" -v q="$(cat "$data/quarter/orvex.cpu.median")" \
    'BEGIN {printf ", %.2f CPU", f / q}'
fi
echo " (the data grows 4x)"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
