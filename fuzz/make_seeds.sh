#!/usr/bin/env bash
# Small media files of many containers, the fuzzers' starting corpus.
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
FF=(ffmpeg -nostdin -hide_banner -loglevel error -y)
V=(-f lavfi -i "testsrc=size=32x32:rate=5:duration=0.4")
A=(-f lavfi -i "sine=frequency=440:sample_rate=8000:duration=0.3")
seed() { local name=$1; shift; [ -s "$name" ] || "${FF[@]}" "$@" "$name"; }
seed aac.mp4 "${V[@]}" "${A[@]}" -c:v mpeg4 -c:a aac -b:a 16k
seed pcm.mov "${A[@]}" -c:a pcm_s16le
seed opus.mkv "${A[@]}" -c:a libopus -b:a 8k
seed mp2.mkv "${V[@]}" "${A[@]}" -c:v mpeg4 -c:a mp2 -b:a 32k
seed vorbis.webm "${A[@]}" -c:a libvorbis
seed mp3.avi "${A[@]}" -c:a libmp3lame -b:a 8k
seed two.ts "${A[@]}" "${A[@]}" -map 0 -map 1 -c:a:0 mp2 -c:a:1 aac -b:a 16k
seed aac.flv "${A[@]}" -c:a aac -b:a 16k
seed vorbis.ogg "${A[@]}" -c:a libvorbis
seed flac.flac "${A[@]}" -c:a flac
seed pcm.wav "${A[@]}" -c:a pcm_u8
seed ac3.ac3 "${A[@]}" -c:a ac3 -b:a 32k
seed adts.aac "${A[@]}" -c:a aac -b:a 16k
seed mp3.mp3 "${A[@]}" -c:a libmp3lame -b:a 8k
