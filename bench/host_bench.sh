#!/usr/bin/env bash
# The plug-in inside the real VapourSynth core beside the core's own 5x5 box blur and
# convolution on the clip of bench/end_to_end.sh, in one run (release build of the plug-in, the cached core of build_hosts.sh).
#
#   bench/host_bench.sh [FRAMES] [THREADS]
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
frames=${1:-60}
threads=${2:-2}

source tests/hosts/stage_common.sh
host_core vapoursynth "VapourSynth"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The clip of bench/end_to_end.sh: testsrc2 with uniform grain of about sigma 5.
ffmpeg -loglevel error -f lavfi -i "testsrc2=size=1920x1080:rate=25" \
  -vf "noise=alls=9:allf=t,format=yuv420p" -frames:v "$frames" -f rawvideo -y "$work/clip.yuv"

build=build/host-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDUNMOREL_TESTS=OFF -DDUNMOREL_BENCH=ON \
  -DDUNMOREL_VAPOURSYNTH_DIR="$core" >/dev/null
cmake --build "$build" --target vsdunmorel vapoursynth_bench >/dev/null
lscpu | sed -n 's/^Model name: *//p'
"$build/bin/vapoursynth_bench" "$core/core/libvapoursynth.so" "$build/lib/libvsdunmorel.so" \
  "$work/clip.yuv" "$frames" "$threads"
