#!/usr/bin/env bash
# Sets up and builds the project, prepares a demo working folder, starts the
# simulated device on a pseudo-terminal as COM1 and starts the program in that
# folder. The simulated device powers itself up again whenever the program
# closes the port (start over, closing the window), as unplugging and plugging
# back a real board would; it ends with the window.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh --demo

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-}" != offscreen ]; then
  echo "demo: no display; run it in a desktop session (or under xvfb-run)" >&2
  exit 1
fi

demo="$top/build/demo"
mkdir -p "$demo"
cp demo/Loader.hex demo/F29f160d.hex "$demo/"
devsim="$top/build/sim/devsim"
# fits.bin: for the demo device (DEMO165, hardware 1.0a), sectors 0 to 4.
"$devsim" make-image --out "$demo/fits.bin" --size 128K --product DEMO165 --hwver 1.0b \
  --fwver 2.00 --seed 7 > /dev/null
# wrong.bin: an image for another product.
"$devsim" make-image --out "$demo/wrong.bin" --size 64K --product OTHER77 --hwver 1.0a \
  --seed 9 > /dev/null
# "empty": what the erase-only job programs into sectors 8 and 9.
: > "$demo/empty"

cd "$demo"
"$devsim" --product DEMO165 --hwver 1.0a --serial 4711 --brand DEMO-LABEL \
  --flash "$demo/device-flash.bin" --link "$demo/COM1" --power-cycle-on-close \
  > "$demo/devsim.log" 2>&1 &
sim=$!
trap 'kill -TERM $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$demo/COM1" ] && break; sleep 0.1; done
[ -e "$demo/COM1" ] || { echo "demo: devsim did not start:" >&2; cat "$demo/devsim.log" >&2; exit 1; }

echo "demo: the simulated device is COM1 ($(readlink "$demo/COM1")); working folder $demo"
echo "demo: devsim runs as PID $sim; it powers the device up again each time the program closes"
echo "      the port (\"start over\", closing the window); kill -USR1 $sim power-cycles it by hand;"
echo "      what it did is in $demo/devsim.log"
UPDATER_COM1="$demo/COM1" "$top/build/window/updater"
