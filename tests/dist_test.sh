#!/usr/bin/env bash
# The Linux release artifacts (scripts/dist.sh puts them in dist/) as a host takes them:
#   - every binary in the folder needs from the system only the C library, libm, zlib and OpenSSL 3; the
#     module exports the eight calls and nothing else; they are stripped, their debug information apart;
#   - the folder, unpacked elsewhere, works from there with an empty environment: its host probes and
#     extracts, and a C program builds against its header and pkg-config file and loads the module;
#   - the wheel installs with pip --no-index into a fresh venv in a Debian 12 chroot that has no FFmpeg,
#     and extracts there (skipped with AE_SKIP_CHROOT=1).
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(belmarun-audioextract VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=belmarun-audioextract-$version-linux-x86_64
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "dist_test: $*" >&2; exit 1; }

mkdir "$work/unpacked" "$work/elsewhere"
tar -xzf "dist/$name.tar.gz" -C "$work/unpacked"
tar -xzf "dist/$name-debug.tar.gz" -C "$work/unpacked"
mv "$work/unpacked/$name" "$work/elsewhere/audioextract"  # the folder does not depend on its name or place
top=$work/elsewhere/audioextract
module=$top/lib/belmarun-audioextract.so

echo "== what the binaries need from the system"
system='^(libc\.so\.6|libm\.so\.6|libz\.so\.1|libssl\.so\.3|libcrypto\.so\.3|ld-linux-x86-64\.so\.2)$'
bundled='^lib(avformat|avcodec|avutil|swresample)_belmarun\.so\.[0-9]+$'
binaries=("$module" "$top"/lib/lib*_belmarun.so.* "$top/bin/audioextract")
for f in "${binaries[@]}"; do
    for lib in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [[ $lib =~ $system || $lib =~ $bundled ]] || fail "$(basename "$f") needs $lib"
    done
    # Resolved: the bundled libraries from the folder itself, nothing missing.
    ldd "$f" | grep "not found" >/dev/null && fail "$(basename "$f"): $(ldd "$f" | grep "not found")"
    ldd "$f" | awk '/_belmarun/ {print $3}' | xargs -r realpath | grep -v "^$top/lib/" &&
        fail "$(basename "$f") takes FFmpeg from elsewhere"
    readelf -S "$f" | grep '\.debug_info' >/dev/null && fail "$(basename "$f") is not stripped"
    debug=$work/unpacked/$name-debug/$(basename "$f").debug
    readelf -S "$debug" 2>/dev/null | grep '\.debug_info' >/dev/null || fail "no debug information for $(basename "$f")"
    readelf --string-dump=.gnu_debuglink "$f" | grep "$(basename "$debug")" >/dev/null || fail "$(basename "$f") has no debuglink"
done
exports=$(nm -D --defined-only "$module" | awk '{print $3}' | sort)
want=$(awk '/^ *audioextract_/ {sub(/;/, ""); print $1}' src/exports.map | sort)  # the eight calls
[ "$exports" = "$want" ] || fail "the module exports: $exports"

echo "== the folder's host, run from elsewhere with an empty environment"
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=3" -c:a aac "$work/in.m4a"
host() { env -i "$top/bin/audioextract" "$@"; }
host --version | grep "^audioextract $version (libavformat " >/dev/null || fail "--version: $(host --version)"
host probe "$work/in.m4a" | grep "audio aac" >/dev/null || fail "probe: $(host probe "$work/in.m4a")"
host extract "$work/in.m4a" "$work/out.mka" --quiet
[ "$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/out.mka")" = aac ] || fail "extract"

echo "== a C host built against the folder's header and pkg-config file"
cat > "$work/host.c" <<'C'
#include <stdio.h>
#include <string.h>
#include "audioextract.h"
int main(int argc, char **argv)
{
    const char *report = audioextract_probe(argv[argc - 1]);
    puts(report);
    return strstr(report, "\"codec\":\"aac\"") == NULL;
}
C
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror "$work/host.c" -o "$work/host" \
    $(PKG_CONFIG_PATH="$top/lib/pkgconfig" pkg-config --cflags --libs belmarun-audioextract) -Wl,-rpath,"$top/lib"
env -i "$work/host" "$work/in.m4a" >/dev/null || fail "the C host: $(env -i "$work/host" "$work/in.m4a")"

if [ "${AE_SKIP_CHROOT:-0}" != 1 ]; then
    echo "== the wheel in a fresh venv, in Debian 12 without FFmpeg"
    cp dist/audioextract-"$version"-py3-none-manylinux_*_x86_64.whl "$work/"
    rm -f "$work/out.mka"
    AE_CHROOT_BIND=$work AE_CHROOT_COMMAND='
        ! ls /usr/lib/x86_64-linux-gnu/libavformat* 2>/dev/null
        python3 -m venv /tmp/venv
        /tmp/venv/bin/pip install -q --no-index /bind/*.whl
        cd /tmp && /tmp/venv/bin/python -m audioextract extract /bind/in.m4a /bind/out.mka --quiet
        /tmp/venv/bin/python -c "import audioextract; print(audioextract.probe(\"/bind/out.mka\").audio_streams[0].codec)"
        rm -rf /tmp/venv' scripts/chroot.sh bookworm-bare > "$work/chroot.txt" 2>&1 ||
        { cat "$work/chroot.txt"; fail "the wheel in the chroot"; }
    [ "$(tail -n1 "$work/chroot.txt")" = aac ] || { cat "$work/chroot.txt"; fail "the wheel's probe"; }
    [ "$(ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/out.mka")" = aac ] || fail "the wheel's extract"
fi
echo "dist: ok"
