// Chained streams: an Ogg file joined from several recordings holds one link after another, and each
// link starts with header packets of its own that the demuxer hands on in band, between audio packets.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/rational.h>
}

struct AVStream;
struct AVPacket;

// How the copied stream is coded, as far as a header already written depends on it.
struct ae_stream_shape {
    AVCodecID codec;
    int sample_rate, channels;
    AVRational time_base;
};

bool operator==(const ae_stream_shape &a, const ae_stream_shape &b);

// The stream's shape as its parameters give it now.
ae_stream_shape ae_shape_of(const AVStream *st);

// Whether pkt is a header packet of a later link (identification, comments, setup), not audio.
bool ae_link_header(AVCodecID codec, const AVPacket *pkt);

// The shape a link that starts with pkt has: a demuxer may hand on a link's identification header without
// updating the stream, so its channels and sample rate are read from the header itself. Any other packet
// leaves the shape as the stream gives it.
ae_stream_shape ae_shape_after(const AVStream *st, const AVPacket *pkt);
