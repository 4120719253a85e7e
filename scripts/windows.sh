#!/usr/bin/env bash
# The Windows DLL and command-line host, built here with Debian's mingw-w64 against FFmpeg cross-built from
# Debian's source, and checked under Wine as a Windows host would use them:
#   - the DLL exports exactly the eight calls and imports only FFmpeg's DLLs, KERNEL32 and msvcrt;
#   - a C host loads it with LoadLibraryExW and probes and extracts a file whose name is not ASCII;
#   - audioextract.exe's main cases: probe, extract, extract-all, failures and their exit codes, and Ctrl-C;
#   - the GoogleTest suite, cross-built, with ffprobe.exe of the same FFmpeg build as its oracle;
#   - the Node addon cross-built for win32-x64, its exports and imports, and Windows' node.exe loading it.
# Then the folder a Windows developer drops into a project: build-win/dist (and build-win/dist.zip, and
# dist/belmarun-audioextract-VERSION-windows-x86_64.zip).
set -euo pipefail
cd "$(dirname "$0")/.."
ffmpeg_prefix=$(scripts/ffmpeg.sh windows)
echo "== FFmpeg for Windows: $ffmpeg_prefix"

# The host's two header-only libraries, apart from this machine's system headers.
mkdir -p build-win/host-headers
cp -r /usr/include/nlohmann /usr/include/CLI build-win/host-headers/
# pkg-config must see only the cross-built FFmpeg.
PKG_CONFIG_LIBDIR="$ffmpeg_prefix/lib/pkgconfig" PKG_CONFIG_PATH="" \
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DAE_WIN_FFMPEG="$ffmpeg_prefix" \
    -DCMAKE_BUILD_TYPE=Release -DAE_WERROR=ON -DAE_BUILD_TESTS=ON -DAE_BUILD_TOOLS=ON \
    -DAE_HOST_HEADERS="$PWD/build-win/host-headers" >/dev/null
cmake --build build-win -j2
dll=build-win/belmarun-audioextract.dll

echo "== exports and imports"
exports=$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/\[Ordinal\/Name Pointer\] Table/ {t = 1; next} t && NF == 0 {t = 0} t {print $NF}' | sort)
want=$(awk '/^ *audioextract_/ {sub(/;/, ""); print $1}' src/exports.map | sort)  # the eight calls
if [ "$exports" != "$want" ]; then
    echo "exports differ from the eight calls:"; echo "$exports"; exit 1
fi
imports=$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
echo "$imports"
if echo "$imports" | grep -vE '^(avformat|avcodec|avutil)-[0-9]+\.dll$|^kernel32\.dll$|^msvcrt\.dll$' >/dev/null; then
    echo "unwanted DLL imported"; exit 1
fi
# The host needs no C++ runtime or winpthread DLL either.
if x86_64-w64-mingw32-objdump -p build-win/audioextract.exe | awk '/DLL Name:/ {print tolower($3)}' |
        grep -E 'libstdc|libgcc|winpthread' >/dev/null; then
    echo "audioextract.exe imports a MinGW runtime DLL"; exit 1
fi

echo "== the distributable folder (scripts/dist.sh windows)"
scripts/dist.sh windows
dist=build-win/dist

echo "== under Wine: a C host loads the DLL, probes and extracts a file whose name is not ASCII"
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
ffmpeg -nostdin -v error -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=2" -c:a aac \
    "$work/Bücher – Hörspiel.m4a"
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }
wine "$dist/bin/host-example.exe" "$(winpath "$work/Bücher – Hörspiel.m4a")" "$(winpath "$work/Ausgabe ü.mka")"
test -s "$work/Ausgabe ü.mka"
ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/Ausgabe ü.mka" | grep -x aac >/dev/null

echo "== under Wine: audioextract.exe"
exe="$dist/bin/audioextract.exe"
expect() {  # expect CODE COMMAND...: the command exits with CODE
    local want=$1; shift
    local got=0
    "$@" >"$work/out.txt" 2>"$work/err.txt" || got=$?
    if [ "$got" != "$want" ]; then
        echo "exit $got, expected $want: $*"; cat "$work/out.txt" "$work/err.txt"; exit 1
    fi
}
src="$work/Bücher – Hörspiel.m4a"
expect 0 wine "$exe" --version
grep -q "^audioextract .* (libavformat " "$work/out.txt"
expect 0 wine "$exe" probe "$(winpath "$src")"
grep -q "audio aac" "$work/out.txt"
expect 0 wine "$exe" extract "$(winpath "$src")" "$(winpath "$work/Übung.mka")" --progress=plain
ffprobe -v error -show_entries stream=codec_name -of csv=p=0 "$work/Übung.mka" | grep -x aac >/dev/null
expect 1 wine "$exe" extract "$(winpath "$src")" "$(winpath "$work/Übung.mka")"  # exists, no --force
grep -q "exists" "$work/err.txt"
expect 1 wine "$exe" extract "$(winpath "$src")" "$(winpath "$src")" --force  # the output is the input
grep -q "is the input file itself" "$work/err.txt"
expect 1 wine "$exe" extract "$(winpath "$work/missing.mp4")" "$(winpath "$work/x.mka")"
grep -q "cannot open input" "$work/err.txt"
expect 2 wine "$exe" extract
ffmpeg -nostdin -v error -f lavfi -i "sine=duration=1" -f lavfi -i "sine=frequency=660:duration=1" -map 0 -map 1 \
    -c:a:0 aac -c:a:1 ac3 -metadata:s:a:0 language=deu "$work/zwei.mkv"
expect 0 wine "$exe" extract-all "$(winpath "$work/zwei.mkv")" "$(winpath "$work/alle")" --quiet
test "$(ls "$work/alle" | sort | tr '\n' ' ')" = "zwei.0.deu.m4a zwei.1.ac3 "
echo "== under Wine: Ctrl-C on audioextract.exe's console cancels, waits for the worker and leaves no file"
x86_64-w64-mingw32-gcc-posix -std=c99 -Wall -Wextra -Werror -municode tests/windows/ctrl_c.c -o "$work/ctrl_c.exe" \
    -static
mkdir "$work/ctrl-c"
tests/make_media.sh build-win/tests/media >/dev/null
wine "$work/ctrl_c.exe" "$(winpath "$exe")" "$(winpath "$PWD/build-win/tests/media/long.mkv")" "$(winpath "$work/ctrl-c")" \
    </dev/null
echo "== under Wine: the GoogleTest suite, with ffprobe.exe of the same FFmpeg as its oracle"
(cd build-win/tests && WINEPATH="$(winpath "$ffmpeg_prefix/bin")" AE_MEDIA_DIR="$(winpath "$PWD/media")" \
    AE_FFPROBE="$(winpath "$ffmpeg_prefix/bin/ffprobe.exe")" AE_CHURN_CYCLES=400 \
    wine ./ae_tests.exe --gtest_brief=1 2>"$work/suite-log.txt") || { tail -n 40 "$work/suite-log.txt"; exit 1; }
# Skipped inside the suite, each saying why: symbolic links (Windows grants them only with a privilege, and
# Wine has none) and a file size limit standing in for a full disk (Windows has none).
wineserver -w
echo "== the Node addon for win32-x64 (node/windows.sh)"
node/windows.sh
echo "== Windows DLL: ok"
