// The output of an extraction: always one local file, written whole or not at all. The muxer writes a
// temporary file in the output's own directory, which is renamed onto the output's name only once it is
// complete, so a failure, a cancel or a killed host never leaves a partial file under that name and never
// harms what was there before.
#pragma once

#include <cstdint>

#include "avio_fd.h"
#include "platform.h"

struct AVIOContext;
struct AVOutputFormat;
struct AVCodecParameters;

constexpr int AE_OUT_NAME_CAP = 4096;

struct ae_output {
    char path[AE_OUT_NAME_CAP];  // the name finally written: the output path, symbolic links followed
    char temp[AE_OUT_NAME_CAP];  // the temporary file beside it, while it exists
    ae_fd_io io;
    AVIOContext *pb = nullptr;
};

// Where out_path leads: false if it is not a local file name (a URL, a pipe) or its links cannot be
// followed. A `file:` prefix names the path behind it.
bool ae_output_resolve(ae_output *o, const char *out_path);

// Whether the path may be written: true when nothing is there or a regular file is (then *existing is its
// identity and *exists is set); false for a directory, a FIFO, a device and the like.
bool ae_output_writable(const ae_output *o, ae_file_id *existing, bool *exists);

// A muxer that writes a single file of its own: not one that opens its own files (playlists, segmenters,
// image sequences, network senders).
bool ae_muxer_writes_one_file(const AVOutputFormat *fmt);

// False when the muxer is known not to hold the codec: FFmpeg says so, or it is a raw format of another
// codec.
bool ae_muxer_takes(const AVOutputFormat *fmt, const AVCodecParameters *par);

// Creates the temporary file exclusively and an I/O context over it. When a file is to be replaced, the
// new one takes its permissions (and owner where allowed) from the start, so its content is never readable
// by more than the old file's was. False on failure.
bool ae_output_create(ae_output *o, int buffer_size, bool replacing);

// Flushes what is buffered and closes the temporary file; *size gets its size. False if anything written
// could not be stored (a full disk shows here).
bool ae_output_close(ae_output *o, int64_t *size);

// Renames the finished temporary file onto the output's name. False on failure.
bool ae_output_commit(ae_output *o);

// Closes and deletes the temporary file, if it still exists; nothing else is touched.
void ae_output_discard(ae_output *o);
