#!/usr/bin/env bash
# Builds everything (with AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs every test. Extra CMake flags can be passed in ORVEX_CMAKE_FLAGS.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ORVEX_TEST_BUILD:-build-test}
source scripts/cmake_generator.sh
# -O1 without debug information: the level the sanitizers are meant for, and
# a far shorter build than an optimised one with debug information.
# shellcheck disable=SC2086
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O1 -DORVEX_SANITIZE=ON \
  ${ORVEX_CMAKE_FLAGS:-}
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
