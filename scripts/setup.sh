#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are
# missing, and configures and builds the project into build/. Packaging tools
# are installed by scripts/package.sh, not here.
# Tried on Debian 12 (bookworm); written to survive later releases: the clang
# runtime is the one that matches the installed clang.
# Usage: scripts/setup.sh [extra cmake arguments]
#        scripts/setup.sh --demo              only what the program and devsim need
#        scripts/setup.sh --packages-only     install the packages, build nothing
# The build is a preset of CMakePresets.json ("default", or "demo").
set -euo pipefail
cd "$(dirname "$0")/.."
packages_only=false
preset=default
case "${1:-}" in
  --packages-only) packages_only=true; shift ;;
  --demo) preset=demo; shift ;;
esac

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
updated=false
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "setup: installing ${missing[*]}"
  if ! $updated; then
    $sudo apt-get update -qq
    updated=true
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Build: compiler, CMake, Qt, the command line's libraries (OpenSSL for the history's
# SHA-256), the record store's databases (SQLite, PostgreSQL's client), the window's font.
install_missing g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libcli11-dev libssl-dev \
  nlohmann-json3-dev libsqlite3-dev libpq-dev fonts-liberation
# Tests: GoogleTest, Qt Test's tools, the PostgreSQL server the record store's tests
# start (scripts/pg-test-cluster.sh); fuzzers: clang (its runtime follows below).
[ "$preset" = demo ] || install_missing qt6-base-dev-tools libgtest-dev postgresql clang

# libFuzzer and the sanitizers of clang N come in libclang-rt-N-dev (Debian 12
# and later); a release without that package has them in clang's own packages.
clang_major=""
if [ "$preset" != demo ]; then
  clang_major=$(clang --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1)
fi
runtime="libclang-rt-${clang_major}-dev"
if [ "$preset" != demo ] && ! dpkg-query -W -f='${Status}' "$runtime" 2>/dev/null | grep -q "install ok installed"; then
  if ! $updated; then
    $sudo apt-get update -qq
    updated=true
  fi
  if [ -n "$clang_major" ] && apt-cache show "$runtime" > /dev/null 2>&1; then
    install_missing "$runtime"
  else
    echo "setup: no package $runtime here; the fuzzers use what clang brings along"
  fi
fi

$packages_only && exit 0

launcher=()
if command -v ccache > /dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake --preset "$preset" "${launcher[@]}" "$@" > build-configure.log 2>&1 ||
  { cat build-configure.log; exit 1; }
rm -f build-configure.log
cmake --build --preset "$preset"
