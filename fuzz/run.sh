#!/usr/bin/env bash
# Builds the fuzz harnesses in build-fuzz and runs each for SECONDS (default
# 60) on its corpus: build-fuzz/corpus/<harness>, which keeps what earlier runs
# found, plus the seeds that make_seeds wrote. Fails when a harness finds a
# crash; the input is kept as build-fuzz/artifacts/<harness>-crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
harnesses=(fuzz_decompress fuzz_name_list fuzz_event_file fuzz_whole_run)

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVEX_FUZZ=ON -DORVEX_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${harnesses[@]}" fuzz_seeds

mkdir -p "$build/artifacts" "$build/logs"
failed=()
for h in "${harnesses[@]}"; do
  corpus=$build/corpus/$h
  log=$build/logs/$h.log
  mkdir -p "$corpus"
  dict=()
  [ -f "fuzz/$h.dict" ] && dict=(-dict="fuzz/$h.dict")
  echo "== $h: ${seconds}s"
  # -close_fd_mask=3: the extractor's messages are not wanted; libFuzzer's
  # own report still reaches stderr.
  if "$build/fuzz/$h" -max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=3 \
      -timeout=60 -artifact_prefix="$PWD/$build/artifacts/$h-" "${dict[@]}" \
      "$corpus" "$build/fuzz/seeds/$h" >"$log" 2>&1; then
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
