#!/usr/bin/env bash
# The plug-in inside a real host, as CI runs it:
#
#   tests/hosts/run_stage.sh avisynth
#
# builds the host once per snapshot (build_hosts.sh; skipped with its reason where this clone
# has no snapshot beside it), builds the host test program against it (preset "hosts"),
# installs into a temporary prefix, runs the host suite with that tree for its autoload check,
# then runs one script of each kind under valgrind: 0 errors with the host's suppression file
# and 0 bytes definitely lost.
set -euo pipefail
cd "$(dirname "$0")/../.."
host=${1:?usage: $0 avisynth}
started=$SECONDS
log() { echo "host stage $host: $*"; }

line=$(bash tests/hosts/build_hosts.sh "$host")
dir=${line#*=}
case $dir in
  skipped:*) log "skipped (${dir#skipped: })"; exit 0 ;;
esac
log "host built in $dir ($((SECONDS - started)) s so far)"

# Per host: the CMake variable that names its build, its test program, its suppressions, and
# the scripts that valgrind runs (one per format, an argument error, a report, Prefetch).
case $host in
  avisynth)
    dir_variable=DUNMOREL_AVISYNTH_DIR
    program=avisynth_host_tests
    suppressions=$dir/avisynthplus.supp
    memcheck_filter='*/yv12_defaults:*/i420_defaults:*/yuy2_defaults:*/rgb24_defaults'
    memcheck_filter+=':*/rgb32_defaults:*/error_xgrid_even:*/report_rgb24:*/prefetch_yv12'
    ;;
  *) echo "usage: $0 avisynth" >&2; exit 2 ;;
esac

env "$dir_variable=$dir" cmake --preset hosts >/dev/null
cmake --build --preset hosts
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build/hosts --prefix "$prefix" >/dev/null
log "install tree:"
(cd "$prefix" && find . -mindepth 1 | sort | sed 's/^/    /')

DUNMOREL_INSTALL_PREFIX=$prefix "build/hosts/bin/$program"

memcheck_log=$prefix/memcheck.log
status=0
valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \
  --keep-debuginfo=yes --suppressions="$suppressions" --error-exitcode=3 \
  --log-file="$memcheck_log" "build/hosts/bin/$program" --gtest_filter="$memcheck_filter" \
  >"$prefix/memcheck.out" 2>&1 || status=$?
grep -E '^\[ *(OK|FAILED|PASSED|SKIPPED) *\]|^host tests:' "$prefix/memcheck.out" |
  sed 's/^/    /'
grep -E 'ERROR SUMMARY|definitely lost|All heap blocks were freed' "$memcheck_log" |
  sed 's/^==[0-9]*== /    valgrind: /'
# Without any leak valgrind prints no "definitely lost" line at all.
if [ "$status" -ne 0 ] || ! grep -q 'ERROR SUMMARY: 0 errors' "$memcheck_log" ||
  grep -E 'definitely lost: [1-9]' "$memcheck_log" >/dev/null; then
  cat "$memcheck_log" >&2
  log "FAILED under valgrind"
  exit 1
fi
log "passed in $((SECONDS - started)) s"
