#!/usr/bin/env bash
# The README's recipe for a clip on many machines, run here with local jobs only: GNU parallel
# runs one --range piece per job, cat joins the pieces, and the result must equal one whole run
# byte for byte, for a Y4M clip whose reference frame lies inside a later piece and for raw
# RGB24. Exit 77 (skipped) without GNU parallel or ffmpeg, or where the preset did not build the
# command (the scalar preset builds the kernel and frame tests only).
#
#   tests/parallel_ranges_test.sh DUNMOREL
set -euo pipefail
[ -x "$1" ] || {
  echo "$1 is not built in this build"
  exit 77
}
tool=$(realpath "$1")
command -v parallel >/dev/null && command -v ffmpeg >/dev/null || {
  echo "GNU parallel and ffmpeg are needed (apt-get install parallel ffmpeg)"
  exit 77
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

frames=12
size=5  # frames a piece; the last piece is shorter and its LAST lies past the clip
ffmpeg -loglevel error -f lavfi -i "testsrc2=size=352x288:rate=25" -vf "noise=alls=12:allf=t" \
  -frames:v "$frames" -pix_fmt yuv420p -f yuv4mpegpipe -y clip.y4m
ffmpeg -loglevel error -i clip.y4m -pix_fmt bgr24 -f rawvideo -y clip.rgb

check() {  # $1 name, $2 input, then the command's other arguments
  local name=$1 input=$2
  shift 2
  "$tool" -q -i "$input" -o "whole-$name" "$@"
  # Each job reads the whole input and measures on frame nf of the whole clip; the pieces are
  # named by their first frame, zero-padded, so that the shell's sort order is the frame order.
  seq 0 "$size" $((frames - 1)) |
    parallel --will-cite -j 3 "$tool" -q -i "$input" -o "piece-$name-\$(printf %06d {}).out" \
      --range "{}:\$(( {} + $size - 1 ))" "$@"
  cat piece-"$name"-*.out >"joined-$name"
  if cmp -s "$input" "whole-$name"; then
    echo "FAIL $name: the whole run left the clip unchanged, so the comparison proves nothing"
    return 1
  fi
  if ! cmp "whole-$name" "joined-$name"; then
    echo "FAIL $name: the joined pieces differ from one whole run"
    return 1
  fi
  echo "ok $name: $(ls piece-"$name"-*.out | wc -l) pieces joined equal one whole run"
}

failed=0
check y4m-nf7 clip.y4m nf=7 || failed=1
check rgb24 clip.rgb --format rgb24 --size 352x288 || failed=1
exit "$failed"
