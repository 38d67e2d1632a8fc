#!/usr/bin/env bash
# Builds the Debian package: a Release build in build-package/, then CPack
# into dist/ (dist/updater_<version>_amd64.deb), then lintian on it, which
# must report no errors. Installs the packaging tools it needs when missing.
# Usage: scripts/package.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

# What the build needs, then what packaging needs on top.
scripts/setup.sh --packages-only
packages=(dpkg-dev lintian gzip file)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "package: installing ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

launcher=()
if command -v ccache > /dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
# Files in the package are owned by root whatever the umask of the builder.
umask 022
# Debian's hardening flags: fortify, stack protector, relro, bind-now.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cxxflags="$(flags CPPFLAGS) $(flags CXXFLAGS)"
ldflags=$(flags LDFLAGS)
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DUPDATER_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" "${launcher[@]}" "$@" \
  > build-package.log 2>&1 || { cat build-package.log; exit 1; }
rm -f build-package.log
cmake --build build-package
rm -rf dist
mkdir -p dist
(cd build-package && cpack -G DEB -B "$PWD/../dist" > cpack.log 2>&1) ||
  { cat build-package/cpack.log; exit 1; }
rm -rf dist/_CPack_Packages

debs=(dist/updater_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package: no single .deb in dist/" >&2; exit 1; }
deb=${debs[0]}
echo "package: $deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'

# lintian exits non-zero on errors; warnings and notes are shown but pass.
echo "package: lintian"
lintian --info --display-info --fail-on error "$deb"
echo "package: lintian found no errors"
