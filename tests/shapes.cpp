#include "shapes.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

namespace ae_test {

bool write_shaped(const std::string &path, const char *format, const std::vector<std::string> &languages,
                  const std::vector<shaped_packet> &packets, bool interleave)
{
    AVFormatContext *out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, format, path.c_str()) < 0) {
        ADD_FAILURE() << "no muxer " << format;
        return false;
    }
    bool ok = true;
    for (const std::string &lang : languages) {
        AVStream *st = avformat_new_stream(out, nullptr);
        st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
        st->codecpar->sample_rate = 8000;
        st->codecpar->bits_per_coded_sample = 16;
        st->codecpar->block_align = 2;
        av_channel_layout_default(&st->codecpar->ch_layout, 1);
        st->time_base = AVRational{1, 8000};
        if (!lang.empty())
            av_dict_set(&st->metadata, "language", lang.c_str(), 0);
    }
    if (avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(out, nullptr) < 0) {
        ADD_FAILURE() << "cannot write header of " << path;
        ok = false;
    }
    AVPacket *pkt = av_packet_alloc();
    for (size_t i = 0; ok && i < packets.size(); ++i) {
        const shaped_packet &p = packets[i];
        av_new_packet(pkt, 160);
        for (int b = 0; b < 160; ++b)
            pkt->data[b] = static_cast<uint8_t>(i * 7 + b);  // distinct payloads, so hashes tell packets apart
        pkt->stream_index = p.stream;
        pkt->pts = p.pts == INT64_MIN ? AV_NOPTS_VALUE : p.pts;
        pkt->dts = p.dts == INT64_MIN ? AV_NOPTS_VALUE : p.dts;
        pkt->duration = 80;
        av_packet_rescale_ts(pkt, AVRational{1, 8000}, out->streams[p.stream]->time_base);
        if ((interleave ? av_interleaved_write_frame(out, pkt) : av_write_frame(out, pkt)) < 0) {
            ADD_FAILURE() << "cannot write packet " << i << " of " << path;
            ok = false;
        }
        av_packet_unref(pkt);
    }
    if (ok)
        av_write_trailer(out);
    av_packet_free(&pkt);
    avio_closep(&out->pb);
    avformat_free_context(out);
    return ok;
}

std::vector<shaped_packet> steady_packets(int count, int stream)
{
    std::vector<shaped_packet> v;
    for (int i = 0; i < count; ++i)
        v.push_back({stream, i * 80LL, i * 80LL});
    return v;
}

}  // namespace ae_test
