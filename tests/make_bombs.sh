#!/usr/bin/env bash
# Writes two tiny files whose declared sizes ask FFmpeg for gigabytes into the folder $1:
#   bomb.wav  94 bytes: a RIFF LIST chunk declaring about 3.6 GB (found by fuzzing the probe);
#   bomb.m4a  an AAC file whose sample tables claim 60 million samples (an index of 1.4 GB).
# A host that bounds FFmpeg's allocations reads both in a few megabytes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/media_common.sh"
cd "$1"
[ -s bomb.wav ] || echo 'UklGRqYJAABXQVZFZm10IBAAAAABAAEAQB8AAEAfAAABAAgATElTVBoAANlJTkZPSVNGVA4AAABMYXZmNTkuMjcuMTAwAGRhdGFgCXdhdgAOAAAATGEOAAAATGF2Zg==' |
    base64 -d > bomb.wav
if [ ! -s bomb.m4a ]; then
    make_file bomb-base.m4a -f lavfi -i "sine=duration=1" -c:a aac -b:a 32k -f ipod
    python3 - <<'PY'
import struct
data = bytearray(open("bomb-base.m4a", "rb").read())

def box(tag):
    at = data.find(tag)
    assert at > 4, tag
    return at - 4

samples = 60_000_000
struct.pack_into(">II", data, box(b"stsz") + 12, 1, samples)           # every sample 1 byte, 60 M of them
struct.pack_into(">III", data, box(b"stts") + 12, 1, samples, 1024)    # one run of 60 M samples
struct.pack_into(">IIII", data, box(b"stsc") + 12, 1, 1, samples, 1)  # all of them in the first chunk
open("tmp.bomb.m4a", "wb").write(data)
PY
    mv tmp.bomb.m4a bomb.m4a
    rm -f bomb-base.m4a
fi
