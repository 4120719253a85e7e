// The extraction worker: copies one audio stream's packets into a new container, no re-encoding.
//
// One run owns an input, an output and a packet, created in that order and released in reverse by one
// path out. Each step returns null or the text of its failure; one place then decides how the session
// ends, and the final state is stored last.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include <cstdio>
#include <cstring>

#include "input.h"
#include "links.h"
#include "output.h"
#include "output_check.h"
#include "platform.h"
#include "read_plan.h"
#include "session.h"
#include "timeline.h"

namespace {

constexpr int64_t AE_MOV_READ_BLOCK = 4096;
// Output is written in large blocks, flushed when the buffer fills rather than after every packet.
constexpr int AE_OUTPUT_BUFFER = 256 * 1024;

// Returned by a step that stopped because the host cancelled.
const char *const AE_CANCELLED = "cancelled";

struct ae_job {
    ae_session *s;
    ae_input in;
    AVFormatContext *mux = nullptr;
    ae_output out;
    AVPacket *pkt = nullptr;
    ae_read_plan plan;  // MP4/MOV: where the chosen stream's samples are, asked for ahead of use
    bool out_resolved = false;  // out.path holds the local file the output path leads to
    int idx = -1;
    int64_t out_size = 0;
    char error[AE_ERROR_CAP];  // a failure text composed for this run
};

bool cancel_seen(const ae_job &j)
{
    return ae_load(j.s->cancel_requested) != 0;
}

// A planned reader asks for what the index says comes next; a failure to plan only loses the hint.
void ask_ahead(ae_job &j)
{
    if (j.plan.stream >= 0 && ae_plan_refresh(&j.plan, j.in.ctx))
        ae_plan_advise(&j.plan, j.in.io.fd, j.in.io.pos, av_gettime_relative());
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
// packets. MP4/MOV demuxers then seek from one audio sample to the next: small reads keep each seek from
// pulling in the video samples around it; when the index shows the samples far apart (a fragmented or
// camera-like file), their ranges are asked for ahead. Interleaved containers such as MKV and TS are read
// front to back, which the kernel is told so its read-ahead grows; asking for their data explicitly was
// measured to cost more than it saved (the kernel's own read-ahead keeps up with `cat`).
void read_only_what_is_needed(ae_job &j)
{
    AVFormatContext *in = j.in.ctx;
    j.in.io.scanning = false;  // the header is read: from here on the index or the kernel leads the reads
    for (unsigned i = 0; i < in->nb_streams; ++i)
        if (static_cast<int>(i) != j.idx)
            in->streams[i]->discard = AVDISCARD_ALL;
    if (!j.in.local || !j.in.pb->seekable)
        return;
    if (std::strstr(in->iformat->name, "mov")) {
        j.in.io.max_read = AE_MOV_READ_BLOCK;
        j.plan.stream = j.idx;
        if (!ae_plan_refresh(&j.plan, in) ||
            !(ae_plan_is_coarse(&j.plan) || ae_plan_index_is_partial(&j.plan, in))) {
            ae_plan_free(&j.plan);
            j.plan.stream = -1;
        }
        ask_ahead(j);
    } else {
        ae_advise_sequential(j.in.io.fd);
    }
}

const char *open_input(ae_job &j)
{
    ae_session *s = j.s;
    j.in.irq.cancel = &s->cancel_requested;
    j.in.copies = true;
    // The input must never read the file the output will replace, even through a playlist entry.
    j.out_resolved = ae_output_resolve(&j.out, s->out_path);
    if (j.out_resolved) {
        bool exists = false;
        ae_output_writable(&j.out, &j.in.avoid, &exists);
        j.in.has_avoid = exists;
    }
    if (const int e = ae_input_open(&j.in, s->in_path); e < 0) {
        // A followed playlist that led to the output was refused for the output's sake.
        if (j.in.read_avoided)
            return AE_TEXT_OPEN_OUTPUT;
        char reason[128];
        av_strerror(e, reason, sizeof reason);
        std::snprintf(j.error, sizeof j.error, "%s: %s", AE_TEXT_OPEN_INPUT, reason);
        return j.error;
    }
    if (avformat_find_stream_info(j.in.ctx, nullptr) < 0)
        return AE_TEXT_NO_STREAM_INFO;
    j.idx = choose_stream(j.in.ctx, s->stream_index);
    if (j.idx < 0)
        return AE_TEXT_NO_AUDIO_STREAM;
    read_only_what_is_needed(j);

    const AVStream *ist = j.in.ctx->streams[j.idx];
    const char *name = avcodec_get_name(ist->codecpar->codec_id);
    std::snprintf(s->codec, sizeof s->codec, "%s", name && *name ? name : "?");
    ae_store(s->codec_ready, int32_t{1}, std::memory_order_release);
    ae_store(s->total_ms, j.in.ctx->duration == AV_NOPTS_VALUE ? int64_t{0} : j.in.ctx->duration / 1000);
    return nullptr;
}

// Writing replaces the file at the output's name: never when that file is something the input reads.
bool output_is_input(const ae_job &j, const ae_file_id &existing)
{
    return (j.in.local && j.in.id == existing) || ae_input_reads(j.s->in_path, existing) || j.in.read_avoided;
}

const char *open_output(ae_job &j)
{
    ae_session *s = j.s;
    const char *local = ae_local_path(s->out_path);
    if (avformat_alloc_output_context2(&j.mux, nullptr, nullptr, local ? local : s->out_path) < 0 || !j.mux ||
        !ae_muxer_writes_one_file(j.mux->oformat))
        return AE_TEXT_BAD_EXTENSION;
    AVStream *ost = avformat_new_stream(j.mux, nullptr);
    if (!ost)
        return AE_TEXT_NEW_STREAM;
    const AVStream *ist = j.in.ctx->streams[j.idx];
    if (avcodec_parameters_copy(ost->codecpar, ist->codecpar) < 0)
        return AE_TEXT_PARAM_COPY;
    ost->codecpar->codec_tag = 0;  // let the output container pick its own tag
    ost->time_base = ist->time_base;
    if (!ae_muxer_takes(j.mux->oformat, ost->codecpar))
        return AE_TEXT_WRITE_HEADER;

    ae_file_id existing {};
    bool exists = false;
    // Looked at again just before writing: what is at the name now is what the rename would replace.
    if (!local || !j.out_resolved || !ae_output_writable(&j.out, &existing, &exists))
        return AE_TEXT_OPEN_OUTPUT;
    if (exists && (output_is_input(j, existing) || ae_replace_refused(j.out.path)))
        return AE_TEXT_OPEN_OUTPUT;
    if (!ae_output_create(&j.out, AE_OUTPUT_BUFFER, exists))
        return AE_TEXT_OPEN_OUTPUT;
    j.mux->pb = j.out.pb;

    j.mux->flush_packets = 0;
    AVDictionary *opts = nullptr;
    // A WAV that outgrows 4 GiB becomes RF64 instead of carrying sizes that wrapped.
    if (std::strcmp(j.mux->oformat->name, "wav") == 0)
        av_dict_set(&opts, "rf64", "auto", 0);
    const int e = avformat_write_header(j.mux, &opts);
    av_dict_free(&opts);
    if (e < 0)
        return AE_TEXT_WRITE_HEADER;

    j.pkt = av_packet_alloc();
    return j.pkt ? nullptr : AE_TEXT_NO_MEMORY;
}

// Whether a failed read means the data could not be read (an I/O error, a stalled or interrupted source)
// rather than that it ended; a damaged or truncated file ends like a complete one.
bool read_broke(const ae_job &j, int e)
{
    // A demuxer that meets data it cannot read on ("patches welcome") would end the copy early.
    if (e == AVERROR_EXIT || e == AVERROR(EIO) || e == AVERROR(ETIMEDOUT) || e == AVERROR_PATCHWELCOME)
        return true;
    const AVIOContext *pb = j.in.ctx->pb;
    return pb && pb->error < 0 && pb->error != AVERROR_EOF;
}

const char *copy_packets(ae_job &j)
{
    ae_session *s = j.s;
    const AVStream *ist = j.in.ctx->streams[j.idx];
    // What the output's header was written from: a later link coded another way cannot go on under it.
    const ae_stream_shape shape = ae_shape_of(ist);
    const AVRational tb_in = shape.time_base;
    const AVStream *ost = j.mux->streams[0];
    ae_timeline timeline;
    timeline.mend_jumps = (j.in.ctx->iformat->flags & AVFMT_TS_DISCONT) != 0;
    AVPacket *pkt = j.pkt;

    for (;;) {
        const int e = av_read_frame(j.in.ctx, pkt);
        if (j.in.entry_failed && !cancel_seen(j)) {
            av_packet_unref(pkt);
            return AE_TEXT_READ_FAILED;  // a playlist entry could not be read: the copy would have a hole
        }
        if (e < 0 && cancel_seen(j))
            return AE_CANCELLED;
        // Newer Ogg readers refuse a chained link coded another way themselves, instead of handing on its
        // headers: the same fault as the one found below, and told the same way.
        if (e == AVERROR_PATCHWELCOME && std::strcmp(j.in.ctx->iformat->name, "ogg") == 0)
            return AE_TEXT_FORMAT_CHANGES;
        if (e < 0)
            return read_broke(j, e) ? AE_TEXT_READ_FAILED : nullptr;
        if (cancel_seen(j)) {
            av_packet_unref(pkt);
            return AE_CANCELLED;
        }
        if (pkt->stream_index != j.idx) {
            av_packet_unref(pkt);
            continue;
        }
        ask_ahead(j);
        if (!(ae_shape_after(ist, pkt) == shape)) {
            av_packet_unref(pkt);
            return AE_TEXT_FORMAT_CHANGES;
        }

        // A later link's headers carry no time of their own: they go where the stream has got to.
        if (ae_link_header(shape.codec, pkt)) {
            ae_timeline_place_between(&timeline, &pkt->pts, &pkt->dts);
        } else if (ae_timeline_place(&timeline, &pkt->pts, &pkt->dts, pkt->duration)) {
            const int64_t ms = av_rescale_q(pkt->pts, tb_in, AVRational{1, 1000});
            if (ms > s->processed_ms)
                ae_store(s->processed_ms, ms);
        }
        av_packet_rescale_ts(pkt, tb_in, ost->time_base);
        pkt->stream_index = 0;
        pkt->pos = -1;
        ae_store(s->packets, s->packets + 1);  // counted before the write: a packet that fails counts
        const int ret = av_interleaved_write_frame(j.mux, pkt);
        av_packet_unref(pkt);
        if (ret < 0)
            return AE_TEXT_WRITE_FRAME;
    }
}

// Buffered output reaches the file only here: a full disk shows now, and a file without its trailer (an
// MP4 without its index) is no result. The finished file then takes the output's name in one step.
const char *finish_output(ae_job &j)
{
    const int trailer = av_write_trailer(j.mux);
    if (!ae_output_close(&j.out, &j.out_size) || trailer < 0)
        return AE_TEXT_WRITE_TRAILER;
    if (j.in.read_avoided)
        return AE_TEXT_OPEN_OUTPUT;
    // A container that took the packets but keeps them where no reader finds or decodes them (FLAC in
    // MPEG-TS becomes a data stream; AAC without its configuration in W64) is refused here, before the
    // file takes the output's name.
    if (!ae_output_plays(j.out.temp, j.mux->streams[0]->codecpar->codec_id, &j.in.irq))
        return cancel_seen(j) ? AE_CANCELLED : AE_TEXT_WRITE_HEADER;
    if (!ae_output_commit(&j.out))
        return AE_TEXT_RENAME;
    return nullptr;
}

// Releases everything the run created, in reverse order. A temporary file still there is deleted; the
// output's name is never touched here.
void release(ae_job &j)
{
    ae_plan_free(&j.plan);
    av_packet_free(&j.pkt);
    ae_output_discard(&j.out);
    if (j.mux)
        j.mux->pb = nullptr;
    avformat_free_context(j.mux);
    j.mux = nullptr;
    ae_input_close(&j.in);
}

}  // namespace

int32_t extract_thread(ae_session *s)
{
    ae_store(s->state, int32_t{AE_STATE_RUNNING});
    const int64_t t0 = av_gettime();
    ae_job j {};
    j.s = s;

    const char *err = open_input(j);
    if (!err)
        err = open_output(j);
    if (!err)
        err = copy_packets(j);
    if (!err)
        err = finish_output(j);
    release(j);

    // A step that failed while the host was cancelling failed because of the cancel (an interrupted open
    // or read): the session is cancelled, not failed.
    int32_t state = AE_STATE_DONE;
    if (err == AE_CANCELLED || (err && cancel_seen(j))) {
        state = AE_STATE_CANCELLED;
    } else if (err) {
        std::snprintf(s->error, sizeof s->error, "%s", err);
        state = AE_STATE_FAILED;
    } else {
        ae_store(s->out_size_bytes, j.out_size);
        ae_store(s->elapsed_ms, (av_gettime() - t0) / 1000);
    }
    ae_store(s->state, state, std::memory_order_release);
    return 0;
}
