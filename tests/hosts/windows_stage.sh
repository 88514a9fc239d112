#!/usr/bin/env bash
# CI stage: the Windows x64 builds (cmake --preset windows) inside Windows builds of the real
# hosts, run under Wine, held to the Linux build of the same commit byte for byte. Where this
# clone has no snapshots beside it, or the machine has no MinGW-w64 or Wine, says so and passes.
#
#   tests/hosts/windows_stage.sh
#
# The hosts and a Wine prefix are built once into the host cache (build_hosts.sh). The Linux
# host programs (preset "hosts", which the Linux stages before this one have built) record
# their answers; the same programs built for Windows compare theirs with them. Also: every
# vector path against the scalar one under the Windows calling convention, the imports of each
# Windows file, the zip and the wheel, and the VapourSynth core autoloading the wheel's DLL.
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS

wine=/usr/lib/wine/wine64
if [ ! -x "$wine" ] || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  echo "Windows host tests SKIPPED: no Wine ($wine) or MinGW-w64 (x86_64-w64-mingw32-g++-posix);" \
    "DUNMOREL_WINDOWS=1 bash .ci/deps installs them"
  exit 0
fi
source tests/hosts/stage_common.sh
host_core avisynth-windows "AviSynth+ for Windows"
avs_windows=$core
host_core vapoursynth-windows "VapourSynth for Windows"
vs_windows=$core
host_core avisynth "AviSynth+"
avs_linux=$core
host_core vapoursynth "VapourSynth"
vs_linux=$core

cache=${DUNMOREL_HOST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/dunmorel-hosts}
export WINEPREFIX="$cache/wine-$("$wine" --version | sha256sum | cut -c1-16)"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.complete" ]; then
  rm -rf "$WINEPREFIX"
  timeout -k 5 120 "$wine" wineboot -i >/dev/null 2>&1
  touch "$WINEPREFIX/.complete"
fi
echo "Wine prefix: $WINEPREFIX (ready after $((SECONDS - started)) s)"
work=$(mktemp -d)
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
# A Windows program under Wine, bounded: a crash prints a backtrace and ends it at once.
win() { timeout -k 5 60 "$wine" "$@"; }

# The Linux answers, from the programs that compare them with the 2.5 plug-in and the command.
DUNMOREL_AVISYNTH_DIR=$avs_linux DUNMOREL_VAPOURSYNTH_DIR=$vs_linux cmake --preset hosts >/dev/null
cmake --build build/hosts --target avisynth_host_tests vapoursynth_host_tests dunmorel_cli
for host in avisynth vapoursynth; do
  mkdir -p "$work/$host-linux"
  DUNMOREL_RECORD_DIR=$work/$host-linux build/hosts/bin/${host}_host_tests --gtest_brief=1 >"$work/$host.out" 2>&1 ||
    { cat "$work/$host.out"; exit 1; }
done

# The Windows build: the user's preset, with the test programs.
cmake --preset windows -DDUNMOREL_TESTS=ON -DDUNMOREL_AVISYNTH_DIR="$avs_windows" \
  -DDUNMOREL_VAPOURSYNTH_DIR="$vs_windows" >/dev/null
cmake --build build/windows --target dunmorel_avsplus vsdunmorel dunmorel_cli avisynth_host_tests \
  vapoursynth_host_tests kernel_tests simd_check_tests
bin=build/windows/bin

echo "imports of the Windows files (system DLLs only, and the host's for a plug-in linking it):"
system_dlls='^(kernel32|msvcrt|user32|advapi32|shell32|ole32|oleaut32|ws2_32|bcrypt|ntdll)\.dll$'
for f in build/windows/lib/*.dll "$bin"/dunmorel.exe; do
  [ -f "$f" ] || continue
  names=$(x86_64-w64-mingw32-objdump -p "$f" | sed -n 's/^\tDLL Name: //p')
  echo "    $(basename "$f"): $(echo $names)"
  for n in $names; do
    echo "$n" | tr 'A-Z' 'a-z' | grep -Eq "$system_dlls" ||
      { echo "Windows host tests FAILED: $(basename "$f") imports $n"; exit 1; }
  done
done

echo "every vector path against the scalar one, under Wine:"
for t in kernel_tests simd_check_tests; do
  win "$bin/$t.exe" --gtest_brief=1 | tr -d '\r' | grep -E 'PASSED|FAILED|SKIPPED' | sed "s/^/    $t: /"
  [ "${PIPESTATUS[0]}" -eq 0 ]
done

echo "AviSynth+ under Wine, Windows bytes against Linux bytes (the Linux ones equal the 2.5 plug-in's and the command's):"
DUNMOREL_REFERENCE_DIR=$work/avisynth-linux win "$bin/avisynth_host_tests.exe" --gtest_brief=1 | tr -d '\r' |
  grep -E '^  [a-z0-9_]+: |^log of|^host tests:|PASSED|FAILED'
[ "${PIPESTATUS[0]}" -eq 0 ]

echo "VapourSynth under Wine, Windows bytes against Linux bytes:"
DUNMOREL_REFERENCE_DIR=$work/vapoursynth-linux win "$bin/vapoursynth_host_tests.exe" --gtest_brief=1 | tr -d '\r' |
  grep -E '^\[cross-host\]|PASSED|FAILED'
[ "${PIPESTATUS[0]}" -eq 0 ]

# dunmorel.exe on files, against the Linux command on the same files: output bytes, messages
# (Windows ends the lines of its standard error with CR LF) and exit statuses.
echo "dunmorel.exe under Wine against the Linux command:"
clips=$work/clips
mkdir -p "$clips"
ffmpeg -loglevel error -f lavfi -i "testsrc=size=320x240:rate=25,noise=alls=20:allf=t" -frames:v 4 \
  -pix_fmt yuv420p "$clips/yv12.y4m"
ffmpeg -loglevel error -f lavfi -i "testsrc=size=320x240:rate=25,noise=alls=20:allf=t" -frames:v 3 \
  -pix_fmt yuyv422 -f rawvideo "$clips/yuyv.raw"
linux_cli=$PWD/build/hosts/bin/dunmorel
windows_cli=$PWD/$bin/dunmorel.exe
raw="-i yuyv.raw --format yuyv422 --size 320x240"
while IFS='|' read -r name args; do
  set +e
  (cd "$clips" && "$linux_cli" $args -o linux.out 2>linux.err)
  linux_status=$?
  (cd "$clips" && win "$windows_cli" $args -o windows.out 2>windows.err)
  windows_status=$?
  set -e
  tr -d '\r' <"$clips/windows.err" >"$clips/windows.txt"
  touch "$clips/linux.out" "$clips/windows.out"
  if [ "$linux_status" != "$windows_status" ] || ! cmp -s "$clips/linux.out" "$clips/windows.out" ||
    ! cmp -s "$clips/linux.err" "$clips/windows.txt"; then
    echo "    $name: FAILED (exit $windows_status against $linux_status)"
    diff "$clips/linux.err" "$clips/windows.txt" | head -5
    exit 1
  fi
  echo "    $name: exit $windows_status, $(wc -c <"$clips/windows.out") bytes out," \
    "$(wc -l <"$clips/windows.txt") message lines, equal to Linux"
  rm -f "$clips"/linux.* "$clips"/windows.*
done <<TABLE
yv12 default|-i yv12.y4m
yv12 manual window|-i yv12.y4m autow=false lx=10 rx=100 ty=10 by=80 xgrid=7
yuyv422 default|$raw
yuyv422 manual window|$raw autow=false lx=12 rx=120 ty=20 by=90
argument error|-i yv12.y4m xgrid=4
print=true|-i yv12.y4m print=true
TABLE

# The wheel, installed as pip installs it for Windows, and the core beside it autoloading the DLL.
cmake --build build/windows --target wheel >/dev/null
wheel=$(ls build/windows/wheel/dunmorel-*-win_amd64.whl)
python3 -m pip install -q --no-index --no-deps --platform win_amd64 --only-binary=:all: \
  --root-user-action=ignore --target "$work/site" "$wheel"
cp "$vs_windows/core/VapourSynth.dll" "$work/site/vapoursynth/"
DUNMOREL_VS_CORE=$work/site/vapoursynth/VapourSynth.dll \
  DUNMOREL_VS_AUTOLOADED=$work/site/vapoursynth/plugins/vsdunmorel.dll \
  win "$bin/vapoursynth_host_tests.exe" --gtest_brief=1 --gtest_filter='Autoload.*' | tr -d '\r' |
  grep -E '^\[autoload\]|PASSED|FAILED|SKIPPED'
[ "${PIPESTATUS[0]}" -eq 0 ]
echo "wheel $(basename "$wheel"):"
python3 -m zipfile -l "$wheel" | sed 's/^/    /'

cmake --build build/windows --target package >/dev/null
zip=$(ls build/windows/dunmorel-*-win64.zip)
echo "zip $(basename "$zip"):"
python3 -m zipfile -l "$zip" | sed 's/^/    /'
echo "Windows host stage: $((SECONDS - started)) s"
