#!/usr/bin/env bash
# CI stage: the VapourSynth plug-in inside a real VapourSynth core, built once into the host cache
# (tests/hosts/build_hosts.sh). Where this clone has no snapshot beside it, says so and passes.
#
#   tests/hosts/vapoursynth_stage.sh
#
# Builds the plug-in and the host test program (preset "hosts"), installs into a temporary prefix
# and loads the installed plug-in, runs the suite, then one picture per format, every message and
# the parallel requests under valgrind: 0 errors and 0 bytes definitely lost.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS

source tests/hosts/stage_common.sh
host_core vapoursynth "VapourSynth"

DUNMOREL_VAPOURSYNTH_DIR=$core cmake --preset hosts >/dev/null
# Everything the install rules name, and the test program.
cmake --build build/hosts --target dunmorel dunmorel_avsplus dunmorel_cli vsdunmorel vapoursynth_host_tests
tests=build/hosts/bin/vapoursynth_host_tests
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build/hosts --prefix "$prefix" >/dev/null
installed=$(find "$prefix" -path '*/vapoursynth/libvsdunmorel.so')
echo "installed: ${installed#"$prefix"/}"

# The installed plug-in is the one tested.
DUNMOREL_VS_PLUGIN=$installed "$tests" --gtest_brief=1 | grep -E '^\[cross-host\]|PASSED|FAILED'
[ "${PIPESTATUS[0]}" -eq 0 ]

# Valgrind hides AVX-512, so the AVX2 kernels run here. The host's resize functions (whose own
# false positive the notes name) are not used.
log=$prefix/memcheck.log
if ! valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=9 --keep-debuginfo=yes \
    --log-file="$log" "$tests" --gtest_brief=1 \
    --gtest_filter='Table/CrossHost.*defaults:Formats/Messages.*:Parallel.*:Refusal.*:Depths/DeepWords.*' >"$prefix/memcheck.out" 2>&1 ||
  ! grep -q 'ERROR SUMMARY: 0 errors' "$log" || grep -q 'definitely lost: [1-9]' "$log"; then
  cat "$prefix/memcheck.out" "$log"
  echo "VapourSynth host tests under valgrind FAILED"
  exit 1
fi
grep -E 'PASSED' "$prefix/memcheck.out"
grep -E 'ERROR SUMMARY|definitely lost|All heap blocks were freed' "$log" | sed 's/^==[0-9]*== /valgrind: /'

# The core finds the plug-in by itself where the install and the wheel put it: the folder named in
# VAPOURSYNTH_EXTRA_PLUGIN_PATH for the fallback install above; the `plugins` folder of a Python
# package holding the core (as VapourSynth R74+ is installed), which the configure step finds;
# and the same folder of a package the wheel was installed beside.
autoload() {  # CORE_LIBRARY EXPECTED_PLUGIN [VAR=VALUE...]
  local lib=$1 expected=$2
  shift 2
  env "$@" DUNMOREL_VS_CORE="$lib" DUNMOREL_VS_AUTOLOADED="$expected" "$tests" --gtest_brief=1 \
    --gtest_filter='Autoload.*' | grep -E '^\[autoload\]|PASSED|FAILED|SKIPPED'
  [ "${PIPESTATUS[0]}" -eq 0 ]
}
autoload "$core/core/libvapoursynth.so" "$installed" VAPOURSYNTH_EXTRA_PLUGIN_PATH="$(dirname "$installed")"
package=$prefix/python/vapoursynth
mkdir -p "$package"
touch "$package/__init__.py"
cp "$core/core/libvapoursynth.so.4" "$package/libvapoursynth.so"
PYTHONPATH=$prefix/python DUNMOREL_VAPOURSYNTH_DIR=$core cmake --preset hosts | grep 'VapourSynth plug-in installs'
cmake --install build/hosts --prefix "$prefix/beside-package" >/dev/null
autoload "$package/libvapoursynth.so" "$package/plugins/libvsdunmorel.so"
# Back to the plain configuration, whose install the other stages list.
DUNMOREL_VAPOURSYNTH_DIR=$core cmake --preset hosts >/dev/null
cmake --build build/hosts --target wheel >/dev/null
wheel=$(ls build/hosts/wheel/dunmorel-*-linux_x86_64.whl)
python3 -m pip install -q --no-index --no-deps --root-user-action=ignore --target "$prefix/site" "$wheel"
cp "$core/core/libvapoursynth.so.4" "$prefix/site/vapoursynth/libvapoursynth.so"
autoload "$prefix/site/vapoursynth/libvapoursynth.so" "$prefix/site/vapoursynth/plugins/libvsdunmorel.so"
echo "wheel $(basename "$wheel"):"
python3 -m zipfile -l "$wheel" | sed 's/^/    /'
echo "VapourSynth host stage: $((SECONDS - started)) s"
