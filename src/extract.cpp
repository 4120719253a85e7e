// The extraction worker: copies one audio stream's packets into a new container, no re-encoding.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/time.h>
}

#include <cstdio>
#include <cstring>

#include "platform.h"
#include "rebase.h"
#include "session.h"

namespace {

constexpr int64_t AE_MOV_READ_BLOCK = 4096;

// Everything one run owns; released by the endings below.
struct ae_job {
    ae_session *s;
    AVFormatContext *in = nullptr;
    AVFormatContext *out = nullptr;
    AVPacket *pkt = nullptr;
    bool out_written = false;  // the output file was created or truncated by this run
    int64_t t0 = 0;
};

// Closes the output file this run opened, if any (a muxer flagged AVFMT_NOFILE manages its own).
int close_output_file(ae_job &j)
{
    return j.out->oformat->flags & AVFMT_NOFILE ? 0 : avio_closep(&j.out->pb);
}

void release_output(ae_job &j)
{
    if (!j.out)
        return;
    close_output_file(j);
    avformat_free_context(j.out);
    j.out = nullptr;
}

// Shared by the cancel and failure endings: nothing of the output may remain, but only a file this run
// wrote is deleted, so a failure before the output is opened leaves the path as it was.
void abandon(ae_job &j)
{
    release_output(j);
    avformat_close_input(&j.in);
    av_packet_free(&j.pkt);
    if (j.out_written)
        ae_file_remove(j.s->out_path);
}

void end_failed(ae_job &j, const char *text)
{
    std::snprintf(j.s->error, sizeof j.s->error, "%s", text);
    abandon(j);
    ae_store(j.s->state, int32_t{AE_STATE_FAILED}, std::memory_order_release);
}

void end_cancelled(ae_job &j)
{
    abandon(j);
    ae_store(j.s->state, int32_t{AE_STATE_CANCELLED}, std::memory_order_release);
}

void end_done(ae_job &j)
{
    ae_session *s = j.s;
    // Buffered output reaches the file only here: a full disk shows now, and a file without its trailer
    // (an MP4 without its index) is no result, so either failure fails the session.
    const int trailer = av_write_trailer(j.out);
    const int closed = close_output_file(j);
    if (trailer < 0 || closed < 0) {
        end_failed(j, "write trailer failed");
        return;
    }
    ae_store(s->out_size_bytes, ae_file_size(s->out_path));
    ae_store(s->elapsed_ms, (av_gettime() - j.t0) / 1000);
    avformat_close_input(&j.in);
    avformat_free_context(j.out);
    j.out = nullptr;
    av_packet_free(&j.pkt);
    ae_store(s->state, int32_t{AE_STATE_DONE}, std::memory_order_release);
}

// The chosen stream's index, or -1: a requested index must name an audio stream; a negative request
// takes the first audio stream.
int choose_stream(const AVFormatContext *in, int32_t requested)
{
    auto is_audio = [in](unsigned i) { return in->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO; };
    if (requested >= 0)
        return static_cast<unsigned>(requested) < in->nb_streams && is_audio(requested) ? requested : -1;
    for (unsigned i = 0; i < in->nb_streams; ++i)
        if (is_audio(i))
            return static_cast<int>(i);
    return -1;
}

// The demuxer is told that no other stream is wanted, so it can skip their data instead of reading it into
// packets. MP4/MOV demuxers then seek from one audio sample to the next; small reads keep each seek from
// pulling in the video samples around it (larger reads suit interleaved containers such as MKV and TS).
void read_only_what_is_needed(AVFormatContext *in, int idx)
{
    for (unsigned i = 0; i < in->nb_streams; ++i)
        if (static_cast<int>(i) != idx)
            in->streams[i]->discard = AVDISCARD_ALL;
    if (in->pb && in->iformat && std::strstr(in->iformat->name, "mov"))
        av_opt_set_int(in->pb, "blocksize", AE_MOV_READ_BLOCK, AV_OPT_SEARCH_CHILDREN);
}

// Opens everything and writes the header; returns the failure text, or null when the copy can begin.
const char *prepare(ae_job &j, int *idx)
{
    ae_session *s = j.s;
    if (avformat_open_input(&j.in, s->in_path, nullptr, nullptr) < 0)
        return "cannot open input";
    if (avformat_find_stream_info(j.in, nullptr) < 0)
        return "no stream info";
    *idx = choose_stream(j.in, s->stream_index);
    if (*idx < 0)
        return "no audio stream";
    read_only_what_is_needed(j.in, *idx);
    const AVStream *ist = j.in->streams[*idx];

    const char *name = avcodec_get_name(ist->codecpar->codec_id);
    std::snprintf(s->codec, sizeof s->codec, "%s", name && *name ? name : "?");
    ae_store(s->codec_ready, int32_t{1}, std::memory_order_release);
    ae_store(s->total_ms, j.in->duration == AV_NOPTS_VALUE ? int64_t{0} : j.in->duration / 1000);

    if (avformat_alloc_output_context2(&j.out, nullptr, nullptr, s->out_path) < 0 || !j.out)
        return "cannot create output (bad extension?)";
    AVStream *ost = avformat_new_stream(j.out, nullptr);
    if (!ost)
        return "new stream failed";
    if (avcodec_parameters_copy(ost->codecpar, ist->codecpar) < 0)
        return "param copy failed";
    ost->codecpar->codec_tag = 0;  // let the output container pick its own tag
    ost->time_base = ist->time_base;

    // Opening the output truncates it: never when it is the input itself, under any name.
    if (ae_same_file(s->in_path, s->out_path))
        return "cannot open output file";
    if (!(j.out->oformat->flags & AVFMT_NOFILE) && avio_open(&j.out->pb, s->out_path, AVIO_FLAG_WRITE) < 0)
        return "cannot open output file";
    // A muxer without a file of ours opens its own from here on.
    j.out_written = true;
    if (avformat_write_header(j.out, nullptr) < 0)
        return "write header failed (codec/container mismatch?)";

    j.pkt = av_packet_alloc();
    if (!j.pkt)
        return "write frame failed";
    return nullptr;
}

}  // namespace

int32_t extract_thread(ae_session *s)
{
    ae_job j{s};
    ae_store(s->state, int32_t{AE_STATE_RUNNING});
    j.t0 = av_gettime();

    int idx = -1;
    if (const char *err = prepare(j, &idx)) {
        end_failed(j, err);
        return 0;
    }

    const AVRational tb_in = j.in->streams[idx]->time_base;
    const AVStream *ost = j.out->streams[0];
    int64_t first_pts = AV_NOPTS_VALUE;
    AVPacket *pkt = j.pkt;

    // A read error is not told apart from the end of the input: what was copied is kept.
    while (av_read_frame(j.in, pkt) >= 0) {
        if (ae_load(s->cancel_requested)) {
            av_packet_unref(pkt);
            end_cancelled(j);
            return 0;
        }
        if (pkt->stream_index != idx) {
            av_packet_unref(pkt);
            continue;
        }

        const bool has_pos = ae_rebase(&pkt->pts, &pkt->dts, &first_pts);
        if (has_pos) {
            int64_t ms = av_rescale_q(pkt->pts, tb_in, AVRational{1, 1000});
            if (ms > s->processed_ms)
                ae_store(s->processed_ms, ms);
        }
        av_packet_rescale_ts(pkt, tb_in, ost->time_base);
        pkt->stream_index = 0;
        pkt->pos = -1;
        ae_store(s->packets, s->packets + 1);  // counted before the write: a packet that fails counts
        int ret = av_interleaved_write_frame(j.out, pkt);
        av_packet_unref(pkt);
        if (ret < 0) {
            end_failed(j, "write frame failed");
            return 0;
        }
    }
    end_done(j);
    return 0;
}
