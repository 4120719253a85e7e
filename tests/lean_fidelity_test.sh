#!/usr/bin/env bash
# The bundled FFmpeg leaves things out (video decoders, devices, most protocols); nothing a user sees may
# change with it. On the suite's media (after both suites have run):
#   - the bundled build's probe reports equal those of the same source built on Debian unstable's full
#     FFmpeg 9, in its chroot;
#   - every audio stream decodes with the bundled FFmpeg (its ffprobe counts frames), so the check of a
#     written file's first packet never meets a codec it cannot decode.
#   tests/lean_fidelity_test.sh BUNDLED_BUILD_DIR BUNDLED_FFMPEG_PREFIX   (the chroot's build is build-sid)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
prefix=$2
media=$build/tests/media
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

files=$(cd "$media" && ls | grep -vE '\.(png|ttf|srt)$|^hls$' || true)
[ -n "$files" ] || { echo "no media in $media: run the bundled suite first" >&2; exit 1; }
for f in $files; do
    "$build/audioextract" probe --json "$media/$f" > "$work/$f.bundled" 2>&1 || true
done
AE_CHROOT_COMMAND="for f in $(echo $files); do build-sid/audioextract probe --json $media/\$f > /bind/\$f.full 2>&1 || true; done" \
    AE_CHROOT_BIND=$work scripts/chroot.sh unstable >/dev/null
differ=0
for f in $files; do
    if ! cmp -s "$work/$f.bundled" "$work/$f.full"; then
        echo "probe of $f differs (bundled, then full FFmpeg 9):"
        cat "$work/$f.bundled" "$work/$f.full"
        differ=1
    fi
done

# The memory bombs are hostile on purpose: what matters is the codecs of genuine files.
for f in $(echo "$files" | grep -v '^bomb'); do
    while IFS=, read -r codec frames; do
        [ -n "$codec" ] || continue  # a blank line between programs
        if ! [ "$frames" -gt 0 ] 2>/dev/null; then
            echo "$f: the bundled FFmpeg decodes no frame of its $codec stream"
            differ=1
        fi
    done < <("$prefix/bin/ffprobe" -v quiet -select_streams a -count_frames \
                 -show_entries stream=codec_name,nb_read_frames -of csv=p=0 "$media/$f" || true)
done
[ "$differ" = 0 ] || exit 1
echo "lean fidelity: $(echo $files | wc -w) files, probe reports equal, every audio stream decodes"
