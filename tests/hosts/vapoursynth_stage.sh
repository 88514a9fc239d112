#!/usr/bin/env bash
# CI stage: the VapourSynth plug-in inside a real VapourSynth core, built once into the host cache
# (tests/hosts/build_hosts.sh). Where this clone has no snapshot beside it, says so and passes.
#
#   tests/hosts/vapoursynth_stage.sh [BUILD_DIR]     (default build/release, configured here)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/release}
started=$(date +%s)

line=$(bash tests/hosts/build_hosts.sh vapoursynth | tail -n1)
case "$line" in
  vapoursynth=skipped*)
    echo "VapourSynth host tests SKIPPED: ${line#vapoursynth=skipped: }"
    exit 0 ;;
esac
core=${line#vapoursynth=}
echo "VapourSynth core: $core (ready after $(( $(date +%s) - started )) s)"

cmake -S . -B "$build" -DDUNMOREL_VAPOURSYNTH_INCLUDE_DIR="$core/include" \
  -DDUNMOREL_VAPOURSYNTH_CORE="$core/core/libvapoursynth.so" >/dev/null
cmake --build "$build" --target vsdunmorel vapoursynth_host_tests
tests="$build/bin/vapoursynth_host_tests"
"$tests" --gtest_brief=1 | grep -E '^\[cross-host\]|PASSED|FAILED'
[ "${PIPESTATUS[0]}" -eq 0 ]

# Under valgrind (which hides AVX-512, so the AVX2 kernels run): one picture per format, every
# message, parallel requests. The host's own resize is not used, so no suppression is needed.
log=$(mktemp)
if ! valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=9 --keep-debuginfo=yes \
    "$tests" --gtest_brief=1 --gtest_filter='Table/CrossHost.*defaults:Formats/Messages.*:Parallel.*:Refusal.*' \
    >"$log" 2>&1; then
  cat "$log"
  echo "VapourSynth host tests under valgrind FAILED"
  exit 1
fi
grep -E 'ERROR SUMMARY|definitely lost|PASSED' "$log" | sed 's/^==[0-9]*== /valgrind: /'
rm -f "$log"
echo "VapourSynth host stage: $(( $(date +%s) - started )) s"
