#!/usr/bin/env bash
# Runs each fuzz target for a bounded time, starting from its checked-in seed corpus, and prints
# its closing figures. New inputs go to a scratch directory, never into fuzz/corpus/. A target
# that finds a fault fails the run; its log tail and the input that caused it (base64, since the
# scratch directory goes with the run) are printed.
#
#   fuzz/run.sh [BUILD_DIR] [TARGET...]
#
# Without targets, every *_fuzzer in BUILD_DIR/bin runs. FUZZ_SECONDS (default 45) per target.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build/fuzz}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for binary in "$build"/bin/*_fuzzer; do
    [ -x "$binary" ] && targets+=("$(basename "$binary")")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no fuzz targets in $build/bin" >&2
  exit 1
fi
seconds="${FUZZ_SECONDS:-45}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
failed=0
passed=0
for target in "${targets[@]}"; do
  binary="$build/bin/$target"
  seeds="$here/corpus/$target"
  if [ ! -x "$binary" ]; then
    echo "fuzz: $target: not built at $binary" >&2
    failed=1
    continue
  fi
  mkdir -p "$scratch/$target"
  log="$scratch/$target.log"
  status=0
  # -timeout catches an input that hangs; -rss_limit_mb one that eats memory.
  "$binary" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$scratch/$target-" "$scratch/$target" "$seeds" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")"
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "fuzz: $target FAILED (exit $status) after ${runs:-?} executions"
    tail -n 80 "$log"
    for artifact in "$scratch/$target-"*; do
      [ -e "$artifact" ] || continue
      echo "fuzz: reproducer $(basename "$artifact") (base64; decode and run: $target FILE):"
      base64 -w 76 "$artifact"
    done
  else
    grep -E '^Done [0-9]+ runs' "$log" || true
    echo "fuzz: $target: ${runs:-?} executions, ${rate:-?} per second, no fault (${seconds}s)"
    passed=$((passed + 1))
  fi
done
echo "fuzz: $passed passed, $((${#targets[@]} - passed)) failed"
exit "$failed"
