#!/usr/bin/env bash
# Line coverage of the library code reached by the fuzz corpora: builds the
# targets with clang's source-based coverage in BUILD_DIR (default
# build-fuzz-cov), replays each target's corpus once and prints the report for
# firmware/ and session/.
#
# Usage: fuzz/coverage.sh [BUILD_DIR] [CORPUS_ROOT]
#   CORPUS_ROOT holds one folder per target; default: the run folders that
#   fuzz/run.sh left in build-fuzz/fuzz-runs, else the seeds in fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-fuzz-cov}
corpora=${2:-}
if [ -z "$corpora" ]; then
  if [ -d build-fuzz/fuzz-runs ]; then corpora=build-fuzz/fuzz-runs; else corpora=fuzz/corpus; fi
fi
targets=(identity_scan identity_window identity_patch upload_hex dispatcher)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DUPDATER_BUILD_WINDOW=OFF -DUPDATER_BUILD_TESTS=OFF -DUPDATER_BUILD_FUZZERS=ON \
  "-DCMAKE_CXX_FLAGS=-fprofile-instr-generate -fcoverage-mapping" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate" >/dev/null
cmake --build "$build" --target "${targets[@]}"

profiles="$build/coverage"
rm -rf "$profiles"
mkdir -p "$profiles"
objects=()
for target in "${targets[@]}"; do
  dir="$corpora/$target"
  [ -d "$dir/corpus" ] && dir="$dir/corpus"
  LLVM_PROFILE_FILE="$profiles/$target.profraw" ASAN_OPTIONS=detect_leaks=0 \
    "$build/fuzz/$target" -runs=0 "$dir" >"$profiles/$target.log" 2>&1
  objects+=(-object "$build/fuzz/$target")
done
llvm-profdata merge -sparse "$profiles"/*.profraw -o "$profiles/all.profdata"
llvm-cov report "${objects[@]:1}" -instr-profile="$profiles/all.profdata" \
  "$(pwd)/firmware" "$(pwd)/session" "$(pwd)/platform"
