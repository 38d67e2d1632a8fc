#!/usr/bin/env bash
# Checks the Debian package the way a user meets it: builds it
# (scripts/package.sh), installs it with apt-get, and from a folder outside
# the checkout runs `updater-cli --version`, then an update and the erase-only
# job of the installed devsim with the installed example files, as the manual
# page shows them; then removes the package again.
# Needs root or sudo (it installs a package). Exit 0 when all went well.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi

scripts/package.sh
debs=(dist/updater_*.deb)
deb=$(realpath "${debs[0]}")

work=$(mktemp -d)
sim=""
installed=false
cleanup() {
  if [ -n "$sim" ]; then kill -TERM "$sim" 2> /dev/null || true; wait "$sim" 2> /dev/null || true; fi
  if $installed; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq updater > /dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "ci-check: $*" >&2
  exit 1
}

echo "ci-check: installing $deb"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb"
installed=true
version=$(dpkg-query -W -f='${Version}' updater)

cd "$work"
for file in /usr/bin/updater /usr/bin/devsim /usr/share/applications/updater.desktop \
  /usr/share/icons/hicolor/scalable/apps/updater.svg /usr/share/man/man1/updater.1.gz \
  /usr/share/man/man1/devsim.1.gz /usr/share/doc/updater/copyright; do
  [ -e "$file" ] || fail "the package did not install $file"
done

command -v updater-cli > /dev/null ||
  fail "updater-cli is not installed: the package was built without the command line (cli/)"
[ -e /usr/share/man/man1/updater-cli.1.gz ] || fail "no manual page for updater-cli"
cli_version=$(updater-cli --version) || fail "updater-cli --version failed"
echo "ci-check: updater-cli --version: $cli_version"
case "$cli_version" in *"$version"*) ;; *) fail "updater-cli --version does not name $version" ;; esac
window_version=$(QT_QPA_PLATFORM=offscreen timeout 20 updater --version 2>&1) ||
  fail "updater --version failed or did not end: $window_version"
case "$window_version" in *"$version"*) ;; *) fail "updater --version does not name $version" ;; esac

# The example files, as a user would take them: copied, unpacked if packed.
cp /usr/share/doc/updater/examples/* .
for packed in *.gz; do [ -e "$packed" ] && gunzip -f "$packed"; done
for file in Loader.hex F29f160d.hex fits.bin; do
  [ -s "$file" ] || fail "the examples lack $file"
done
[ -f empty ] && [ ! -s empty ] || fail "the examples lack empty (zero bytes)"

# Powered up again at each close, so that every run of updater-cli finds the
# bootstrap loader waiting.
devsim --loader Loader.hex --routine F29f160d.hex --link "$work/COM1" --power-cycle-on-close \
  > devsim.log 2>&1 &
sim=$!
for _ in $(seq 50); do [ -e "$work/COM1" ] && break; sleep 0.1; done
[ -e "$work/COM1" ] || { cat devsim.log >&2; fail "devsim did not start"; }

echo "ci-check: updater-cli update --port $work/COM1 fits.bin --files $work"
status=0
timeout 300 updater-cli update --port "$work/COM1" fits.bin --files "$work" || status=$?
if [ "$status" -ne 0 ]; then
  echo "--- devsim log" >&2
  cat devsim.log >&2
  fail "the update against devsim ended with exit code $status"
fi
echo "ci-check: updater-cli erase --port $work/COM1 --files $work --yes"
timeout 120 updater-cli erase --port "$work/COM1" --files "$work" --yes || status=$?
if [ "$status" -ne 0 ]; then
  echo "--- devsim log" >&2
  cat devsim.log >&2
  fail "the erase-only job against devsim ended with exit code $status"
fi

cd /
cleanup
trap - EXIT
if dpkg-query -W -f='${Status}' updater 2> /dev/null | grep -q "install ok installed"; then
  fail "apt-get remove left the package installed"
fi
echo "ci-check: the package installs, updates and erases a simulated device and is removed again"
