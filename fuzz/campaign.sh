#!/usr/bin/env bash
# A long fuzzing campaign for one harness, run in pieces that each resume
# from a working corpus, so that it can be stopped and started again:
#
#   fuzz/campaign.sh HARNESS EXECUTIONS [PIECE [WORKERS]]
#
# Runs HARNESS (built in build-fuzz, see run.sh) in pieces of PIECE
# executions (default 10^7) until the log records EXECUTIONS in total, at
# nice 15. A piece is shared by WORKERS processes (default 1) on the same
# working corpus; each picks up what the others add to it. The working corpus is
# build-fuzz/campaign/HARNESS/corpus, started from fuzz/corpus/HARNESS and the
# seeds that make_seeds wrote; each
# piece appends a line to build-fuzz/campaign/HARNESS/log:
#
#   <date> piece=<n> executions=<in piece> seconds=<s> exec_per_s=<r>
#     total=<executions so far> corpus=<files>
#
# A crash stops the campaign with a FINDING line; its input is kept in
# build-fuzz/campaign/HARNESS/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 2 ] || { echo "usage: $0 HARNESS EXECUTIONS [PIECE]" >&2; exit 2; }
h=$1
target=$2
piece=${3:-10000000}
workers=${4:-1}
build=build-fuzz
binary=$build/fuzz/$h
dir=$build/campaign/$h
log=$dir/log
[ -x "$binary" ] || { echo "$0: build $binary first (fuzz/run.sh builds it)" >&2; exit 2; }
source fuzz/options.sh
harness_options "$h"

mkdir -p "$dir/corpus" "$dir/artifacts" "$dir/pieces"
# A copy of the harness, so that rebuilding build-fuzz meanwhile does not
# change what the rest of this campaign runs.
cp "$binary" "$dir/$h"
if [ -z "$(ls -A "$dir/corpus")" ]; then
  for start in "fuzz/corpus/$h" "$build/fuzz/seeds/$h"; do
    [ -d "$start" ] && cp "$start"/* "$dir/corpus/"
  done
fi
total() { { grep -o ' total=[0-9]*' "$log" 2>/dev/null || echo ' total=0'; } | tail -1 | cut -d= -f2; }
n=$( { grep -c ' piece=' "$log" 2>/dev/null || true; } )
n=${n:-0}
while [ "$(total)" -lt "$target" ]; do
  n=$((n + 1))
  start=$(date +%s)
  pids=()
  for w in $(seq "$workers"); do
    out=$dir/pieces/$n.txt
    [ "$workers" -eq 1 ] || out=$dir/pieces/$n.$w.txt
    nice -n 15 "$dir/$h" "${fuzz_options[@]}" -runs=$((piece / workers)) -print_final_stats=1 \
      -artifact_prefix="$PWD/$dir/artifacts/" "$dir/corpus" >"$out" 2>&1 &
    pids+=($!)
  done
  runs=0
  rates=()
  failed=()
  for w in $(seq "$workers"); do
    out=$dir/pieces/$n.txt
    [ "$workers" -eq 1 ] || out=$dir/pieces/$n.$w.txt
    wait "${pids[$((w - 1))]}" || failed+=("$out")
    r=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out")
    runs=$((runs + ${r:-0}))
    rates+=("$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out")")
  done
  seconds=$(($(date +%s) - start))
  rate=$(IFS=+; echo "${rates[*]}")
  if [ "${#failed[@]}" -ne 0 ]; then
    for out in "${failed[@]}"; do
      echo "$(date -u +%FT%TZ) FINDING piece=$n output=$out" >>"$log"
      grep -E -A30 '^==[0-9]+==ERROR|deadly signal|fuzz check failed|Test unit written' "$out" ||
        tail -40 "$out"
    done
    exit 1
  fi
  echo "$(date -u +%FT%TZ) piece=$n executions=$runs seconds=$seconds exec_per_s=${rate:-?}" \
    "total=$(($(total) + runs)) corpus=$(ls "$dir/corpus" | wc -l)" >>"$log"
done
echo "$h: $(total) executions in total, no finding; log: $log"
