// FFmpeg I/O contexts over the library's own file descriptors: the library, not FFmpeg, decides which file
// is opened, and every read first asks whether the run has been interrupted.
#pragma once

#include <cstdint>

#include "read_way.h"

struct AVIOContext;

// When a run must stop waiting: a cancel flag set by the host, and/or a deadline (av_gettime_relative
// microseconds; 0 for none). Also FFmpeg's interrupt callback for everything it opens itself.
struct ae_interrupt {
    const int32_t *cancel = nullptr;
    int64_t deadline = 0;
};
int ae_interrupted(const ae_interrupt *irq);  // 1 once the run must stop, else 0
int ae_interrupted(void *irq);                // the same, as FFmpeg's interrupt callback

// The descriptor an I/O context reads or writes, and how it reads.
struct ae_fd_io {
    int fd = -1;
    const ae_interrupt *irq = nullptr;
    int64_t max_read = 0;      // longest single read, 0 for the buffer's size
    int64_t pos = 0;           // where the next read starts
    bool stream = false;       // a FIFO or pipe: reads wait for data in slices, so an interrupt reaches them
    // A regular file being read: each read says where it reads (pos), so a seek is only a new pos. The MP4
    // demuxer seeks before nearly every sample of the one stream copied; a system call less for each.
    bool reads_at = false;
    // While a local file's header is read. A reader that jumps forward again and again is walking the file's
    // fragments (an MP4 demuxer reads every fragment's header when it opens the file): seeking over each gap
    // or reading it is then chosen by what each costs here (read_way.h).
    bool scanning = false;
    int jumps = 0;             // forward jumps over unread bytes so far
    ae_read_way way;
    unsigned char *gap_buffer = nullptr;  // where a gap read through goes; av_malloc'd, freed with the context
};

// A reading or writing context over io->fd (which must outlive it). Null when out of memory.
AVIOContext *ae_avio_open(ae_fd_io *io, bool write, int buffer_size);

// Frees the context and its buffer, leaving the descriptor open; null is allowed.
void ae_avio_free(AVIOContext **pb);
