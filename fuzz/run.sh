#!/usr/bin/env bash
# Builds the fuzz harnesses in build-fuzz and runs each for SECONDS (default
# 60) on its corpus: build-fuzz/corpus/<harness>, which keeps what earlier runs
# found, plus the minimised corpus kept in fuzz/corpus/<harness> and the seeds
# that make_seeds wrote. Fails when a harness finds a crash; the input is kept
# as build-fuzz/artifacts/<harness>-crash-*. Long campaigns: campaign.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
harnesses=(fuzz_decode fuzz_round_trip fuzz_name_list fuzz_event_file fuzz_whole_run fuzz_names)
source fuzz/options.sh
# The harnesses that extract make and remove a sandbox tree per input: in a
# memory file system they run several times as many inputs as on a disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVEX_FUZZ=ON -DORVEX_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${harnesses[@]}" fuzz_seeds

mkdir -p "$build/artifacts" "$build/logs"
failed=()
for h in "${harnesses[@]}"; do
  corpus=$build/corpus/$h
  log=$build/logs/$h.log
  mkdir -p "$corpus"
  harness_options "$h"
  kept=()
  [ -d "fuzz/corpus/$h" ] && kept=("fuzz/corpus/$h")
  echo "== $h: ${seconds}s"
  # New inputs go to the first corpus folder only: the kept one stays as is.
  if "$build/fuzz/$h" -max_total_time="$seconds" -print_final_stats=1 "${fuzz_options[@]}" \
      -artifact_prefix="$PWD/$build/artifacts/$h-" \
      "$corpus" "${kept[@]}" "$build/fuzz/seeds/$h" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed+=("$h")
    grep -E -A30 '^==[0-9]+==ERROR|deadly signal|fuzz check failed|Test unit written' "$log" || tail -40 "$log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "$h: ${runs:-?} executions, $status"
done

echo "fuzz: $((${#harnesses[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if [ ${#failed[@]} -gt 0 ]; then
  echo "crashing inputs are in $build/artifacts"
  exit 1
fi
