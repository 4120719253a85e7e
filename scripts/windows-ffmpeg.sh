#!/usr/bin/env bash
# Cross-builds FFmpeg's shared libraries for x86_64 Windows from Debian's own source package (an LGPL build:
# nothing GPL or non-free enabled), and prints the install prefix. ffprobe.exe is built too: the tests run
# under Wine take it as their oracle, so oracle and library are the same FFmpeg. The build is cached under
# AE_WIN_CACHE (default /var/tmp/belmarun-audioextract-win), keyed by source version and configure flags.
#   AE_WIN_SUITE=unstable (default; FFmpeg 9) or bookworm (FFmpeg 5.1)
# apt runs with a private configuration (its own sources file, lists and cache under the cache directory):
# nothing is added to the machine's apt setup.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/apt-mirror.sh"
CACHE=${AE_WIN_CACHE:-/var/tmp/belmarun-audioextract-win}
SUITE=${AE_WIN_SUITE:-unstable}
FLAGS="--target-os=mingw32 --arch=x86_64 --cross-prefix=x86_64-w64-mingw32- --enable-shared --disable-static
--disable-programs --enable-ffprobe --disable-doc --disable-avdevice --disable-avfilter --disable-swscale --disable-swresample
--disable-network --disable-encoders --disable-hwaccels --disable-devices --disable-filters --disable-autodetect
--enable-zlib --enable-w32threads --disable-debug --extra-ldflags=-static"

apt_dir=$CACHE/apt-$SUITE
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $(apt_mirror) $SUITE main" \
    > "$apt_dir/sources.list"
OPTS=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
      -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o Acquire::Check-Valid-Until=false)
apt-get -qq "${OPTS[@]}" update >&2
# The index may hold several versions: the newest is the suite's.
version=$(apt-cache "${OPTS[@]}" showsrc ffmpeg 2>/dev/null | awk '/^Version:/ {print $2}' | sort -V | tail -n1)
paragraph=$(apt-cache "${OPTS[@]}" showsrc ffmpeg 2>/dev/null | awk -v v="$version" '
    /^Package:/ {keep = 0} /^Version:/ {keep = ($2 == v)} keep')
upstream=${version#*:}
upstream=${upstream%-*}
upstream=${upstream%+dfsg*}
[ -n "$upstream" ] || { echo "windows-ffmpeg: no ffmpeg source in $SUITE" >&2; exit 1; }
# FFmpeg 9 no longer knows --disable-postproc; 5.1 wants it.
case $upstream in 5.* | 6.* | 7.*) FLAGS="$FLAGS --disable-postproc" ;; esac
key=$(echo "$version $FLAGS" | sha256sum | cut -c1-12)
prefix=$CACHE/ffmpeg-$upstream-$key
if [ -f "$prefix/.done" ]; then
    echo "$prefix"
    exit 0
fi

work=$CACHE/src-$upstream
mkdir -p "$work"
(
    cd "$work"
    # The orig tarball is all the build needs; apt checks it against the signed Sources index.
    # The .dsc may be missing from the mirror while the tarball is there: a failed download of the rest is
    # no failure as long as the tarball matches the index.
    tarball=ffmpeg_$upstream.orig.tar.xz
    if [ ! -f "$tarball" ]; then
        apt-get -qq "${OPTS[@]}" source --download-only "ffmpeg=$version" >&2 || true
    fi
    want=$(echo "$paragraph" | sed -n '/^Checksums-Sha256:/,/^[A-Z]/p' | awk -v f="$tarball" '$3 == f {print $1}')
    got=$(sha256sum "$tarball" | cut -d' ' -f1)
    [ -n "$want" ] && [ "$want" = "$got" ] || { echo "windows-ffmpeg: $tarball fails its checksum" >&2; exit 1; }
    rm -rf build && mkdir build && tar -xf "$tarball" -C build --strip-components=1
    cd build
    # shellcheck disable=SC2086
    ./configure --prefix="$prefix" $FLAGS >&2
    make -j"$(nproc)" >&2
    make install >&2
    # The licence texts go with the DLLs.
    mkdir -p "$prefix/licenses"
    cp COPYING.LGPLv2.1 COPYING.LGPLv3 LICENSE.md "$prefix/licenses/" 2>/dev/null || true
)
touch "$prefix/.done"
echo "$prefix"
