#!/usr/bin/env bash
# Builds FFmpeg's shared libraries for the library to bundle, from Debian's own source package, and prints the
# install prefix. Both targets are LGPL builds of FFmpeg's own code and zlib: nothing GPL or non-free, nothing
# autodetected, no encoders, filters, devices or hardware acceleration. ffprobe is built too: the tests take
# it as their oracle, so oracle and library are the same FFmpeg.
#   scripts/ffmpeg.sh linux     the bundled Linux build (x86_64): what stream copy and probe use, see below
#   scripts/ffmpeg.sh windows   the Windows DLLs, cross-built with mingw-w64
#   AE_FFMPEG_SUITE=unstable (default) or another Debian suite: where the source comes from
# One source tree serves every target; each build is cached under AE_FFMPEG_CACHE (default
# /var/tmp/belmarun-audioextract-ffmpeg), keyed by source version and configure flags. The source version
# taken is written to the prefix's SOURCE file: the bundled FFmpeg gets its security fixes when the project
# rebuilds it from a newer Debian source and releases.
# apt runs with a private configuration (its own sources file, lists and cache under the cache directory):
# nothing is added to the machine's apt setup.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/apt-mirror.sh"
TARGET=${1:?usage: scripts/ffmpeg.sh linux|windows}
CACHE=${AE_FFMPEG_CACHE:-/var/tmp/belmarun-audioextract-ffmpeg}
SUITE=${AE_FFMPEG_SUITE:-unstable}

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
[ -n "$upstream" ] || { echo "ffmpeg.sh: no ffmpeg source in $SUITE" >&2; exit 1; }

# The pristine source, shared by every target (each builds out of tree).
work=$CACHE/src-$upstream
source=$work/source
if [ ! -f "$source/.done" ]; then
    mkdir -p "$work"
    (
        cd "$work"
        # The orig tarball is all the build needs; apt checks it against the signed Sources index.
        # The .dsc may be missing from the mirror while the tarball is there: a failed download of the rest
        # is no failure as long as the tarball matches the index.
        tarball=ffmpeg_$upstream.orig.tar.xz
        [ -f "$tarball" ] || apt-get -qq "${OPTS[@]}" source --download-only "ffmpeg=$version" >&2 || true
        want=$(echo "$paragraph" | sed -n '/^Checksums-Sha256:/,/^[A-Z]/p' | awk -v f="$tarball" '$3 == f {print $1}')
        got=$(sha256sum "$tarball" | cut -d' ' -f1)
        [ -n "$want" ] && [ "$want" = "$got" ] || { echo "ffmpeg.sh: $tarball fails its checksum" >&2; exit 1; }
        rm -rf source && mkdir source && tar -xf "$tarball" -C source --strip-components=1
    )
    touch "$source/.done"
fi

# What the library uses of FFmpeg, on every target.
MAKE_VARS= picture_decoders=
COMMON="--enable-shared --disable-static --disable-programs --enable-ffprobe --disable-doc --disable-avdevice
--disable-avfilter --disable-swscale --disable-swresample --disable-encoders --disable-hwaccels --disable-devices
--disable-filters --disable-autodetect --enable-zlib"
case $TARGET in
windows)
    # The same flags, in the same order, as when this build was Windows-only, so its cache stays valid.
    FLAGS="--target-os=mingw32 --arch=x86_64 --cross-prefix=x86_64-w64-mingw32- --enable-shared --disable-static
--disable-programs --enable-ffprobe --disable-doc --disable-avdevice --disable-avfilter --disable-swscale --disable-swresample
--disable-network --disable-encoders --disable-hwaccels --disable-devices --disable-filters --disable-autodetect
--enable-zlib --enable-w32threads --disable-debug --extra-ldflags=-static"
    ;;
linux)
    # Decoders: the audio ones (with PCM, DPCM and ADPCM): probing fills in an audio stream's parameters by
    # decoding its first frames, and the output check decodes a written file's first packet. Of video, only
    # what probing needs for a picture's size where neither the container nor a parser gives it: cover art
    # (PNG, JPEG, BMP, GIF, WebP, TIFF) and FLV's own Sorenson video (with H.263, its base). Video sizes of
    # the common codecs come from their parsers, subtitles need nothing.
    picture_decoders=png,mjpeg,bmp,gif,webp,tiff,flv,h263
    audio_decoders=$(awk '/^\/\* audio codecs \*\//{a = 1} /^\/\* subtitles \*\//{a = 0}
        a && /_decoder;/ {sub(/.*ff_/, ""); sub(/_decoder;.*/, ""); printf "%s%s", (n++ ? "," : ""), $0}' \
        "$source/libavcodec/allcodecs.c")
    # Protocols: local files, and http(s) for the addresses FFmpeg opens itself (TLS from the system's
    # OpenSSL 3, present wherever Python or Node is); the wrapping schemes stay so that what they wrap is
    # checked as it is with the system's FFmpeg. DASH and IMF need libxml2 and are left out.
    protocols=file,pipe,http,https,tcp,tls,httpproxy,crypto,concat,concatf,async,cache,subfile,data,hls
    # A suffix of their own keeps the bundled libraries apart from another FFmpeg in the same process; they
    # find each other beside themselves ($ORIGIN), ffprobe finds them in ../lib. --disable-autodetect also
    # turns threads off, and FFmpeg's internal locks with them: they are asked for by name. The Opus
    # decoder needs libswresample. Debug information stays in: releases strip it off and keep it apart.
    FLAGS="$COMMON --enable-swresample --enable-pthreads --enable-openssl --disable-decoders --enable-decoder=$audio_decoders,$picture_decoders
--disable-protocols --enable-protocol=$protocols --build-suffix=_belmarun
--disable-stripping"
    # Run paths go straight into the build's make variables: configure's quoting does not carry a "$"
    # (make expands the libraries' link line twice, the programs' once).
    MAKE_VARS="LDSOFLAGS += -Wl,-rpath,'\$\$\$\$ORIGIN'
LDEXEFLAGS += -Wl,-rpath,'\$\$ORIGIN/../lib'"
    ;;
*) echo "ffmpeg.sh: unknown target $TARGET (linux or windows)" >&2; exit 2 ;;
esac
# FFmpeg 9 no longer knows --disable-postproc; 5.1 wants it.
case $upstream in 5.* | 6.* | 7.*) FLAGS="$FLAGS --disable-postproc" ;; esac
key=$(echo "$version $FLAGS${MAKE_VARS:+ $MAKE_VARS}" | sha256sum | cut -c1-12)
prefix=$CACHE/$TARGET-$upstream-$key
if [ -f "$prefix/.done" ]; then
    echo "$prefix"
    exit 0
fi

build=$CACHE/build-$TARGET-$upstream-$key
rm -rf "$build" "$prefix" && mkdir -p "$build"
(
    cd "$build"
    # shellcheck disable=SC2086
    "$source/configure" --prefix="$prefix" $FLAGS >&2
    [ -z "$MAKE_VARS" ] || echo "$MAKE_VARS" >> ffbuild/config.mak
    make -j"$(nproc)" >&2
    make install >&2
    if [ "$TARGET" = linux ]; then  # the run path survives configure's and make's quoting
        readelf -d "$prefix"/lib/libavformat*.so.*.*.* | grep 'RUNPATH.*\[\$ORIGIN\]' >/dev/null ||
            { echo "ffmpeg.sh: the libraries' run path is not \$ORIGIN" >&2; exit 1; }
    fi
    # The licence texts go with the libraries.
    mkdir -p "$prefix/licenses"
    cp "$source"/COPYING.LGPLv2.1 "$source"/COPYING.LGPLv3 "$source"/LICENSE.md "$prefix/licenses/" 2>/dev/null || true
    echo "Debian source package ffmpeg $version ($SUITE), configured with: $(echo $FLAGS | sed 's/--enable-decoder=[^ ]*/--enable-decoder=(the audio decoders),'"$picture_decoders"'/')" \
        > "$prefix/SOURCE"
)
rm -rf "$build"
touch "$prefix/.done"
# Builds of this target with other flags or an older source are not kept.
for old in "$CACHE/$TARGET"-*; do
    [ "$old" = "$prefix" ] || rm -rf "$old"
done
echo "$prefix"
