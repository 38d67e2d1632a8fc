#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# they are missing, and configures and builds the project into build/.
# Usage: scripts/setup.sh [--demo] [extra cmake arguments]
#   --demo  only what the program and the simulated device need (no tests)
set -euo pipefail
cd "$(dirname "$0")/.."

preset=default
if [ "${1:-}" = "--demo" ]; then
  preset=demo
  shift
fi

packages=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev fonts-liberation)
if [ "$preset" = default ]; then
  packages+=(libgtest-dev qt6-base-dev-tools clang libclang-rt-14-dev xvfb xauth imagemagick)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake --preset "$preset" "$@" > build-configure.log 2>&1 ||
  { cat build-configure.log; exit 1; }
rm -f build-configure.log
cmake --build --preset "$preset"
