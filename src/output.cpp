#include "output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstring>

#include "input.h"
#include "temp_names.h"

bool ae_output_resolve(ae_output *o, const char *out_path)
{
    o->temp[0] = '\0';
    const char *local = ae_local_path(out_path);
    return local && ae_follow_links(local, o->path, sizeof o->path);
}

bool ae_output_writable(const ae_output *o, ae_file_id *existing, bool *exists)
{
    const ae_path_kind kind = ae_path_stat(o->path, existing);
    *exists = kind == ae_path_kind::regular;
    return kind != ae_path_kind::other;
}

bool ae_muxer_writes_one_file(const AVOutputFormat *fmt)
{
    // Segmenting and playlist muxers are all flagged NOFILE or NEEDNUMBER; the names guard against one
    // that is not.
    static const char *const others[] = {"hls", "dash", "segment", "stream_segment", "image2", "tee", "fifo",
                                         "hds", "smoothstreaming", "webm_chunk"};
    if (fmt->flags & (AVFMT_NOFILE | AVFMT_NEEDNUMBER))
        return false;
    for (const char *name : others)
        if (std::strcmp(fmt->name, name) == 0)
            return false;
    return true;
}

bool ae_muxer_takes(const AVOutputFormat *fmt, const AVCodecParameters *par)
{
    // What is known before copying is refused here; whatever else a container cannot hold shows when the
    // finished file is read back.
    const int known = avformat_query_codec(fmt, par->codec_id, FF_COMPLIANCE_NORMAL);
    if (known == 0)
        return false;
    // A raw stream format (no timestamps, one default codec) that cannot say holds only its own codec:
    // AAC bytes in a file named .ac3 are no AC-3 file. Newer FFmpeg refuses these itself.
    return !(known < 0 && (fmt->flags & AVFMT_NOTIMESTAMPS) && fmt->audio_codec != AV_CODEC_ID_NONE &&
             par->codec_id != fmt->audio_codec);
}

bool ae_output_create(ae_output *o, int buffer_size, bool replacing)
{
    const size_t dir_len = ae_folder_length(o->path);
    ae_remove_leftovers(o->path, dir_len);
    for (int attempt = 0; attempt < 16 && o->io.fd < 0; ++attempt) {
        if (!ae_temp_name(o->temp, sizeof o->temp, o->path, dir_len)) {
            o->temp[0] = '\0';
            return false;
        }
        o->io.fd = ae_create_exclusive(o->temp);
    }
    if (o->io.fd < 0) {
        o->temp[0] = '\0';
        return false;
    }
    if (replacing)
        ae_take_access_of(o->io.fd, o->path);
    o->pb = ae_avio_open(&o->io, true, buffer_size);
    return o->pb != nullptr;
}

bool ae_output_close(ae_output *o, int64_t *size)
{
    bool ok = true;
    if (o->pb) {
        avio_flush(o->pb);
        ok = o->pb->error >= 0;
        ae_avio_free(&o->pb);
    }
    if (o->io.fd >= 0) {
        *size = ae_fd_size(o->io.fd);
        ok = ae_close(o->io.fd) == 0 && ok;
        o->io.fd = -1;
    }
    return ok;
}

bool ae_output_commit(ae_output *o)
{
    if (!ae_rename_replace(o->temp, o->path))
        return false;
    o->temp[0] = '\0';
    return true;
}

void ae_output_discard(ae_output *o)
{
    int64_t size = 0;
    ae_output_close(o, &size);
    if (o->temp[0]) {
        ae_file_remove(o->temp);
        o->temp[0] = '\0';
    }
}
