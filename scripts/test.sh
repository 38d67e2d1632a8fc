#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build, then the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the tests that
# need no window under ThreadSanitizer, then a short run of each fuzzer.
# The builds are the presets of CMakePresets.json.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

scripts/setup.sh
ctest --preset default

for preset in asan tsan; do
  echo "== $preset =="
  cmake --preset "$preset" > /dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

if [ -f fuzz/CMakeLists.txt ]; then
  echo "== Fuzzers (${FUZZ_SECONDS:-30} s each) =="
  cmake --preset fuzz > /dev/null
  cmake --build --preset fuzz
  fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-30}"
fi
echo "== all tests passed =="
