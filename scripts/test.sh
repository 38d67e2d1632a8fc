#!/usr/bin/env bash
# Sets up, builds and runs every test: the plain build, then the same tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the tests that
# need no window under ThreadSanitizer, then a short run of each fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen

scripts/setup.sh
(cd build && ctest --output-on-failure --timeout 300 -j2)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DUPDATER_SANITIZE=address,undefined > /dev/null
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure --timeout 600 -j2

echo "== ThreadSanitizer (no window) =="
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUPDATER_BUILD_WINDOW=OFF \
  -DUPDATER_SANITIZE=thread > /dev/null
cmake --build build-tsan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure --timeout 600 -j2

if [ -f fuzz/CMakeLists.txt ]; then
  echo "== Fuzzers (${FUZZ_SECONDS:-30} s each) =="
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DUPDATER_BUILD_WINDOW=OFF -DUPDATER_BUILD_TESTS=OFF \
    -DUPDATER_BUILD_FUZZERS=ON > /dev/null
  cmake --build build-fuzz
  fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-30}"
fi
echo "== all tests passed =="
