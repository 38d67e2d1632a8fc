#!/usr/bin/env bash
# Makes SQLite's single-file sources (sqlite3.c, sqlite3.h) for the Windows
# cross build, which compiles them in: Debian packages no SQLite for mingw-w64.
# They come from Debian's own source package "sqlite3" with Debian's patches
# (the same SQLite as the system's libsqlite3), fetched from the Debian
# archive this machine's apt already uses; the source lists are read into a
# folder of their own, so the system's apt set-up is left as it is.
# Needs dpkg-dev (dpkg-source), tcl (tclsh), make and a native C compiler.
# Usage: scripts/sqlite-amalgamation.sh DEST
set -euo pipefail
dest=${1:?usage: $0 DEST}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/src"

# Debian's entries of this machine's apt sources, as source entries: deb822
# stanzas (*.sources) and one-line entries (*.list) whose address is a
# Debian archive (…/debian or …/debian-security).
: > "$work/sources.list"
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$file" ] || continue
  sed -nE 's#^deb[[:space:]]+(.*/debian(-security)?/?[[:space:]].*)#deb-src \1#p' "$file" \
    >> "$work/sources.list"
done
for file in /etc/apt/sources.list.d/*.sources; do
  [ -f "$file" ] || continue
  awk -v RS= -v ORS='\n\n' '/URIs:[^\n]*\/debian(-security)?\/?([ \n]|$)/' "$file" |
    sed -E 's/^Types:.*/Types: deb-src/' > "$work/parts/$(basename "$file")"
done
if [ ! -s "$work/sources.list" ] && ! grep -qs 'Types: deb-src' "$work"/parts/*.sources; then
  echo "sqlite-amalgamation: this machine's apt sources name no Debian archive" >&2
  exit 1
fi

apt_options=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=$work/parts"
  -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o APT::Sandbox::User=root)
echo "sqlite-amalgamation: fetching Debian's source package sqlite3"
apt-get "${apt_options[@]}" -qq update
(cd "$work/src" && apt-get "${apt_options[@]}" -qq source --download-only sqlite3 > /dev/null)
dsc=$(ls "$work"/src/sqlite3_*.dsc | head -n 1)
dpkg-source --no-check -x "$dsc" "$work/src/sqlite3" > /dev/null

echo "sqlite-amalgamation: making sqlite3.c"
mkdir -p "$work/build"
(cd "$work/build" && ../src/sqlite3/configure --disable-tcl > configure.log 2>&1 &&
  make sqlite3.c > make.log 2>&1) ||
  { tail -n 30 "$work/build/configure.log" "$work/build/make.log" >&2; exit 1; }
mkdir -p "$dest"
cp "$work/build/sqlite3.c" "$work/build/sqlite3.h" "$dest/"
sed -n 's/^#define SQLITE_VERSION *"\(.*\)"/sqlite-amalgamation: SQLite \1 in '"${dest//\//\\/}"'/p' \
  "$dest/sqlite3.h"
