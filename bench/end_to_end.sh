#!/usr/bin/env bash
# Times the dunmorel command on a synthesised noisy 1080p YV12 clip with default arguments,
# with 1 and 2 threads, beside ffmpeg's plain 5x5 box blur over all planes on the same clip,
# and reports the peak resident size of the command for a short and a ten times longer clip.
#
#   bench/end_to_end.sh [BUILD_DIR] [FRAMES]     (defaults: build/release, 60)
set -euo pipefail
build=${1:-build/release}
frames=${2:-60}
tool="$build/bin/dunmorel"
[ -x "$tool" ] || { echo "no $tool; build the release preset first" >&2; exit 1; }
command -v ffmpeg >/dev/null && [ -x /usr/bin/time ] || { echo "ffmpeg and /usr/bin/time are needed (apt-get install ffmpeg time)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_clip() {  # $1 frames, $2 file
  ffmpeg -loglevel error -f lavfi -i "testsrc2=size=1920x1080:rate=25" -vf "noise=alls=12:allf=t,format=yuv420p" \
    -frames:v "$1" -f yuv4mpegpipe -y "$2"
}

seconds() {  # runs "$@", prints elapsed seconds
  local start end
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

fps() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.2f", n / t }'; }

make_clip "$frames" "$work/clip.y4m"
echo "clip: $frames frames of 1920x1080 YV12 (testsrc2 with noise), default arguments"

t1=$(seconds "$tool" --quiet --threads 1 -i "$work/clip.y4m" -o /dev/null)
t2=$(seconds "$tool" --quiet --threads 2 -i "$work/clip.y4m" -o /dev/null)
tb=$(seconds ffmpeg -loglevel error -i "$work/clip.y4m" -vf avgblur=sizeX=2:sizeY=2 -f rawvideo -y /dev/null)
printf '%-40s %8s fps\n' "dunmorel --threads 1" "$(fps "$frames" "$t1")"
printf '%-40s %8s fps\n' "dunmorel --threads 2" "$(fps "$frames" "$t2")"
printf '%-40s %8s fps\n' "ffmpeg avgblur=sizeX=2:sizeY=2" "$(fps "$frames" "$tb")"
awk -v a="$tb" -v b="$t2" 'BEGIN { printf "speed of dunmorel --threads 2 relative to ffmpeg avgblur: %.2f\n", a / b }'

peak_kb() { /usr/bin/time -f '%M' "$tool" --quiet --threads 2 -i "$1" -o /dev/null 2>&1 >/dev/null | tail -1; }
long=$((frames * 10))
make_clip "$long" "$work/long.y4m"
echo "peak resident size with --threads 2: $frames frames $(peak_kb "$work/clip.y4m") KiB, $long frames $(peak_kb "$work/long.y4m") KiB"
