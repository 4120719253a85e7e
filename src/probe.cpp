// The media probe: one JSON report on a file's container and streams.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/time.h>
}

#include <cstdarg>
#include <cstdio>

#include "input.h"
#include "json_escape.h"
#include "audioextract.h"

namespace {

constexpr size_t AE_PROBE_CAP = 65536;
// A probe gives up after this long, whatever the input does (a silent server, a live playlist).
constexpr int64_t AE_PROBE_LIMIT_US = 15 * 1000 * 1000;
// Once the report passes this length the list being written takes no more entries; the rest of the buffer
// is kept for what closes the report.
constexpr size_t AE_PROBE_SOFT_LIMIT = 65023;
// An audio entry must leave room for the stream list's opening, its first entry (a bounded size: numbers,
// a type and a codec name) and the closing brackets.
constexpr size_t AE_AUDIO_ENTRY_RESERVE = 400;
// What closes the report: "]}", after the mark of entries left out when there are any.
constexpr const char *AE_TRUNCATED_MARK = ",\"truncated\":true";
constexpr size_t AE_CLOSING_RESERVE = 2 + sizeof ",\"truncated\":true" - 1;
// A language tag is a few letters (ISO 639, BCP 47); a longer one is cut to this many bytes as escaped,
// between characters, so that its stream is still listed.
constexpr size_t AE_LANGUAGE_CAP = 256;

char g_probe_json[AE_PROBE_CAP];

// The report under construction: every append is bounded by the room left, and an append that would not
// leave `reserve` bytes free after its text and NUL is undone whole, so the report stays one valid object.
struct ae_report {
    size_t len = 0;
    bool left_out = false;  // an entry of either list did not fit
    bool full() const { return len > AE_PROBE_SOFT_LIMIT; }
};

__attribute__((format(printf, 3, 4))) bool append(ae_report &r, size_t reserve, const char *fmt, ...)
{
    const size_t room = AE_PROBE_CAP - r.len;
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(g_probe_json + r.len, room, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) + reserve >= room) {
        g_probe_json[r.len] = '\0';
        return false;
    }
    r.len += static_cast<size_t>(n);
    return true;
}

const char *codec_name(AVCodecID id)
{
    const char *name = avcodec_get_name(id);
    return name && *name ? name : "?";
}

const char *type_name(AVMediaType t)
{
    switch (t) {
    case AVMEDIA_TYPE_VIDEO: return "video";
    case AVMEDIA_TYPE_AUDIO: return "audio";
    case AVMEDIA_TYPE_SUBTITLE: return "subtitle";
    default: return "other";
    }
}

const char *suggested_ext(AVCodecID id)
{
    switch (id) {
    case AV_CODEC_ID_MP3: return "mp3";
    case AV_CODEC_ID_AAC: return "m4a";
    case AV_CODEC_ID_AC3: return "ac3";
    case AV_CODEC_ID_EAC3: return "eac3";
    case AV_CODEC_ID_FLAC: return "flac";
    case AV_CODEC_ID_VORBIS:
    case AV_CODEC_ID_OPUS: return "ogg";
    default: return "mka";
    }
}

void write_report(ae_report &r, const AVFormatContext *in)
{
    // Names from the media library are escaped like everything else: a report must parse whatever they hold.
    char format[256], codec[128];
    json_escape(in->iformat && in->iformat->name ? in->iformat->name : "", format, sizeof format);
    const long long duration = in->duration == AV_NOPTS_VALUE ? 0 : in->duration / 1000;
    append(r, 0, "{\"ok\":true,\"duration_ms\":%lld,\"format\":\"%s\",\"audio_streams\":[", duration, format);

    bool any = false;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        const AVCodecParameters *par = in->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        // The language tag comes from the file and may hold anything, quotes and backslashes included.
        char lang[AE_LANGUAGE_CAP];
        const AVDictionaryEntry *tag = av_dict_get(in->streams[i]->metadata, "language", nullptr, 0);
        json_escape(tag ? tag->value : "", lang, sizeof lang);
        json_escape(codec_name(par->codec_id), codec, sizeof codec);
        if (r.full() ||
            !append(r, AE_AUDIO_ENTRY_RESERVE,
                    "%s{\"index\":%u,\"codec\":\"%s\",\"channels\":%d,\"sample_rate\":%d,\"bitrate\":%lld,"
                    "\"language\":\"%s\",\"suggested_ext\":\"%s\"}",
                    any ? "," : "", i, codec, par->ch_layout.nb_channels, par->sample_rate,
                    static_cast<long long>(par->bit_rate), lang, suggested_ext(par->codec_id))) {
            r.left_out = true;  // an entry that does not fit is left out whole, and the list ends
            break;
        }
        any = true;
    }

    append(r, 0, "],\"streams\":[");
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        const AVStream *st = in->streams[i];
        const AVRational fr = st->avg_frame_rate;
        const double fps = fr.den > 0 ? static_cast<double>(fr.num) / fr.den : 0.0;
        json_escape(codec_name(st->codecpar->codec_id), codec, sizeof codec);
        if ((i > 0 && r.full()) ||
            !append(r, AE_CLOSING_RESERVE,
                    "%s{\"index\":%u,\"type\":\"%s\",\"codec\":\"%s\",\"width\":%d,\"height\":%d,\"fps\":%.3f}",
                    i ? "," : "", i, type_name(st->codecpar->codec_type), codec, st->codecpar->width,
                    st->codecpar->height, fps)) {
            r.left_out = true;
            break;
        }
    }
    append(r, 0, "]%s}", r.left_out ? AE_TRUNCATED_MARK : "");
}

}  // namespace

extern "C" AE_API const char *AE_CALL audioextract_probe(const char *path)
{
    if (!path || !*path) {
        std::snprintf(g_probe_json, sizeof g_probe_json, "{\"ok\":false,\"error\":\"empty path\"}");
        return g_probe_json;
    }

    ae_input input;
    input.irq.deadline = av_gettime_relative() + AE_PROBE_LIMIT_US;
    int e = ae_input_open(&input, path);
    if (e < 0) {
        ae_input_close(&input);
        char text[128], escaped[256];
        av_strerror(e, text, sizeof text);
        json_escape(text, escaped, sizeof escaped);
        std::snprintf(g_probe_json, sizeof g_probe_json, "{\"ok\":false,\"error\":\"open: %s\"}", escaped);
        return g_probe_json;
    }
    if (avformat_find_stream_info(input.ctx, nullptr) < 0) {
        ae_input_close(&input);
        std::snprintf(g_probe_json, sizeof g_probe_json, "{\"ok\":false,\"error\":\"%s\"}", AE_TEXT_NO_STREAM_INFO);
        return g_probe_json;
    }

    ae_report r;
    write_report(r, input.ctx);
    ae_input_close(&input);
    return g_probe_json;
}
