#!/usr/bin/env bash
# Builds the real frame servers that the host test programs load, from the source snapshots in
# ../shared/hosts, into a cache outside the clone. Each build is keyed by its tarballs' checksum,
# so a later run on the same machine finds it and skips the build.
#
#   tests/hosts/build_hosts.sh [avisynth|vapoursynth|all]
#
# Prints one line per host on standard output: NAME=DIRECTORY of the finished build, or
# NAME=skipped: REASON when this clone has no snapshot beside it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
snapshots=${DUNMOREL_HOST_SNAPSHOTS:-$repo/../shared/hosts}
cache=${DUNMOREL_HOST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/dunmorel-hosts}
what=${1:-all}
jobs=$(nproc 2>/dev/null || echo 2)

log() { echo "build_hosts: $*" >&2; }

# One finished build lives in $cache/NAME-KEY; a marker file written last tells it is complete,
# so an interrupted build is redone rather than trusted.
key_of() { cat "$@" | sha256sum | cut -c1-16; }

build_avisynth() {
  local tarball
  tarball=$(ls "$snapshots"/avisynthplus-*-core.tar.xz 2>/dev/null | head -n1 || true)
  if [ -z "$tarball" ]; then
    echo "avisynth=skipped: no AviSynth+ snapshot in $snapshots"
    return
  fi
  local dir="$cache/avisynth-$(key_of "$tarball")"
  if [ ! -f "$dir/.complete" ]; then
    log "building AviSynth+ core into $dir (a few minutes, once per snapshot)"
    rm -rf "$dir" && mkdir -p "$dir"
    tar xf "$tarball" -C "$dir"
    cmake -S "$dir/avisynthplus" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DENABLE_PLUGINS=OFF >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log" >&2; exit 1; }
    ninja -C "$dir/build" -j"$jobs" AvsCore >"$dir/build.log" 2>&1 || { tail -50 "$dir/build.log" >&2; exit 1; }
    cp "$snapshots/avisynthplus.supp" "$dir/" 2>/dev/null || true
    touch "$dir/.complete"
  fi
  echo "avisynth=$dir"
}

build_vapoursynth() {
  local vs zimg mk
  vs=$(ls "$snapshots"/vapoursynth-*-core.tar.xz 2>/dev/null | head -n1 || true)
  zimg=$(ls "$snapshots"/zimg-*-lib.tar.xz 2>/dev/null | head -n1 || true)
  mk="$snapshots/vapoursynth-core.mk"
  if [ -z "$vs" ] || [ -z "$zimg" ] || [ ! -f "$mk" ]; then
    echo "vapoursynth=skipped: no VapourSynth snapshot (core, zimg and makefile) in $snapshots"
    return
  fi
  local dir="$cache/vapoursynth-$(key_of "$vs" "$zimg" "$mk")"
  if [ ! -f "$dir/.complete" ]; then
    log "building zimg and the VapourSynth core into $dir (a few minutes, once per snapshot)"
    rm -rf "$dir" && mkdir -p "$dir"
    tar xf "$zimg" -C "$dir"
    tar xf "$vs" -C "$dir"
    local zsrc vsrc
    zsrc=$(ls -d "$dir"/zimg-*/ | head -n1)
    vsrc=$(ls -d "$dir"/vapoursynth-*/ | head -n1)
    (cd "$zsrc" && ./autogen.sh && mkdir -p build && cd build \
      && ../configure --prefix="$dir/zimg" --disable-shared --enable-static --with-pic CXXFLAGS=-O2 \
      && make -j"$jobs" && make install) >"$dir/zimg.log" 2>&1 || { tail -50 "$dir/zimg.log" >&2; exit 1; }
    mkdir -p "$dir/core"
    PKG_CONFIG_PATH="$dir/zimg/lib/pkgconfig" make -f "$mk" -C "$dir/core" -j"$jobs" \
      SRC="${vsrc%/}" OPT="-O2 -g" >"$dir/core.log" 2>&1 || { tail -50 "$dir/core.log" >&2; exit 1; }
    ln -sfn "${vsrc%/}/include" "$dir/include"
    touch "$dir/.complete"
  fi
  echo "vapoursynth=$dir"
}

case "$what" in
  avisynth) build_avisynth ;;
  vapoursynth) build_vapoursynth ;;
  all) build_avisynth; build_vapoursynth ;;
  *) echo "usage: $0 [avisynth|vapoursynth|all]" >&2; exit 2 ;;
esac
