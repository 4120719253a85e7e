// Reading an MP4/MOV the way cold storage likes it. On a disk or a network share every separate region
// read costs a request, and the kernel's read-ahead cannot guess where the next audio sample lies when it
// is megabytes of video away. The demuxer's index knows: the chosen stream's sample ranges, merged where
// the gap between two costs less to read than to skip, are asked for ahead of use, so a cold read takes
// one request per run of audio. Fragmented files may grow the index as fragments are parsed; the header
// of the next fragment is then asked for as soon as its place is known, or, where that costs more than
// reading what lies between, the file is read straight through. (Front-to-back readers, MKV and
// MPEG-TS, and finely interleaved MP4 are left to the kernel's own read-ahead: it keeps up with `cat`.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "read_way.h"

struct AVFormatContext;

// A byte range [pos, end) of a file.
struct ae_region {
    int64_t pos;
    int64_t end;
};

// Merges regions given in any order: sorted by position, overlapping ones joined, and two joined also
// when the gap between them is at most max_gap bytes. Returns how many remain at the front of r.
size_t ae_merge_regions(ae_region *r, size_t n, int64_t max_gap);

// A gap this small costs less to read than a separate request (a request on a disk or share costs about
// what this many bytes take to transfer).
constexpr int64_t AE_MERGE_GAP = 512 * 1024;
// What a fragment's header is assumed to need at most: enough for the moof and the mdat header.
constexpr int64_t AE_FRAGMENT_HEADER = 64 * 1024;
// The regions of one MP4/MOV stream still to be asked for, refreshed from the demuxer's index.
struct ae_read_plan {
    ae_region *regions = nullptr;  // merged, in file order; av_malloc'd
    size_t count = 0, cap = 0;
    size_t next = 0;               // the first region not wholly asked for
    int64_t asked = 0;             // how far into that region it has been asked for
    int stream = -1;
    int seen[8] = {};              // index entries already taken, per stream (the first 8 streams)
    bool fragmented = false;       // the index has grown since the file was opened
    ae_read_way way;               // for a fragmented file: skipping to each run, or reading through
};

// Takes the index entries the demuxer has added since the last call: the chosen stream's sample ranges,
// and where the last fragment ends (the next fragment's header). Returns false when out of memory.
bool ae_plan_refresh(ae_read_plan *plan, const AVFormatContext *in);

// Whether the planned regions are far apart (they cover under a quarter of the bytes they span): worth
// asking for one by one. Finely interleaved samples are better left to the kernel's own read-ahead.
bool ae_plan_is_coarse(const ae_read_plan *plan);

// Whether the index stops short of the stream's end: a fragmented file, whose layout shows as it is read
// (worth planning whatever its first fragments look like).
bool ae_plan_index_is_partial(const ae_read_plan *plan, const AVFormatContext *in);

// Asks for what the plan holds between pos and pos + AE_READ_AHEAD that has not been asked for yet; in a
// fragmented file that is read through, everything there. now: a monotonic clock, in microseconds.
void ae_plan_advise(ae_read_plan *plan, int fd, int64_t pos, int64_t now);

void ae_plan_free(ae_read_plan *plan);
