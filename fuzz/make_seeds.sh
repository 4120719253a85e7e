#!/usr/bin/env bash
# Small media files of many containers, the fuzzers' starting corpus.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tests/media_common.sh"
out=$1
mkdir -p "$out"
cd "$out"
V=(-f lavfi -i "testsrc=size=32x32:rate=5:duration=0.4")
A=(-f lavfi -i "sine=frequency=440:sample_rate=8000:duration=0.3")
make_file aac.mp4 "${V[@]}" "${A[@]}" -c:v mpeg4 -c:a aac -b:a 16k
make_file pcm.mov "${A[@]}" -c:a pcm_s16le
make_file opus.mkv "${A[@]}" -c:a libopus -b:a 8k
make_file mp2.mkv "${V[@]}" "${A[@]}" -c:v mpeg4 -c:a mp2 -b:a 32k
make_file vorbis.webm "${A[@]}" -c:a libvorbis
make_file mp3.avi "${A[@]}" -c:a libmp3lame -b:a 8k
make_file two.ts "${A[@]}" "${A[@]}" -map 0 -map 1 -c:a:0 mp2 -c:a:1 aac -b:a 16k
make_file aac.flv "${A[@]}" -c:a aac -b:a 16k
make_file vorbis.ogg "${A[@]}" -c:a libvorbis
make_file flac.flac "${A[@]}" -c:a flac
make_file pcm.wav "${A[@]}" -c:a pcm_u8
make_file ac3.ac3 "${A[@]}" -c:a ac3 -b:a 32k
make_file adts.aac "${A[@]}" -c:a aac -b:a 16k
make_file mp3.mp3 "${A[@]}" -c:a libmp3lame -b:a 8k
# Files whose declared sizes ask for gigabytes: a bound on allocations that regresses shows at once.
"$here/../tests/make_bombs.sh" .
