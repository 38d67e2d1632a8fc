#!/usr/bin/env bash
# Renders updater.svg into the PNG sizes the package installs. The PNGs are
# committed, so this is needed only after the drawing changes (rsvg-convert
# comes with the Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" updater.svg > "updater-$size.png"
done
