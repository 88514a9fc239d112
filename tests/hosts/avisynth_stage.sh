#!/usr/bin/env bash
# CI stage: the AviSynth plug-ins (2.5 and C interface) inside a real AviSynth+ core, built once
# into the host cache (tests/hosts/build_hosts.sh). Where this clone has no snapshot beside it,
# says so and passes.
#
#   tests/hosts/avisynth_stage.sh
#
# Builds the host test program against the core (preset "hosts", RelWithDebInfo so that valgrind
# can name the plug-ins' frames), installs into a temporary prefix, runs the host suite with that
# tree for its autoload check, then one script of each kind under valgrind, each with both
# plug-ins: 0 errors with the core's suppression file and 0 bytes definitely lost.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS

source tests/hosts/stage_common.sh
host_core avisynth "AviSynth+"

DUNMOREL_AVISYNTH_DIR=$core cmake --preset hosts >/dev/null
cmake --build --preset hosts
tests=build/hosts/bin/avisynth_host_tests
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build/hosts --prefix "$prefix" >/dev/null
echo "install tree:"
(cd "$prefix" && find . -mindepth 1 | sort | sed 's/^/    /')

DUNMOREL_INSTALL_PREFIX=$prefix "$tests" --gtest_brief=1

# One script per format (the C plug-in's own layouts too), argument errors, a report, Prefetch(4)
# and frame properties.
filter='*/yv12_defaults:*/i420_defaults:*/yuy2_defaults:*/rgb24_defaults:*/rgb32_defaults'
filter+=':*/yv16_defaults:*/y8_defaults:*/planar_rgb_defaults:*/error_xgrid_even:*/error_format'
filter+=':*/report_rgb24:*/prefetch_yv12:*/prefetch_planar_rgb:*/yuv420p10_defaults:*/prefetch_yuv420p10'
filter+=':*/rgbp10_defaults:HostOnly.FrameProperties*'
log=$prefix/memcheck.log
if ! valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=9 \
    --keep-debuginfo=yes --suppressions="$core/avisynthplus.supp" --log-file="$log" \
    "$tests" --gtest_brief=1 --gtest_filter="$filter" >"$prefix/memcheck.out" 2>&1 ||
  ! grep -q 'ERROR SUMMARY: 0 errors' "$log" || grep -q 'definitely lost: [1-9]' "$log"; then
  cat "$prefix/memcheck.out" "$log"
  echo "AviSynth+ host tests under valgrind FAILED"
  exit 1
fi
grep -E 'PASSED|^host tests:' "$prefix/memcheck.out"
# With no leak at all valgrind prints no "definitely lost" line.
grep -E 'ERROR SUMMARY|definitely lost|All heap blocks were freed' "$log" |
  sed 's/^==[0-9]*== /valgrind: /'
echo "AviSynth+ host stage: $((SECONDS - started)) s"
