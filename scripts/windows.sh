#!/usr/bin/env bash
# Cross-builds the Windows programs with mingw-w64 into build-windows/ (the
# libraries, the tests that need no pseudo-terminal, and updater-cli.exe) and
# runs the tests under wine. The serial backend and updater-cli.exe are tried
# against devsim on a pseudo-terminal that wine maps to COM5; that needs the
# native devsim (build/sim/devsim, built here when build/ exists). Leaves
# build-windows/updater-cli-windows.zip (updater-cli.exe and the README).
# Usage: scripts/windows.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=build-windows
started=$(date +%s)

# What the cross build needs beyond scripts/setup.sh's packages.
# dpkg-dev, tcl and make turn Debian's SQLite sources into the single file the
# Windows build compiles in (scripts/sqlite-amalgamation.sh).
packages=(g++-mingw-w64-x86-64-posix googletest wine wine64 zip cmake ninja-build dpkg-dev tcl
  make gcc)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "windows: installing ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# SQLite for the record store, compiled into the programs: made once per
# build folder.
sqlite="$root/$out/sqlite"
[ -f "$sqlite/sqlite3.c" ] || scripts/sqlite-amalgamation.sh "$sqlite"

launcher=()
command -v ccache > /dev/null &&
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake --preset windows "${launcher[@]}" -DUPDATER_SQLITE_SOURCE_DIR="$sqlite" "$@" \
  > "$out.configure.log" 2>&1 ||
  { cat "$out.configure.log"; exit 1; }
rm -f "$out.configure.log"
cmake --build "$out"

# The programs must run without any DLL beside them: only the system's own.
cli="$out/cli/updater-cli.exe"
system_dlls='^(kernel32|msvcrt|advapi32|user32|shell32|ole32|setupapi|cfgmgr32|bcrypt|ws2_32)\.dll$'
foreign=$(x86_64-w64-mingw32-objdump -p "$cli" | sed -n 's/^\s*DLL Name: //p' |
  grep -viE "$system_dlls" || true)
[ -z "$foreign" ] || { echo "windows: $cli needs DLLs beside it: $foreign"; exit 1; }

# A wine of its own, so that nothing of the user's wine is touched.
export WINEPREFIX="$root/$out/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# wine's own chatter (and its server's, which outlives each program) goes
# here; the tests report on standard output.
winelog="$root/$out/wine.log"
: > "$winelog"
tests=(platform/platform_tests firmware/firmware_tests session/session_tests comm/comm_tests
  core/core_tests)
failed=0
echo "== wine updater-cli.exe --version"
version=$(wine "$cli" --version 2>> "$winelog" | tr -d '\r') || failed=1
echo "$version"
[ "$version" = "$(sed -n 's/^project(Updater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ] ||
  { echo "windows: updater-cli.exe --version printed \"$version\""; failed=1; }
# The record store on Windows: the local file works (in the prefix's own
# %LOCALAPPDATA%), a line database is refused plainly.
echo "== wine updater-cli.exe history"
code=0
history=$(wine "$cli" history 2>&1 | tr -d '\r') || code=$?
echo "$history" | grep -v "^[0-9a-f]*:\(fixme\|err\|warn\):" || true
[ "$code" -eq 0 ] || { echo "windows: updater-cli.exe history exited $code"; failed=1; }
echo "== wine updater-cli.exe sync --db postgresql://... (no PostgreSQL in this build)"
code=0
sync=$(wine "$cli" sync --db postgresql://line.example/updater 2>&1 | tr -d '\r') || code=$?
echo "$sync" | grep -v "^[0-9a-f]*:\(fixme\|err\|warn\):" || true
if [ "$code" -ne 1 ] || ! echo "$sync" | grep -q "no PostgreSQL support"; then
  echo "windows: updater-cli.exe sync --db did not refuse plainly (exit $code)"
  failed=1
fi
for t in "${tests[@]}"; do
  exe="$out/tests/$t.exe"
  [ -f "$exe" ] || continue
  echo "== wine $t.exe"
  wine "$exe" --gtest_brief=1 2>> "$winelog" || failed=1
done

# The serial backend against the simulated device, through wine's COM5.
devsim=$(realpath -m "${DEVSIM:-build/sim/devsim}")
if [ ! -x "$devsim" ] && [ -f build/build.ninja ]; then cmake --build build --target devsim; fi
if [ -x "$devsim" ]; then
  run="$out/devsim-run"
  rm -rf "$run" && mkdir -p "$run"
  cp demo/Loader.hex demo/F29f160d.hex "$run/"
  # An image that fits devsim's device, for the update.
  "$devsim" make-image --out "$run/fits.bin" --size 40K --product DEMO165 --hwver 1.0b \
    --fwver 2.00 --seed 7 > /dev/null
  # A device fresh from power-on, on a new pseudo-terminal behind the link.
  start_devsim() {
    rm -f "$run/com5"
    (cd "$run" && exec "$devsim" --link "$root/$run/com5" >> devsim.log 2>&1) &
    devsimPid=$!
    for _ in $(seq 50); do [ -e "$run/com5" ] && break; sleep 0.1; done
  }
  start_devsim
  trap 'kill "$devsimPid" 2> /dev/null || true' EXIT
  wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$root/$run/com5" /f > /dev/null 2>> "$winelog"
  # The port mapping is read when wine starts: let this prefix's server end.
  wineserver -w
  echo "== wine comm/comm_tests.exe on COM5 (devsim)"
  # Wine's drive Z: is the Linux root.
  UPDATER_TEST_PORT=COM5 UPDATER_TEST_FILES="Z:$root/$run" \
    wine "$out/tests/comm/comm_tests.exe" --gtest_brief=1 \
    --gtest_filter='Win32Port.*' 2>> "$winelog" || failed=1
  # The tests left the device running their flash routine; a real one would
  # be switched off and on before the next program talks to it.
  kill "$devsimPid" 2> /dev/null || true
  wait "$devsimPid" 2> /dev/null || true
  start_devsim
  echo "== wine updater-cli.exe ports"
  wine "$cli" ports 2>> "$winelog" | tr -d '\r' || failed=1
  echo "== wine updater-cli.exe identify --port COM5 (devsim)"
  # The upload files are in the working folder, as an operator keeps them.
  (cd "$run" && wine "$root/$cli" identify --port COM5 --timeout 10 2>> "$winelog" | tr -d '\r') ||
    failed=1
  kill "$devsimPid" 2> /dev/null || true
  trap - EXIT
else
  echo "windows: no native devsim ($devsim): the serial test on COM5 is left out"
fi

(cd "$out" && rm -f updater-cli-windows.zip &&
  zip -j -q updater-cli-windows.zip cli/updater-cli.exe "$root/README.md")
echo "windows: $out/updater-cli-windows.zip"
# Leave no wine server behind.
wineserver -w
echo "windows: $(($(date +%s) - started)) s"
[ "$failed" -eq 0 ] || { echo "windows: tests failed under wine"; exit 1; }
echo "== windows build and tests passed =="
