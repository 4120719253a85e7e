#include "input.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/avstring.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <cstring>
#include <string>

#include "concat_script.h"

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

// Protocols whose address names a list of other files or a folder of them: "concatf:list.txt",
// "hls+file:x.m3u8", "bluray:/dir".
constexpr const char *AE_LIST_PROTOCOLS[] = {"concatf", "hls", "bluray"};

// The protocols an address that is not a plain local path may use, at any depth: every input protocol of
// this FFmpeg but those. (A whitelist rather than FFmpeg's blacklist option, which FFmpeg 5.1 leaks.)
std::string protocol_whitelist()
{
    std::string list;
    void *it = nullptr;
    while (const char *name = avio_enum_protocols(&it, 0)) {
        bool refused = false;
        for (const char *l : AE_LIST_PROTOCOLS)
            refused |= std::strcmp(name, l) == 0;
        if (refused)
            continue;
        if (!list.empty())
            list += ',';
        list += name;
    }
    return list;
}

// Wrapping schemes nest ("async:cache:file:x"); past this depth a path is taken to read the file asked
// about, so no depth of wrapping hides it.
constexpr int AE_MAX_NESTING = 16;

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

// A local file that a playlist or script lists may be read only when it is a regular file (a FIFO or
// device would block in its open, beyond cancel) and not the file the input must never read.
int entry_allowed(ae_input *in, const char *local)
{
    ae_file_id id {};
    switch (ae_path_stat(local, &id)) {
    case ae_path_kind::missing: return AVERROR(ENOENT);
    case ae_path_kind::other: return AVERROR(EPERM);
    case ae_path_kind::regular: break;
    }
    if (in->has_avoid && id == in->avoid) {
        in->read_avoided = true;
        return AVERROR(EPERM);
    }
    return 0;
}

// The demuxers an input may use: every one but those that open further resources of their own, and the
// one named (the reference format the input was accepted as), if any.
std::string demuxer_whitelist(const char *also)
{
    std::string list = also ? also : "";
    void *it = nullptr;
    while (const AVInputFormat *f = av_demuxer_iterate(&it)) {
        if (reference_format(f) || (f->flags & AVFMT_NOFILE))
            continue;
        if (!list.empty())
            list += ',';
        list += f->name;
    }
    return list;
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
    int e = entry_allowed(in, local);
    // A local file, so FFmpeg's file protocol opens it; its default closer releases it.
    if (e >= 0)
        e = avio_open2(pb, url, AVIO_FLAG_READ, &s->interrupt_callback, options);
    // A playlist demuxer skips an entry it cannot open and goes on: the output would have a hole, which
    // the worker reports instead.
    if (e < 0 && !in->read_avoided)
        in->entry_failed = true;
    return e;
}

// What a local file holds, probed as FFmpeg would probe it when opening it as media.
const AVInputFormat *probe_file(const char *path, const char *url)
{
    ae_fd_io io;
    io.fd = ae_open_read(path);
    if (io.fd < 0)
        return nullptr;
    const AVInputFormat *fmt = nullptr;
    if (AVIOContext *pb = ae_avio_open(&io, false, AE_INPUT_BUFFER)) {
        av_probe_input_buffer2(pb, &fmt, url, nullptr, 0, 0);
        ae_avio_free(&pb);
    }
    ae_close(io.fd);
    return fmt;
}

// A file a concat script lists, checked before FFmpeg opens it: a regular local file other than the
// output, that holds no list of further files (a concat script's entries are opened without the library's
// gate, so a playlist among them would be followed wherever it leads).
int check_concat_entries(ae_input *in, const char *script)
{
    const int read = ae_concat_script_entries(script, [in](const char *entry) {
        const char *local = ae_local_path(entry);
        if (!local)
            return AVERROR(EPERM);
        if (const int e = entry_allowed(in, local); e < 0)
            return e;  // a missing entry would leave a hole where FFmpeg reaches it
        const AVInputFormat *fmt = probe_file(local, entry);
        return fmt && (reference_format(fmt) || (fmt->flags & AVFMT_NOFILE)) ? AVERROR(EPERM) : 0;
    });
    // A script whose entries cannot all be known might list the output.
    if (read < 0 && read != AVERROR(EPERM) && in->has_avoid)
        in->read_avoided = true;
    return read;
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
    in->io.scanning = regular;  // until the stream information has been read
    in->io.way.gaps_read_later = in->copies;
    in->io.way.reads_in_order = true;  // the header read reads gaps through instead of seeking over them
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
    const ae_reference_format *r = reference_format(fmt);
    if (r && !av_match_ext(path, r->extensions))
        return AVERROR_INVALIDDATA;
    if (r && std::strcmp(r->name, "concat") == 0)
        if (const int c = check_concat_entries(in, path); c < 0)
            return c;

    in->ctx->pb = in->pb;
    in->ctx->opaque = in;
    in->ctx->io_open = open_nested;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    // Demuxers that a playlist or script opens inherit this list: none of them may be one that opens
    // further files, so the rule above holds at every depth.
    av_dict_set(&opts, "format_whitelist", demuxer_whitelist(r ? r->name : nullptr).c_str(), 0);
    if (r && std::strcmp(r->name, "concat") == 0)
        av_dict_set(&opts, "safe", "1", 0);  // entries are plain relative names (FFmpeg's default)
    e = avformat_open_input(&in->ctx, url, fmt, &opts);
    av_dict_free(&opts);
    return e;
}

// The address a wrapping scheme wraps ("file:x" of "async:file:x", the first part of "concat:a|b"), or
// null when the path has no wrapping scheme.
const char *wrapped(const char *path)
{
    if (std::strncmp(path, "subfile,", 8) == 0 || has_scheme(path, "subfile")) {
        const char *colon = std::strchr(path, ':');
        return colon ? colon + 1 : nullptr;
    }
    if (std::strncmp(path, "crypto+", 7) == 0)
        return path + 7;
    if (has_scheme(path, "async") || has_scheme(path, "cache") || has_scheme(path, "crypto") ||
        has_scheme(path, "concat"))
        return path + scheme_length(path) + 1;
    return nullptr;
}

// Whether a path with a scheme reads local files in the end ("async:file:x", "concat:a|b"), not a remote
// source: such an input is held to the rule for local files on what it may be read as.
bool wraps_local(const char *path)
{
    for (int depth = 0; depth <= AE_MAX_NESTING && path; ++depth, path = wrapped(path))
        if (ae_local_path(path))
            return true;
    return false;
}

bool reads(const char *path, const ae_file_id &id, int depth)
{
    if (depth > AE_MAX_NESTING)
        return true;
    if (const char *local = ae_local_path(path)) {
        ae_file_id f {};
        if (ae_path_stat(local, &f) == ae_path_kind::missing)
            return false;
        if (f == id)
            return true;
        // A concat script opens the files it lists; a script that cannot be read as FFmpeg reads it is
        // taken to read the file, since its entries cannot be known.
        if (!av_match_ext(local, "ffconcat"))
            return false;
        const int e = ae_concat_script_entries(local, [&](const char *entry) { return reads(entry, id, depth + 1); });
        return e != 0;
    }
    const char *rest = wrapped(path);
    if (!rest)
        return false;
    if (!has_scheme(path, "concat"))
        return reads(rest, id, depth + 1);
    char part[4096];
    for (const char *p = rest; *p;) {
        const size_t len = std::strcspn(p, "|");
        if (len >= sizeof part)
            return true;
        std::memcpy(part, p, len);
        part[len] = '\0';
        if (reads(part, id, depth + 1))
            return true;
        p += len + (p[len] == '|');
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
        // No scheme that reads a list of further files past every check here, at any depth.
        av_dict_set(&opts, "protocol_whitelist", protocol_whitelist().c_str(), 0);
        if (wraps_local(path)) {
            // Local data read through a scheme is what it is named, as a plain local path is.
            const ae_reference_format *named = nullptr;
            for (const auto &r : AE_REFERENCE_FORMATS)
                if (av_match_ext(path, r.extensions))
                    named = &r;
            av_dict_set(&opts, "format_whitelist", demuxer_whitelist(named ? named->name : nullptr).c_str(), 0);
        }
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
