#!/usr/bin/env bash
# Builds the real frame servers that the host test programs load, from the source snapshots in
# ../shared/hosts, into a cache outside the clone. Each build is keyed by its tarballs' checksum,
# so a later run on the same machine finds it and skips the build.
#
#   tests/hosts/build_hosts.sh [avisynth|vapoursynth|avisynth-windows|vapoursynth-windows|all]
#
# The -windows builds are Windows x64 DLLs cross-compiled with MinGW-w64 (cmake/mingw-w64-x86_64.cmake),
# for the Windows plug-ins under Wine; `all` is the two Linux builds.
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

toolchain="$repo/cmake/mingw-w64-x86_64.cmake"
mingw_missing() { ! command -v x86_64-w64-mingw32-g++-posix >/dev/null; }

# avisynth_core NAME [windows]: the AviSynth+ core, libavisynth.so or (windows) AviSynth.dll,
# linked statically so that it needs none of MinGW's runtime DLLs under Wine. Its CMakeLists
# overwrites CMAKE_SHARED_LINKER_FLAGS, so those flags go into the _RELEASE variable.
avisynth_core() {
  local name=$1 windows=${2:-} tarball
  tarball=$(ls "$snapshots"/avisynthplus-*-core.tar.xz 2>/dev/null | head -n1 || true)
  if [ -z "$tarball" ]; then
    echo "$name=skipped: no AviSynth+ snapshot in $snapshots"
    return
  fi
  local dir args=()
  if [ -n "$windows" ]; then
    if mingw_missing; then
      echo "$name=skipped: no MinGW-w64 (x86_64-w64-mingw32-g++-posix)"
      return
    fi
    dir="$cache/$name-$(key_of "$tarball" "$toolchain")"
    args=(-DCMAKE_TOOLCHAIN_FILE="$toolchain"
      -DCMAKE_SHARED_LINKER_FLAGS_RELEASE="-static -static-libgcc -static-libstdc++")
  else
    dir="$cache/$name-$(key_of "$tarball")"
  fi
  if [ ! -f "$dir/.complete" ]; then
    log "building the AviSynth+ core ($name) into $dir (a few minutes, once per snapshot)"
    rm -rf "$dir" && mkdir -p "$dir"
    tar xf "$tarball" -C "$dir"
    cmake -S "$dir/avisynthplus" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DENABLE_PLUGINS=OFF "${args[@]}" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log" >&2; exit 1; }
    ninja -C "$dir/build" -j"$jobs" AvsCore >"$dir/build.log" 2>&1 || { tail -50 "$dir/build.log" >&2; exit 1; }
    cp "$snapshots/avisynthplus.supp" "$dir/" 2>/dev/null || true
    touch "$dir/.complete"
  fi
  echo "$name=$dir"
}

# vapoursynth_core NAME [windows]: a static zimg and the VapourSynth core, libvapoursynth.so with
# vapoursynth-core.mk or (windows) VapourSynth.dll with vapoursynth-core-mingw.mk.
vapoursynth_core() {
  local name=$1 windows=${2:-} vs zimg mk
  vs=$(ls "$snapshots"/vapoursynth-*-core.tar.xz 2>/dev/null | head -n1 || true)
  zimg=$(ls "$snapshots"/zimg-*-lib.tar.xz 2>/dev/null | head -n1 || true)
  mk="$snapshots/vapoursynth-core${windows:+-mingw}.mk"
  if [ -z "$vs" ] || [ -z "$zimg" ] || [ ! -f "$mk" ]; then
    echo "$name=skipped: no VapourSynth snapshot (core, zimg and $(basename "$mk")) in $snapshots"
    return
  fi
  local zimg_args=(--with-pic) make_args=(OPT="-O2 -g") pkg_config=PKG_CONFIG_PATH
  if [ -n "$windows" ]; then
    if mingw_missing; then
      echo "$name=skipped: no MinGW-w64 (x86_64-w64-mingw32-g++-posix)"
      return
    fi
    zimg_args=(--host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix CXX=x86_64-w64-mingw32-g++-posix)
    make_args=()
    pkg_config=PKG_CONFIG_LIBDIR
  fi
  local dir="$cache/$name-$(key_of "$vs" "$zimg" "$mk")"
  if [ ! -f "$dir/.complete" ]; then
    log "building zimg and the VapourSynth core ($name) into $dir (a few minutes, once per snapshot)"
    rm -rf "$dir" && mkdir -p "$dir"
    tar xf "$zimg" -C "$dir"
    tar xf "$vs" -C "$dir"
    local zsrc vsrc
    zsrc=$(ls -d "$dir"/zimg-*/ | head -n1)
    vsrc=$(ls -d "$dir"/vapoursynth-*/ | head -n1)
    (cd "$zsrc" && ./autogen.sh && mkdir -p build && cd build \
      && ../configure --prefix="$dir/zimg" --disable-shared --enable-static "${zimg_args[@]}" CXXFLAGS=-O2 \
      && make -j"$jobs" && make install) >"$dir/zimg.log" 2>&1 || { tail -50 "$dir/zimg.log" >&2; exit 1; }
    mkdir -p "$dir/core"
    env "$pkg_config=$dir/zimg/lib/pkgconfig" make -f "$mk" -C "$dir/core" -j"$jobs" \
      SRC="${vsrc%/}" "${make_args[@]}" >"$dir/core.log" 2>&1 || { tail -50 "$dir/core.log" >&2; exit 1; }
    ln -sfn "${vsrc%/}/include" "$dir/include"
    touch "$dir/.complete"
  fi
  echo "$name=$dir"
}

case "$what" in
  avisynth) avisynth_core avisynth ;;
  vapoursynth) vapoursynth_core vapoursynth ;;
  avisynth-windows) avisynth_core avisynth-windows windows ;;
  vapoursynth-windows) vapoursynth_core vapoursynth-windows windows ;;
  all) avisynth_core avisynth; vapoursynth_core vapoursynth ;;
  *) echo "usage: $0 [avisynth|vapoursynth|avisynth-windows|vapoursynth-windows|all]" >&2; exit 2 ;;
esac
