// Opening a media input under the library's policy, for the probe and for extractions alike.
//
// A plain path (or a `file:` one) opens that one local file and nothing else: the library opens the file
// itself, FFmpeg may reach only local files, and a demuxer whose job is to open further resources (a
// playlist, a manifest, a concat script) is accepted only when the file's own extension names that kind.
// So a file called clip.mp4 that is really a playlist cannot make the library read what it lists.
// Any other address (http:, https:, ...) is opened as FFmpeg opens it, with FFmpeg's own limits.
#pragma once

#include <cstdint>

#include "avio_fd.h"
#include "platform.h"

struct AVFormatContext;
struct AVIOContext;

// A network read that delivers nothing for this long fails.
constexpr int64_t AE_NET_STALL_US = 10 * 1000 * 1000;

struct ae_input {
    AVFormatContext *ctx = nullptr;
    ae_interrupt irq;             // set by the caller before opening
    bool copies = false;          // set by the caller: packets will be copied after the header is read
    ae_file_id avoid {};          // a file the input must never read (the output's), when has_avoid
    bool has_avoid = false;
    bool read_avoided = false;    // the input tried to read that file, through a playlist entry
    bool entry_failed = false;    // a file a playlist lists could not be opened: its data is missing
    bool local = false;           // a local file, read through io
    ae_file_id id {};             // that file's identity
    ae_fd_io io;
    AVIOContext *pb = nullptr;
};

// Opens path into in->ctx (stream information not yet read). Returns 0 or a negative FFmpeg error code.
int ae_input_open(ae_input *in, const char *path);

// Releases whatever ae_input_open acquired; safe after a failed open and twice.
void ae_input_close(ae_input *in);

// True if some local file that path reads (itself, or the files a wrapping scheme such as concat:,
// async: or subfile: names) is the file with identity id.
bool ae_input_reads(const char *path, const ae_file_id &id);

// The local file a path names: the path behind a `file:` prefix, or the path itself when it has no scheme;
// null for any other address.
const char *ae_local_path(const char *path);
