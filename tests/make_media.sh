#!/usr/bin/env bash
# Generates the test media into $1 with the ffmpeg command-line tool: short files of many containers and
# audio codecs. Each file is written under a temporary name and renamed, so a half-made file never counts.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/media_common.sh"
out=$1
mkdir -p "$out"
cd "$out"

V=(-f lavfi -i "testsrc=size=160x120:rate=25:duration=2")
A1=(-f lavfi -i "sine=frequency=440:sample_rate=48000:duration=2")
A2=(-f lavfi -i "sine=frequency=660:sample_rate=44100:duration=2")

make_file mp4_aac.mp4 "${V[@]}" "${A1[@]}" -map 0:v -map 1:a -c:v mpeg4 -c:a aac -b:a 96k -f mp4
make_file mp4_two.mp4 "${V[@]}" "${A1[@]}" "${A2[@]}" -map 0:v -map 1:a -map 2:a -c:v mpeg4 -c:a:0 aac -c:a:1 ac3 \
    -metadata:s:a:0 language=eng -metadata:s:a:1 language=fra -f mp4
make_file mov_pcm.mov "${A1[@]}" -c:a pcm_s16le -f mov
make_file mkv_many.mkv "${V[@]}" "${A1[@]}" -map 0:v \
    -map 1:a -map 1:a -map 1:a -map 1:a -map 1:a -map 1:a -map 1:a -map 1:a -c:v mpeg4 \
    -c:a:0 libopus -c:a:1 libvorbis -c:a:2 flac -c:a:3 ac3 -c:a:4 eac3 -c:a:5 libmp3lame -c:a:6 mp2 \
    -c:a:7 pcm_s16le \
    -metadata:s:a:0 language=eng -metadata:s:a:1 language=fra -metadata:s:a:2 language=deu \
    -metadata:s:a:3 language=spa -metadata:s:a:4 language=ita -metadata:s:a:5 language=jpn \
    -metadata:s:a:6 language=por -f matroska
printf '1\n00:00:00,000 --> 00:00:01,000\nhello\n\n' > subs.srt
printf 'attached font bytes' > font.ttf
make_file mkv_sub.mkv "${V[@]}" "${A1[@]}" -i subs.srt -map 0:v -map 1:a -map 2:s -c:v mpeg4 -c:a libvorbis -c:s srt \
    -attach font.ttf -metadata:s:t mimetype=application/x-truetype-font -f matroska
make_file webm_opus.webm "${V[@]}" "${A1[@]}" -map 0:v -map 1:a -c:v libvpx -deadline realtime -b:v 200k -c:a libopus \
    -f webm
make_file avi_mp3.avi "${V[@]}" "${A2[@]}" -map 0:v -map 1:a -c:v mpeg4 -c:a libmp3lame -f avi
make_file ts_two.ts "${V[@]}" "${A1[@]}" "${A2[@]}" -map 0:v -map 1:a -map 2:a -c:v mpeg2video -c:a:0 mp2 -c:a:1 aac \
    -metadata:s:a:0 language=eng -metadata:s:a:1 language=ger -f mpegts
make_file flv_aac.flv "${V[@]}" "${A2[@]}" -map 0:v -map 1:a -c:v flv1 -c:a aac -f flv
make_file vorbis.ogg "${A1[@]}" -c:a libvorbis -f ogg
make_file opus.opus "${A1[@]}" -c:a libopus -f opus
make_file flac.flac "${A2[@]}" -c:a flac -f flac
make_file wav.wav "${A1[@]}" -c:a pcm_s16le -f wav
make_file adts.aac "${A1[@]}" -c:a aac -f adts
make_file cover.png -f lavfi -i "color=c=red:size=32x32:duration=0.04" -frames:v 1 -f image2
make_file mp3_cover.mp3 "${A2[@]}" -i cover.png -map 0:a -map 1:v -c:a libmp3lame -c:v copy -id3v2_version 3 \
    -metadata:s:v title=Cover -metadata:s:v comment="Cover (front)" -f mp3
make_file video_only.mp4 "${V[@]}" -c:v mpeg4 -f mp4
make_file video_only.mkv "${V[@]}" -c:v mpeg4 -f matroska
# Fragmented MP4 (as streaming and some recorders write it), with enough video between the audio runs that
# the reader plans its reads from the index.
make_file frag_mp4.mp4 -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=2" "${A1[@]}" "${A2[@]}" -map 0:v -map 1:a \
    -map 2:a -c:v mpeg4 -b:v 20M -g 12 -c:a:0 aac -c:a:1 ac3 \
    -movflags +frag_keyframe+empty_moov+delay_moov -frag_duration 500000 -f mp4
# An HLS playlist with its segments, cut from ts_two.ts's first audio stream, for tests of inputs that name
# other files.
if [ ! -s hls/list.m3u8 ]; then
    rm -rf hls.tmp && mkdir hls.tmp
    (cd hls.tmp && "${FF[@]}" -i ../ts_two.ts -map 0:a:0 -c copy -f hls -hls_time 1 -hls_list_size 0 \
        -hls_segment_filename 'seg%d.ts' list.m3u8)
    rm -rf hls && mv hls.tmp hls
fi
# Recordings joined byte for byte: two MPEG-TS captures (timestamps jump back at the join) and chained Ogg
# links (each link restarts its timestamps and carries its own headers), with equal links and with links
# that differ in sample rate or channels.
join_files() {  # join_files NAME PARTS...
    local name=$1; shift
    [ -s "$name" ] || { cat "$@" > "tmp.$$.$name" && mv "tmp.$$.$name" "$name"; }
}
make_file link_vorbis_44k.ogg "${A2[@]}" -c:a libvorbis -f ogg
make_file link_opus_stereo.ogg "${A2[@]}" -ac 2 -c:a libopus -f ogg
join_files joined.ts ts_two.ts ts_two.ts
join_files chain_vorbis.ogg vorbis.ogg vorbis.ogg
join_files chain_opus.ogg opus.opus opus.opus
join_files chain_vorbis_rates.ogg vorbis.ogg link_vorbis_44k.ogg
join_files chain_opus_channels.ogg opus.opus link_opus_stereo.ogg
"$here/make_bombs.sh" .
# A longer file for tests that need a worker still busy when they act.
make_file long.mkv -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=600" -c:a pcm_s16le -f matroska
make_file three_audio.mkv "${V[@]}" "${A1[@]}" "${A2[@]}" -map 0:v -map 1:a -map 2:a -map 1:a -c:v mpeg4 \
    -c:a:0 aac -c:a:1 ac3 -c:a:2 libopus -metadata:s:a:0 language=eng -metadata:s:a:1 language=fra -f matroska
