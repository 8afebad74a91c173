#!/usr/bin/env bash
# Builds orvex and orvex-tool, packs the sample disc into build/sample.img and
# build/sample.idx, then extracts it into a fresh build/sample-out and lists
# what came out.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/cmake_generator.sh
cmake -S . -B build
cmake --build build --target orvex orvex-tool -j"$(nproc)"

build/src/tool/orvex-tool pack sample/disc build/sample.img build/sample.idx
rm -rf build/sample-out
mkdir build/sample-out
# The extractor reads the list of event files from its working directory.
cp sample/eventsTable build/sample-out/
(cd build/sample-out && ../src/app/orvex ../sample.img ../sample.idx)

echo
echo "Extracted into build/sample-out:"
(cd build/sample-out && find . -type f | sort)
