#include "links.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
}

#include <cstring>

bool operator==(const ae_stream_shape &a, const ae_stream_shape &b)
{
    return a.codec == b.codec && a.sample_rate == b.sample_rate && a.channels == b.channels &&
           av_cmp_q(a.time_base, b.time_base) == 0;
}

ae_stream_shape ae_shape_of(const AVStream *st)
{
    return {st->codecpar->codec_id, st->codecpar->sample_rate, st->codecpar->ch_layout.nb_channels, st->time_base};
}

namespace {

bool starts_with(const AVPacket *pkt, const char *magic, size_t len)
{
    return pkt->data && static_cast<size_t>(pkt->size) >= len && std::memcmp(pkt->data, magic, len) == 0;
}

}  // namespace

bool ae_link_header(AVCodecID codec, const AVPacket *pkt)
{
    switch (codec) {
    case AV_CODEC_ID_VORBIS:  // header packets are 1, 3 or 5 followed by "vorbis"; audio packets are even
        return pkt->size >= 7 && (pkt->data[0] & 1) && std::memcmp(pkt->data + 1, "vorbis", 6) == 0;
    case AV_CODEC_ID_OPUS:
        return starts_with(pkt, "OpusHead", 8) || starts_with(pkt, "OpusTags", 8);
    default:
        return false;
    }
}

ae_stream_shape ae_shape_after(const AVStream *st, const AVPacket *pkt)
{
    ae_stream_shape now = ae_shape_of(st);
    if (now.codec == AV_CODEC_ID_VORBIS && pkt->size >= 16 && starts_with(pkt, "\x01vorbis", 7)) {
        now.channels = pkt->data[11];
        now.sample_rate = static_cast<int>(AV_RL32(pkt->data + 12));
    } else if (now.codec == AV_CODEC_ID_OPUS && pkt->size >= 19 && starts_with(pkt, "OpusHead", 8)) {
        now.channels = pkt->data[9];
    }
    return now;
}
