// The finished output, read back as a player would read it before it takes its name: a file that a reader
// cannot find the stream in, or whose stream does not decode, is no result, whatever the muxer accepted.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

struct ae_interrupt;

// True when the file at path holds an audio stream of `codec` whose first packets decode (a stream with no
// packets, or a codec this FFmpeg cannot decode, passes on the stream alone). Reads only the container's
// header and the first few packets.
bool ae_output_plays(const char *path, AVCodecID codec, const ae_interrupt *irq);
