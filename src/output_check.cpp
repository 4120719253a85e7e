#include "output_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "avio_fd.h"
#include "platform.h"

namespace {

// A reader that has not found the stream within this much of the file does not find it.
constexpr int64_t AE_CHECK_PROBE_BYTES = 1 << 20;
// Packets read to find the stream's first ones, and packets tried for a decoded frame.
constexpr int AE_CHECK_PACKETS_READ = 64;
constexpr int AE_CHECK_PACKETS_DECODED = 4;
constexpr int AE_CHECK_BUFFER = 32 * 1024;

struct ae_reader {
    ae_fd_io io;
    AVIOContext *pb = nullptr;
    AVFormatContext *ctx = nullptr;
    AVCodecContext *dec = nullptr;
    AVPacket *pkt = nullptr;
    AVFrame *frame = nullptr;
    ~ae_reader()
    {
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&dec);
        avformat_close_input(&ctx);
        ae_avio_free(&pb);
        if (io.fd >= 0)
            ae_close(io.fd);
    }
};

int find_stream(const AVFormatContext *ctx, AVCodecID codec)
{
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVCodecParameters *par = ctx->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->codec_id == codec)
            return static_cast<int>(i);
    }
    return -1;
}

// What one packet gives a decoder: true unless it reports the data as undecodable.
bool decodes(ae_reader &r)
{
    int e = avcodec_send_packet(r.dec, r.pkt);
    if (e < 0 && e != AVERROR(EAGAIN))
        return false;
    while ((e = avcodec_receive_frame(r.dec, r.frame)) >= 0)
        av_frame_unref(r.frame);
    return e == AVERROR(EAGAIN) || e == AVERROR_EOF;
}

}  // namespace

bool ae_output_plays(const char *path, AVCodecID codec, const ae_interrupt *irq)
{
    ae_reader r;
    r.io.fd = ae_open_read(path);
    r.io.irq = irq;
    if (r.io.fd < 0 || !(r.pb = ae_avio_open(&r.io, false, AE_CHECK_BUFFER)) || !(r.ctx = avformat_alloc_context()))
        return false;
    r.ctx->pb = r.pb;
    r.ctx->probesize = AE_CHECK_PROBE_BYTES;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    const int opened = avformat_open_input(&r.ctx, nullptr, nullptr, &opts);
    av_dict_free(&opts);
    if (opened < 0)
        return false;
    int idx = find_stream(r.ctx, codec);
    if (idx < 0 && avformat_find_stream_info(r.ctx, nullptr) >= 0)
        idx = find_stream(r.ctx, codec);
    if (idx < 0)
        return false;

    const AVCodec *decoder = avcodec_find_decoder(codec);
    if (!decoder)
        return true;  // this FFmpeg has no decoder for it: the stream being there is all that can be told
    r.dec = avcodec_alloc_context3(decoder);
    r.pkt = av_packet_alloc();
    r.frame = av_frame_alloc();
    if (!r.dec || !r.pkt || !r.frame ||
        avcodec_parameters_to_context(r.dec, r.ctx->streams[idx]->codecpar) < 0 || avcodec_open2(r.dec, decoder, nullptr) < 0)
        return false;
    // A damaged first packet can happen in a sound file: one of the first few decoding is enough.
    int tried = 0;
    for (int read = 0; read < AE_CHECK_PACKETS_READ && tried < AE_CHECK_PACKETS_DECODED; ++read) {
        if (av_read_frame(r.ctx, r.pkt) < 0)
            return tried == 0;  // no packet at all: an empty stream, which the header alone describes
        if (r.pkt->stream_index == idx) {
            ++tried;
            if (decodes(r))
                return true;
        }
        av_packet_unref(r.pkt);
    }
    return tried == 0;
}
