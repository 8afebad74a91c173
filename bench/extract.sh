#!/usr/bin/env bash
# Times `orvex IMAGE INDEX` against `tar -xf` of the same tree.
#
#   bash bench/extract.sh
#
# Main figure: output in memory (/dev/shm), where the file system costs
# least and the extractor's own work shows: orvex with one job and with
# every core, and tar -xf, alternating, on a tree about half compressible.
# Then: one job against every core on a tree of compressible files only
# (where decoding dominates); growth (four times the data) and peak memory;
# and the same mixed tree written to disk. Beside the mixed tree: the floors
# (the tree written from memory; the disc taken out as simply as it can be
# with our decoder) and the other extractors this machine has.
#
# Environment:
#   ORVEX_BENCH_SCALE  size factor (default 1: 256 MiB and 3,000 files per tree)
#   ORVEX_BENCH_RUNS   timed runs of each command (default 5)
#   ORVEX_BENCH_DATA   where trees, images and tars go (default BUILD/bench-data)
#   ORVEX_BENCH_SHM    the in-memory output folder (default /dev/shm/orvex-bench)
#   ORVEX_BENCH_BUILD  build directory holding the binaries (default build-bench)
#   ORVEX_BENCH_QUICK  when set, only the mixed tree in memory, with the floor and peers
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${ORVEX_BENCH_BUILD:-$repo/build-bench}
data=${ORVEX_BENCH_DATA:-$build/bench-data}/extract
shm=${ORVEX_BENCH_SHM:-/dev/shm/orvex-bench}
scale=${ORVEX_BENCH_SCALE:-1}
runs=${ORVEX_BENCH_RUNS:-5}
cores=$(nproc)

orvex=$build/src/app/orvex
tool=$build/src/tool/orvex-tool
tree=$build/bench/orvex-bench-tree
floor=$build/bench/orvex-bench-floor
decoding_floor=$build/bench/orvex-bench-decoding-floor
timer=/usr/bin/time

for bin in "$orvex" "$tool" "$tree"; do
  if [[ ! -x $bin ]]; then
    echo "extract: $bin is missing; build first (bash bench/run.sh builds it)" >&2
    exit 1
  fi
done
if [[ ! -x $timer ]]; then
  echo "extract: $timer is missing: apt-get install time (GNU time gives user, system and peak memory)" >&2
  exit 1
fi

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
mib() { awk -v b="$1" 'BEGIN {printf "%.1f MiB", b / 1048576}'; }
now() { date +%s%N; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

# Reads files so that they are in the page cache. The machine pages out
# memory left untouched for a minute or so, so inputs are read again right
# before every timed run rather than only once.
warm() { cat "$@" >/dev/null; }

# prepare LABEL BYTES FILES [compressible]: makes the tree (kept while the
# generator and the size stay the same) and its tar, and packs the image anew.
prepare() {
  local label=$1 bytes=$2 files=$3 kind=${4:-}
  local dir=$data/$label
  mkdir -p "$dir"
  local stamp
  stamp="$bytes $files $kind $(cat "$here/make_tree.cpp" "$here/content.cpp" "$here/rng.h" | md5sum)"
  if [[ ! -f $dir/stamp || $(cat "$dir/stamp") != "$stamp" ]]; then
    rm -rf "$dir/tree" "$dir/tree.tar" "$dir/stamp"
    "$tree" "$dir/tree" "$bytes" "$files" $kind >"$dir/tree.txt"
    tar -cf "$dir/tree.tar" -C "$dir/tree" .
    echo "$stamp" >"$dir/stamp"
  fi
  local start end
  start=$(now)
  "$tool" pack "$dir/tree" "$dir/disc.img" "$dir/disc.idx" --auto
  end=$(now)
  echo "== $label: $(cat "$dir/tree.txt")"
  echo "   image $(mib "$(stat -c %s "$dir/disc.img")"), tar $(mib "$(stat -c %s "$dir/tree.tar")");" \
    "packed in $(awk -v s="$start" -v e="$end" 'BEGIN {printf "%.1f", (e - s) / 1e9}') s"
}

inputs() {
  case $1 in
    tar | bsdtar) echo "$2/tree.tar" ;;
    tar-zstd) echo "$2/tree.tar.zst" ;;
    tar-lz4) echo "$2/tree.tar.lz4" ;;
    unsquashfs) echo "$2/tree.sqfs" ;;
    unzip) echo "$2/tree.zip" ;;
    floor-decode-*) echo "$2/disc.img $2/disc.idx" ;;
    floor-*) echo "$2/tree.tar" ;;
    *) echo "$2/disc.img $2/disc.idx" ;;
  esac
}

# The peers this machine has, each with the archive it reads made once.
peers() {
  local dir=$1 list=()
  if command -v bsdtar >/dev/null; then list+=(bsdtar); fi
  if command -v zstd >/dev/null; then
    [[ -f $dir/tree.tar.zst ]] || zstd -q -T0 "$dir/tree.tar" -o "$dir/tree.tar.zst"
    list+=(tar-zstd)
  fi
  if command -v lz4 >/dev/null; then
    [[ -f $dir/tree.tar.lz4 ]] || lz4 -q "$dir/tree.tar" "$dir/tree.tar.lz4"
    list+=(tar-lz4)
  fi
  if command -v unsquashfs >/dev/null && command -v mksquashfs >/dev/null; then
    [[ -f $dir/tree.sqfs ]] || mksquashfs "$dir/tree" "$dir/tree.sqfs" -comp lz4 -quiet -no-progress >/dev/null
    list+=(unsquashfs)
  fi
  if command -v unzip >/dev/null && command -v zip >/dev/null; then
    [[ -f $dir/tree.zip ]] || (cd "$dir/tree" && zip -qr "$dir/tree.zip" .)
    list+=(unzip)
  fi
  echo "${list[@]}"
}

# timed WHAT DIR OUT: one run; appends "wall user system peakKiB switches" to
# $DIR/WHAT.runs. Clearing the output, syncing earlier writes and reading
# the inputs stay outside the timing; orvex's console output goes to
# /dev/null.
timed() {
  local what=$1 dir=$2 out=$3
  rm -rf "$out"
  mkdir -p "$out"
  sync
  # shellcheck disable=SC2046
  warm $(inputs "$what" "$dir")
  local start end
  start=$(now)
  local jobs=1 cmd=("$orvex" "$dir/disc.img" "$dir/disc.idx")
  [[ $what == orvex-jN || $what == *-jN ]] && jobs=$cores
  case $what in
    tar) cmd=(tar -xf "$dir/tree.tar") ;;
    bsdtar) cmd=(bsdtar -xf "$dir/tree.tar") ;;
    tar-zstd) cmd=(tar -I zstd -xf "$dir/tree.tar.zst") ;;
    tar-lz4) cmd=(tar -I lz4 -xf "$dir/tree.tar.lz4") ;;
    unsquashfs) cmd=(unsquashfs -q -n -p "$cores" -f -d . "$dir/tree.sqfs") ;;
    unzip) cmd=(unzip -q "$dir/tree.zip") ;;
    floor-decode-*) cmd=("$decoding_floor" "$dir/tree" "$dir/disc.img" "$dir/disc.idx" . "$jobs") ;;
    floor-plain-*) cmd=("$floor" "$dir/tree" . "$jobs" plain) ;;
    floor-safe-*) cmd=("$floor" "$dir/tree" . "$jobs" safe) ;;
  esac
  (cd "$out" && ORVEX_JOBS=$jobs "$timer" -f '%U %S %M %w %c' -o "$dir/$what.time" "${cmd[@]}" \
    >"$dir/$what.out" 2>"$dir/$what.log")
  end=$(now)
  # The floor writer times itself, without reading the tree into memory.
  if [[ $what == floor-* ]]; then
    start=0
    end=$(awk '{printf "%.0f", $1 * 1e9}' "$dir/$what.out")
  fi
  awk -v s="$start" -v e="$end" -v t="$(tail -1 "$dir/$what.time")" \
    'BEGIN {split(t, f, " "); printf "%.3f %.3f %.3f %d %d\n", (e - s) / 1e9, f[1], f[2], f[3], f[4] + f[5]}' \
    >>"$dir/$what.runs"
}

# compare LABEL OUTROOT CMD...: alternates the commands, RUNS times each,
# after one untimed run of each (orvex's output is checked against the tree
# once); prints each command's medians, and each ratio to the last command.
compare() {
  local label=$1 root=$2
  shift 2
  local dir=$data/$label what
  for what in "$@"; do
    rm -f "$dir/$what.runs"
    timed "$what" "$dir" "$root/$what"
    if [[ $what == orvex-* ]] && ! diff -rq "$dir/tree" "$root/$what" >"$dir/diff.txt"; then
      echo "extract: $what output differs from the tree (see $dir/diff.txt)" >&2
      exit 1
    fi
    rm -f "$dir/$what.runs"
  done
  local i
  for ((i = 1; i <= runs; i++)); do
    for what in "$@"; do timed "$what" "$dir" "$root/$what"; done
  done
  for what in "$@"; do rm -rf "${root:?}/$what"; done
  echo "   medians of $runs, load $(load):"
  printf '   %-15s %8s %8s %8s %10s %9s\n' command wall user system "peak RSS" switches
  for what in "$@"; do
    printf '   %-15s %8.3f %8.3f %8.3f %6.1f MiB %9d\n' "$what" \
      "$(cut -d' ' -f1 "$dir/$what.runs" | median)" "$(cut -d' ' -f2 "$dir/$what.runs" | median)" \
      "$(cut -d' ' -f3 "$dir/$what.runs" | median)" \
      "$(cut -d' ' -f4 "$dir/$what.runs" | sort -g | tail -1 | awk '{print $1 / 1024}')" \
      "$(cut -d' ' -f5 "$dir/$what.runs" | median)"
  done
  local last=${*: -1}
  for what in "$@"; do
    [[ $what == "$last" ]] && continue
    printf '   %s / %s: %.2f (median of the per-run ratios of wall time)\n' "$what" "$last" \
      "$(paste -d' ' "$dir/$what.runs" "$dir/$last.runs" | awk '{print $1 / $6}' | median)"
  done
}

bytes=$(awk -v s="$scale" 'BEGIN {printf "%.0f", 268435456 * s}')
files=$(awk -v s="$scale" 'BEGIN {printf "%.0f", 3000 * s}')
mkdir -p "$shm"

echo "extract benchmark: scale $scale, $runs timed runs of each command, alternating; $cores cores"
echo "(orvex-jN: ORVEX_JOBS=$cores). Before every run, untimed: the output folder is emptied,"
echo "earlier writes synced, the inputs read into the page cache. Times in seconds."
echo "load average before: $(load)"
echo

echo "-- in memory ($shm) --"
prepare mixed "$bytes" "$files"
compare mixed "$shm" orvex-j1 orvex-jN tar
ratio() { paste -d' ' "$data/mixed/$1.runs" "$data/mixed/$2.runs" | awk '{print $1 / $6}' | median; }
printf '   orvex-jN / tar: %.2f (target at most 1.0; 0.85 the stretch)\n' "$(ratio orvex-jN tar)"
printf '   orvex-j1 / tar: %.2f (target at most 1.3)\n' "$(ratio orvex-j1 tar)"
printf '   orvex-jN context switches, voluntary and involuntary: %d (target at most 1000)\n' \
  "$(cut -d' ' -f5 "$data/mixed/orvex-jN.runs" | median)"
echo
echo "-- the floors and peers, in memory: the tree written from memory (floor-safe-*,"
echo "   floor-plain-*), the disc taken out as simply as it can be with our decoder"
echo "   (floor-decode-*; user and system times of the floors include their untimed"
echo "   setup), then other extractors --"
# shellcheck disable=SC2046
compare mixed "$shm" orvex-j1 floor-decode-j1 floor-safe-j1 orvex-jN floor-decode-jN floor-safe-jN \
  floor-plain-j1 floor-plain-jN $(peers "$data/mixed") tar
printf '   orvex-j1 / floor-decode-j1: %.2f\n' "$(ratio orvex-j1 floor-decode-j1)"
printf '   orvex-jN / floor-decode-jN: %.2f\n' "$(ratio orvex-jN floor-decode-jN)"
printf '   orvex-j1 / floor-safe-j1: %.2f (target at most 1.6)\n' "$(ratio orvex-j1 floor-safe-j1)"
printf '   orvex-jN / floor-safe-jN: %.2f (target at most 1.6; 1.3 the stretch)\n' \
  "$(ratio orvex-jN floor-safe-jN)"
echo
if [[ -n ${ORVEX_BENCH_QUICK:-} ]]; then
  rmdir "$shm" 2>/dev/null || true
  exit 0
fi
prepare compressible "$bytes" "$files" compressible
compare compressible "$shm" orvex-j1 orvex-jN tar
printf '   one job / %d jobs: %.2f\n' "$cores" \
  "$(paste -d' ' "$data/compressible/orvex-j1.runs" "$data/compressible/orvex-jN.runs" | awk '{print $1 / $6}' | median)"
echo
prepare mixed4x $((bytes * 4)) $((files * 4))
compare mixed4x "$shm" orvex-j1 orvex-jN tar
col() { cut -d' ' -f"$2" "$data/$1" | median; }
cpu() { awk '{print $2 + $3}' "$data/$1" | median; }
for what in orvex-j1 orvex-jN tar; do
  awk -v w1="$(col "mixed/$what.runs" 1)" -v w4="$(col "mixed4x/$what.runs" 1)" \
    -v c1="$(cpu "mixed/$what.runs")" -v c4="$(cpu "mixed4x/$what.runs")" -v what="$what" \
    'BEGIN {printf "   growth of %s, 4x the data: %.2f wall, %.2f CPU (linear is 4.00)\n", what, w4 / w1, c4 / c1}'
done
largest() { find "$data/$1/tree" -type f -printf '%s\n' | sort -g | tail -1; }
for label in mixed mixed4x; do
  for what in orvex-j1 orvex-jN; do
    printf '   %s, %s: peak RSS %s; largest file %s; bound 2 x largest + 64 MiB = %s\n' "$label" "$what" \
      "$(cut -d' ' -f4 "$data/$label/$what.runs" | sort -g | tail -1 | awk '{printf "%.1f MiB", $1 / 1024}')" \
      "$(mib "$(largest "$label")")" "$(mib $(($(largest "$label") * 2 + 67108864)))"
  done
done
rmdir "$shm" 2>/dev/null || true
echo

echo "-- on disk ($data/out, ext4; written back after the timing) --"
compare mixed "$data/out" orvex-jN tar
echo
echo "load average after: $(load)"
