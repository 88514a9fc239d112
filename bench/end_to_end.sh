#!/usr/bin/env bash
# Everything the speed goals are about, in one run: the 5x5 kernel's ratio to the scalar
# reference per instruction set; one 1080p frame through GetFrame on 1 and 2 cores; the dunmorel
# command end to end on a synthesised noisy 1080p YV12 clip (default arguments) with 1 and 2
# threads beside ffmpeg's 5x5 box blur and hqdn3d on the same clip; the same clip at 10 bits
# (4:2:0, made from it by ffmpeg) with 1 and 2 threads, each rate against the 8-bit one, beside
# the box blur on the 10-bit clip; the fraction of the
# kernel-bound ideal from the same build's kernel benchmark; and the command's peak resident
# size for a short and a ten times longer clip. With DUNMOREL_OLD_TOOL set to another build of
# the command, both are timed on the clip as YV12, YUY2 and RGB24, alternately in the same run.
#
#   bench/end_to_end.sh [BUILD_DIR] [FRAMES] [NOISE]     (defaults: build/release, 60, 9)
#
# NOISE is ffmpeg's noise=alls strength (uniform grain; 9 is about sigma 5).
set -euo pipefail
build=${1:-build/release}
frames=${2:-60}
noise=${3:-9}
tool="$build/bin/dunmorel"
kernels="$build/bin/kernel_bench"
[ -x "$tool" ] && [ -x "$kernels" ] || { echo "no $tool or $kernels; build the release preset first" >&2; exit 1; }
command -v ffmpeg >/dev/null && [ -x /usr/bin/time ] || { echo "ffmpeg and /usr/bin/time are needed (apt-get install ffmpeg time)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_clip() {  # $1 frames, $2 file
  ffmpeg -loglevel error -f lavfi -i "testsrc2=size=1920x1080:rate=25" \
    -vf "noise=alls=$noise:allf=t,format=yuv420p" -frames:v "$1" -f yuv4mpegpipe -y "$2"
}

seconds() {  # runs "$@" three times, prints the best elapsed seconds
  local best="" start end t
  for _ in 1 2 3; do
    start=$(date +%s.%N); "$@"; end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
    best=$(awk -v a="$best" -v b="$t" 'BEGIN { print (a == "" || b < a) ? b : a }')
  done
  echo "$best"
}
fps() { awk -v n="$frames" -v t="$1" 'BEGIN { printf "%.1f", n / t }'; }

"$kernels" --benchmark_filter='^(plane|frames)/.*/5x5' --benchmark_out="$work/kernels.json" \
  --benchmark_out_format=json 2>/dev/null | grep '^whole pass 5x5' || true
[ -x "$build/bin/frame_bench" ] && "$build/bin/frame_bench" 2>/dev/null | grep -a 'single 1080p' | sed 's/^.*single/single/' || true

make_clip "$frames" "$work/clip.y4m"
report=$("$tool" -q -i "$work/clip.y4m" -o /dev/null print=true 2>&1 || true)
echo "clip: $frames frames of 1920x1080 YV12 (testsrc2, noise=alls=$noise), default arguments"
echo "calibration: $report"

t_dec=$(seconds ffmpeg -loglevel error -i "$work/clip.y4m" -f null -)
t1=$(seconds "$tool" --quiet --threads 1 -i "$work/clip.y4m" -o /dev/null)
t2=$(seconds "$tool" --quiet --threads 2 -i "$work/clip.y4m" -o /dev/null)
t_box=$(seconds ffmpeg -loglevel error -i "$work/clip.y4m" -vf avgblur=sizeX=2:sizeY=2:planes=7 -f rawvideo -y /dev/null)
t_hq=$(seconds ffmpeg -loglevel error -i "$work/clip.y4m" -vf hqdn3d -f rawvideo -y /dev/null)
printf '%-44s %8s fps\n' "ffmpeg decode to null (floor)" "$(fps "$t_dec")"
printf '%-44s %8s fps\n' "dunmorel --threads 1" "$(fps "$t1")"
printf '%-44s %8s fps\n' "dunmorel --threads 2" "$(fps "$t2")"
printf '%-44s %8s fps\n' "ffmpeg avgblur=sizeX=2:sizeY=2:planes=7" "$(fps "$t_box")"
printf '%-44s %8s fps\n' "ffmpeg hqdn3d" "$(fps "$t_hq")"
awk -v a="$t_box" -v h="$t_hq" -v b="$t2" 'BEGIN {
  printf "dunmorel --threads 2 against ffmpeg avgblur: %.2fx, against hqdn3d: %.2fx\n", a / b, h / b }'

# The same pictures at 10 bits: calibrated as the 8-bit clip, filtered at full precision.
ffmpeg -loglevel error -i "$work/clip.y4m" -pix_fmt yuv420p10le -strict -1 -f yuv4mpegpipe -y "$work/clip10.y4m"
t10_1=$(seconds "$tool" --quiet --threads 1 -i "$work/clip10.y4m" -o /dev/null)
t10_2=$(seconds "$tool" --quiet --threads 2 -i "$work/clip10.y4m" -o /dev/null)
t10_box=$(seconds ffmpeg -loglevel error -i "$work/clip10.y4m" -vf avgblur=sizeX=2:sizeY=2:planes=7 -f rawvideo -y /dev/null)
printf '%-44s %8s fps, %s of 8 bits\n' "dunmorel 10-bit --threads 1" "$(fps "$t10_1")" \
  "$(awk -v a="$t1" -v b="$t10_1" 'BEGIN { printf "%.2fx", a / b }')"
printf '%-44s %8s fps, %s of 8 bits\n' "dunmorel 10-bit --threads 2" "$(fps "$t10_2")" \
  "$(awk -v a="$t2" -v b="$t10_2" 'BEGIN { printf "%.2fx", a / b }')"
printf '%-44s %8s fps\n' "ffmpeg avgblur 10-bit" "$(fps "$t10_box")"
awk -v a="$t10_box" -v b="$t10_2" 'BEGIN { printf "dunmorel 10-bit --threads 2 against ffmpeg avgblur 10-bit: %.2fx\n", a / b }'

# Kernel-bound ideal: the sample-passes of one frame (pass counts from the report) at the rate of
# the best 5x5 whole-pass kernel of this build, on two cores; once at the rate on one plane that
# stays in the cache (the benchmark's main figure), once over planes that come from memory, as
# a stream of frames does.
best_rate() {  # $1: benchmark name prefix
  python3 -c 'import json,sys; print(max(b.get("items_per_second", 0) for b in json.load(open(sys.argv[1]))["benchmarks"] if b["name"].startswith(sys.argv[2])))' "$work/kernels.json" "$1"
}
read -r py pu pv < <(echo "$report" | grep -o 'iter [0-9]*' | awk '{ printf "%s ", $2 } END { print "" }')
for kind in plane frames; do
  awk -v r="$(best_rate "$kind/")" -v kind="$kind" -v py="$py" -v pu="$pu" -v pv="$pv" -v t2="$t2" -v n="$frames" 'BEGIN {
    s = 1920 * 1080 * py + 960 * 540 * (pu + pv)
    ideal = 2 * r / s
    what = kind == "plane" ? "kernel-bound ideal" : "the same, planes from memory"
    printf "%s: %.2f M sample-passes a frame at %.0f M samples/s a core -> %.1f fps on 2 cores; dunmorel --threads 2 reaches %.0f%%\n",
      what, s / 1e6, r / 1e6, ideal, 100 * (n / t2) / ideal }'
done

if [ -n "${DUNMOREL_OLD_TOOL:-}" ]; then
  ffmpeg -loglevel error -i "$work/clip.y4m" -f rawvideo -pix_fmt yuyv422 -y "$work/clip.yuy2"
  ffmpeg -loglevel error -i "$work/clip.y4m" -f rawvideo -pix_fmt bgr24 -y "$work/clip.rgb"
  for f in "yv12:clip.y4m:" "yuy2:clip.yuy2:--format yuy2 --size 1920x1080" "rgb24:clip.rgb:--format rgb24 --size 1920x1080"; do
    IFS=: read -r name file opts <<<"$f"
    # shellcheck disable=SC2086
    t_old=$(seconds "$DUNMOREL_OLD_TOOL" --quiet --threads 2 -i "$work/$file" $opts -o /dev/null)
    # shellcheck disable=SC2086
    t_new=$(seconds "$tool" --quiet --threads 2 -i "$work/$file" $opts -o /dev/null)
    printf '%-6s --threads 2: old %6s fps, new %6s fps, new/old %s\n' "$name" "$(fps "$t_old")" "$(fps "$t_new")" \
      "$(awk -v a="$t_old" -v b="$t_new" 'BEGIN { printf "%.2f", a / b }')"
  done
fi

peak_kb() { /usr/bin/time -f '%M' "$tool" --quiet --threads 2 -i "$1" -o /dev/null 2>&1 >/dev/null | tail -1; }
long=$((frames * 10))
make_clip "$long" "$work/long.y4m"
echo "peak resident size with --threads 2: $frames frames $(peak_kb "$work/clip.y4m") KiB, $long frames $(peak_kb "$work/long.y4m") KiB"
