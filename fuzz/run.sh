#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build, each for the given number of seconds,
# on a fresh copy of its seed corpus under BUILD_DIR/fuzz-runs/<target>/.
# Saved reproducers in fuzz/crashes/<target>/ are run first, so a fault that
# was found once fails every later run until it is fixed.
# Exits non-zero when a target crashes, hangs, leaks or reports a sanitizer
# finding; the log and the offending input are left in its run folder.
#
# Usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR SECONDS [TARGET...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
shift 2
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=(identity_scan identity_window identity_patch upload_hex dispatcher)
fi

max_len_of() {
  case "$1" in
    identity_scan | identity_window) echo 4200 ;;
    identity_patch) echo 6000 ;;
    upload_hex) echo 2048 ;;
    *) echo 8192 ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:symbolize=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
summary=()
for target in "${targets[@]}"; do
  exe="$build/fuzz/$target"
  if [ ! -x "$exe" ]; then
    echo "== $target: not built ($exe)" >&2
    status=1
    summary+=("$target: NOT BUILT")
    continue
  fi
  run="$build/fuzz-runs/$target"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  if [ -d "$here/corpus/$target" ]; then
    cp "$here/corpus/$target/." "$run/corpus/" -r
  fi
  extra=()
  if [ -d "$here/crashes/$target" ] && [ -n "$(ls -A "$here/crashes/$target")" ]; then
    extra+=("$here/crashes/$target")
  fi

  echo "== $target: ${seconds} s"
  "$exe" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -max_len="$(max_len_of "$target")" -print_final_stats=1 \
    -artifact_prefix="$run/artifacts/" "$run/corpus" "${extra[@]}" >"$run/log" 2>&1
  rc=$?

  execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$run/log" | tail -n 1)
  last=$(grep -E '#[0-9]+.*cov: ' "$run/log" | tail -n 1)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
  files=$(find "$run/corpus" -type f | wc -l)
  line="$target: ${execs:-0} executions, cov ${cov:-?}, ft ${ft:-?}, corpus ${files} files"

  # libFuzzer also saves inputs that merely ran long (slow-unit-*): worth a
  # look, but on a busy machine no fault.
  slow=$(find "$run/artifacts" -name 'slow-unit-*' | wc -l)
  faults=$(find "$run/artifacts" -type f ! -name 'slow-unit-*' | wc -l)
  if [ "$slow" -gt 0 ]; then
    line="$line, $slow slow inputs saved"
  fi
  if [ $rc -ne 0 ] || [ "$faults" -gt 0 ]; then
    status=1
    line="$line, FAILED (exit $rc)"
    echo "---- $target: last lines of $run/log"
    tail -n 60 "$run/log"
    echo "---- saved inputs:"
    ls -l "$run/artifacts"
  fi
  echo "$line"
  summary+=("$line")
done

echo "== fuzzing summary"
printf '%s\n' "${summary[@]}"
exit $status
