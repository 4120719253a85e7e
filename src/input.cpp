#include "input.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/avstring.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <cstring>

namespace {

constexpr int AE_INPUT_BUFFER = 32 * 1024;

// Demuxers whose input is a list of other resources, and the extensions that name them. Anything else that
// tries to open a further resource is refused where it tries (see open_nested).
struct ae_reference_format {
    const char *name;
    const char *extensions;
};
constexpr ae_reference_format AE_REFERENCE_FORMATS[] = {
    {"hls", "m3u8,m3u"},
    {"dash", "mpd"},
    {"concat", "ffconcat"},
    {"imf", "xml"},
};

// The length of a path's scheme the way FFmpeg finds it ("http" in "http://h/x"), or 0 for a plain path.
// One letter before a colon is a Windows drive ("C:\x"), not a scheme.
size_t scheme_length(const char *path)
{
    size_t n = std::strspn(path, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.");
    if (n >= 2 && path[n] == ':')
        return n;
    if (std::strncmp(path, "subfile,", 8) == 0 && std::strchr(path + 8, ':'))
        return 7;
    return 0;
}

bool has_scheme(const char *path, const char *scheme)
{
    const size_t n = scheme_length(path);
    return n == std::strlen(scheme) && strncasecmp(path, scheme, n) == 0;
}

const ae_reference_format *reference_format(const AVInputFormat *fmt)
{
    for (const auto &r : AE_REFERENCE_FORMATS)
        if (std::strcmp(fmt->name, r.name) == 0)
            return &r;
    return nullptr;
}

// Every further resource a demuxer opens passes here. Only a playlist that was accepted by its extension
// may open anything, and only local files other than the one the input must not read.
int open_nested(AVFormatContext *s, AVIOContext **pb, const char *url, int flags, AVDictionary **options)
{
    auto *in = static_cast<ae_input *>(s->opaque);
    if (!in || !s->iformat || !reference_format(s->iformat) || (flags & AVIO_FLAG_WRITE))
        return AVERROR(EPERM);
    const char *local = ae_local_path(url);
    if (!local)
        return AVERROR(EPERM);
    ae_file_id id {};
    if (in->has_avoid && ae_path_stat(local, &id) != ae_path_kind::missing && id == in->avoid) {
        in->read_avoided = true;
        return AVERROR(EPERM);
    }
    // A local file, so FFmpeg's file protocol opens it; its default closer releases it.
    return avio_open2(pb, url, AVIO_FLAG_READ, &s->interrupt_callback, options);
}

int open_local(ae_input *in, const char *path, const char *url)
{
    in->io.fd = ae_open_read(path);
    if (in->io.fd < 0)
        return AVERROR(errno ? errno : ENOENT);  // the system's reason: missing, a directory, no permission
    bool regular = false;
    if (!ae_fd_stat(in->io.fd, &in->id, &regular))
        return AVERROR(EIO);
    in->local = true;
    in->io.irq = &in->irq;
    in->pb = ae_avio_open(&in->io, false, AE_INPUT_BUFFER);
    if (!in->pb)
        return AVERROR(ENOMEM);

    const AVInputFormat *fmt = nullptr;
    int e = av_probe_input_buffer2(in->pb, &fmt, url, nullptr, 0, 0);
    if (e < 0)
        return e;
    // A format that opens its own files would bypass the file opened here.
    if (fmt->flags & AVFMT_NOFILE)
        return AVERROR_INVALIDDATA;
    if (const ae_reference_format *r = reference_format(fmt); r && !av_match_ext(path, r->extensions))
        return AVERROR_INVALIDDATA;

    in->ctx->pb = in->pb;
    in->ctx->opaque = in;
    in->ctx->io_open = open_nested;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    e = avformat_open_input(&in->ctx, url, fmt, &opts);
    av_dict_free(&opts);
    return e;
}

// A concat script opens the files it lists on its own, past the gate above; so its entries are read here
// the way the concat demuxer reads them (one token after the "file" keyword, relative to the script).
bool reads(const char *path, const ae_file_id &id, int depth);

bool concat_script_reads(const char *script, const ae_file_id &id, int depth)
{
    constexpr size_t AE_SCRIPT_CAP = 1 << 20;
    const int fd = ae_open_read(script);
    if (fd < 0)
        return false;
    char *text = static_cast<char *>(av_malloc(AE_SCRIPT_CAP + 1));
    size_t len = 0;
    for (int64_t n = 1; text && n > 0 && len < AE_SCRIPT_CAP; len += static_cast<size_t>(n > 0 ? n : 0))
        n = ae_read(fd, text + len, AE_SCRIPT_CAP - len);
    ae_close(fd);
    if (!text)
        return false;
    text[len] = '\0';

    const char *slash = std::strrchr(script, '/');
    const int dir_len = slash ? static_cast<int>(slash - script + 1) : 0;
    bool found = false;
    for (char *line = text; line && *line && !found;) {
        char *next = std::strchr(line, '\n');
        if (next)
            *next++ = '\0';
        const char *cursor = line + std::strspn(line, " \t\r");
        if (std::strncmp(cursor, "file", 4) == 0 && (cursor[4] == ' ' || cursor[4] == '\t')) {
            cursor += 4;
            cursor += std::strspn(cursor, " \t");
            if (char *name = av_get_token(&cursor, " \t\r")) {
                const char *local = ae_local_path(name);
                char *full = local && local[0] != '/' ? av_asprintf("%.*s%s", dir_len, script, local) : nullptr;
                found = local && reads(full ? full : local, id, depth + 1);
                av_free(full);
                av_free(name);
            }
        }
        line = next;
    }
    av_free(text);
    return found;
}

// Scripts and wrappers nest; a script that lists itself must not recurse for ever.
bool reads(const char *path, const ae_file_id &id, int depth)
{
    if (depth > 4)
        return false;
    if (const char *local = ae_local_path(path)) {
        ae_file_id f {};
        if (ae_path_stat(local, &f) == ae_path_kind::missing)
            return false;
        return f == id || (av_match_ext(local, "ffconcat") && concat_script_reads(local, id, depth));
    }
    const size_t n = scheme_length(path);
    const char *rest = path + n + 1;
    if (has_scheme(path, "subfile") || has_scheme(path, "async") || has_scheme(path, "cache") ||
        std::strncmp(path, "crypto", 6) == 0) {
        if (std::strncmp(path, "subfile", 7) == 0)
            rest = std::strchr(path, ':') + 1;
        if (std::strncmp(path, "crypto+", 7) == 0)
            rest = path + 7;
        return reads(rest, id, depth + 1);
    }
    if (has_scheme(path, "concat")) {
        char part[4096];
        for (const char *p = rest; *p;) {
            const size_t len = std::strcspn(p, "|");
            if (len < sizeof part) {
                std::memcpy(part, p, len);
                part[len] = '\0';
                if (reads(part, id, depth + 1))
                    return true;
            }
            p += len + (p[len] == '|');
        }
    }
    return false;
}

}  // namespace

const char *ae_local_path(const char *path)
{
    if (has_scheme(path, "file"))
        return path + 5;
    return scheme_length(path) == 0 ? path : nullptr;
}

int ae_input_open(ae_input *in, const char *path)
{
    in->ctx = avformat_alloc_context();
    if (!in->ctx)
        return AVERROR(ENOMEM);
    in->ctx->interrupt_callback = AVIOInterruptCB{ae_interrupted, &in->irq};

    int e;
    if (const char *local = ae_local_path(path)) {
        e = open_local(in, local, path);
    } else {
        AVDictionary *opts = nullptr;
        av_dict_set_int(&opts, "rw_timeout", AE_NET_STALL_US, 0);
        e = avformat_open_input(&in->ctx, path, nullptr, &opts);
        av_dict_free(&opts);
    }
    // A failed avformat_open_input has freed the context already.
    return e;
}

void ae_input_close(ae_input *in)
{
    avformat_close_input(&in->ctx);  // leaves a custom I/O context alone
    ae_avio_free(&in->pb);
    if (in->io.fd >= 0) {
        ae_close(in->io.fd);
        in->io.fd = -1;
    }
}

bool ae_input_reads(const char *path, const ae_file_id &id)
{
    return reads(path, id, 0);
}
