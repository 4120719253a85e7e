#include "avio_fd.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
#include <libavutil/time.h>
}

#include <algorithm>
#include <atomic>

#include "platform.h"
#include "read_plan.h"

int ae_interrupted(void *opaque)
{
    return ae_interrupted(static_cast<const ae_interrupt *>(opaque));
}

int ae_interrupted(const ae_interrupt *irq)
{
    if (irq->cancel && std::atomic_ref<const int32_t>(*irq->cancel).load(std::memory_order_relaxed))
        return 1;
    return irq->deadline && av_gettime_relative() > irq->deadline ? 1 : 0;
}

namespace {

// How long a read of a FIFO or pipe waits for data before it looks at the interrupt again.
constexpr int AE_STREAM_WAIT_MS = 50;
// How many forward jumps a header read makes before it counts as walking fragments (a plain MP4 makes one,
// over its media data to an index at the end).
constexpr int AE_FRAGMENT_JUMPS = 4;
// Reading a gap through goes in pieces of this size. A gap longer than a trial is always skipped: no storage
// charges for a request what reading 8 MB costs, and a trial must not read a fragment of minutes whole.
constexpr size_t AE_GAP_PIECE = 256 * 1024;
// How much of a skipped gap's end is read with the header after it: an eighth of the gap (the audio's share
// of a fragment's bytes is smaller in any video worth fragmenting), at least 64 KB. A gap longer than a trial
// gives 64 KB only: an eighth of it (1 MB and more with each header, for 10 s fragments) made the header
// read slower than the requests it spared the copy.
constexpr int64_t AE_FRAGMENT_TAIL = 64 * 1024;
constexpr int64_t AE_TAIL_SHARE = 8;

// Reads at the context's position: of a regular file with one call at that offset, of a pipe as it comes.
int64_t read_some(const ae_fd_io *io, void *buf, size_t n)
{
    return io->reads_at ? ae_read_at(io->fd, buf, n, io->pos) : ae_read(io->fd, buf, n);
}

int read_packet(void *opaque, uint8_t *buf, int size)
{
    auto *io = static_cast<ae_fd_io *>(opaque);
    const int64_t want = io->max_read > 0 && io->max_read < size ? io->max_read : size;
    int64_t n = AE_WOULD_BLOCK;
    while (n == AE_WOULD_BLOCK) {
        if (io->irq && ae_interrupted(io->irq))
            return AVERROR_EXIT;
        if (io->stream && !ae_wait_readable(io->fd, AE_STREAM_WAIT_MS))
            continue;
        n = read_some(io, buf, static_cast<size_t>(want));
    }
    if (n < 0)
        return AVERROR(EIO);
    io->pos += n;
    if (io->scanning && io->jumps >= AE_FRAGMENT_JUMPS && ae_way_reads_through(&io->way, io->pos, av_gettime_relative()))
        ae_way_ask_ahead(&io->way, io->fd, io->pos);
    return n == 0 ? AVERROR_EOF : static_cast<int>(n);
}

// FFmpeg 7 made the written buffer const.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
int write_packet(void *opaque, const uint8_t *buf, int size)
#else
int write_packet(void *opaque, uint8_t *buf, int size)
#endif
{
    auto *io = static_cast<ae_fd_io *>(opaque);
    int done = 0;
    while (done < size) {
        const int64_t n = ae_write(io->fd, buf + done, static_cast<size_t>(size - done));
        if (n <= 0)
            return AVERROR(EIO);  // a full disk shows here
        done += static_cast<int>(n);
    }
    return size;
}

// Reads the bytes from io->pos up to target instead of seeking over them, so that the system sees one
// sequential read and reads ahead as it does for `cat`. False (nothing lost: the caller seeks) on an error,
// the file's end or an interrupt.
bool read_over(ae_fd_io *io, int64_t target)
{
    if (!io->gap_buffer && !(io->gap_buffer = static_cast<unsigned char *>(av_malloc(AE_GAP_PIECE))))
        return false;
    while (io->pos < target) {
        if (io->irq && ae_interrupted(io->irq))
            return false;
        const int64_t n = read_some(io, io->gap_buffer, static_cast<size_t>(std::min<int64_t>(target - io->pos,
                                                                                             AE_GAP_PIECE)));
        if (n <= 0)
            return false;
        io->pos += n;
    }
    return true;
}

// A header read jumps over media data to the next header; in a fragmented MP4 that data ends with the
// fragment's runs of audio (a muxer writes a fragment's tracks in turn, the video first). Asked for with the
// header, in the one request the header costs anyway, it is in the cache when the copy comes back for it
// instead of costing a request of its own then.
void ask_with_tail(const ae_fd_io *io, int64_t header)
{
    if (header > INT64_MAX - AE_FRAGMENT_HEADER)
        return;  // a damaged size sent the demuxer past any file
    const int64_t gap = header - io->pos;
    const int64_t tail = gap <= AE_TRIAL_BYTES ? std::max(gap / AE_TAIL_SHARE, AE_FRAGMENT_TAIL) : AE_FRAGMENT_TAIL;
    const int64_t from = std::max(io->pos, header - tail);
    ae_advise_willneed(io->fd, from, header + AE_FRAGMENT_HEADER - from);
}

int64_t seek(void *opaque, int64_t offset, int whence)
{
    auto *io = static_cast<ae_fd_io *>(opaque);
    if (whence & AVSEEK_SIZE) {
        const int64_t size = ae_fd_size(io->fd);
        return size >= 0 ? size : AVERROR(ENOSYS);
    }
    whence &= ~AVSEEK_FORCE;
    if (io->scanning && whence == SEEK_SET && offset > io->pos) {
        const bool gap = ++io->jumps > AE_FRAGMENT_JUMPS && offset - io->pos <= AE_TRIAL_BYTES;
        if (gap && ae_way_reads_through(&io->way, io->pos, av_gettime_relative())) {
            ae_way_ask_ahead(&io->way, io->fd, io->pos);  // the device streams ahead while the gap is read
            if (read_over(io, offset))
                return io->pos;
        }
        if (io->way.gaps_read_later)
            ask_with_tail(io, offset);
    }
    if (io->reads_at) {
        const int64_t size = whence == SEEK_END ? ae_fd_size(io->fd) : 0;
        const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? io->pos : size;
        if (size < 0 || offset < -base || offset > INT64_MAX - base ||
            (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END))
            return AVERROR(EINVAL);
        io->pos = base + offset;
        return io->pos;
    }
    const int64_t pos = ae_seek(io->fd, offset, whence);
    if (pos < 0)
        return AVERROR(EIO);
    io->pos = pos;
    return pos;
}

}  // namespace

AVIOContext *ae_avio_open(ae_fd_io *io, bool write, int buffer_size)
{
    auto *buffer = static_cast<unsigned char *>(av_malloc(static_cast<size_t>(buffer_size)));
    if (!buffer)
        return nullptr;
    AVIOContext *pb = avio_alloc_context(buffer, buffer_size, write ? 1 : 0, io, write ? nullptr : read_packet,
                                         write ? write_packet : nullptr, seek);
    if (!pb) {
        av_free(buffer);
        return nullptr;
    }
    ae_file_id id {};
    bool regular = false;
    // A pipe or FIFO is read straight through; only a regular file can seek.
    const bool known = ae_fd_stat(io->fd, &id, &regular);
    pb->seekable = known && regular ? AVIO_SEEKABLE_NORMAL : 0;
    io->stream = !write && known && !regular;
    io->reads_at = !write && known && regular;
    return pb;
}

void ae_avio_free(AVIOContext **pb)
{
    if (!*pb)
        return;
    av_freep(&static_cast<ae_fd_io *>((*pb)->opaque)->gap_buffer);
    av_freep(&(*pb)->buffer);
    avio_context_free(pb);
}
