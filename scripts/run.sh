#!/usr/bin/env bash
# The main job: build everything, then probe a media file and extract every audio stream of it into a
# folder, and show what was written. With no file named, a built-in sample is generated and used: a short
# movie with a video stream and two audio streams in two languages and codecs.
#   scripts/run.sh [FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAE_BUILD_TESTS=OFF >/dev/null
cmake --build build -j2 >/dev/null

mkdir -p out
input=${1:-}
if [ -z "$input" ]; then
    input=out/sample.mkv
    if [ ! -s "$input" ]; then
        ffmpeg -nostdin -hide_banner -loglevel error -y \
            -f lavfi -i "testsrc2=size=640x360:rate=25:duration=10" \
            -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=10" \
            -f lavfi -i "sine=frequency=660:sample_rate=44100:duration=10" \
            -map 0:v -map 1:a -map 2:a -c:v libx264 -preset veryfast -c:a:0 aac -c:a:1 ac3 \
            -metadata:s:a:0 language=eng -metadata:s:a:1 language=fra "$input"
    fi
fi

name=$(basename "$input"); outdir="out/${name%.*}-audio"
echo "== probe"
build/audioextract probe "$input"
echo
echo "== extract-all into $outdir"
build/audioextract extract-all "$input" "$outdir" --force --progress="$([ -t 2 ] && echo bar || echo plain)"
echo
echo "== written"
for f in "$outdir"/*; do
    printf '%s: ' "$f"
    ffprobe -v error -show_entries stream=codec_name,channels,sample_rate:format=duration,size \
        -of compact=p=0:nk=0 "$f" | tr '\n' ' '
    echo
done
