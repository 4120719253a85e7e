// The copied stream's timeline: rebased so that it starts at zero, and kept rising where the input's own
// timestamps restart or jump back (recordings joined byte for byte, chained Ogg links).
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/avutil.h>
}

// Moves one timestamp by `by`. A distance too large for 64 bits (only a damaged or hostile file has one)
// leaves the timestamp unknown rather than wrapped around.
inline void ae_shift(int64_t *ts, int64_t by)
{
    if (*ts != AV_NOPTS_VALUE && __builtin_add_overflow(*ts, by, ts))
        *ts = AV_NOPTS_VALUE;
}

struct ae_timeline {
    // Whether a jump back is continued: only for inputs whose format says its timestamps may jump
    // (MPEG-TS, MPEG-PS, Ogg, ...). Elsewhere a jump back is damage, and the muxer's refusal reports it.
    bool mend_jumps = false;
    int64_t offset = AV_NOPTS_VALUE;    // added to every timestamp; minus the first pts once one is seen
    int64_t last_dts = AV_NOPTS_VALUE;  // the latest decoding time placed
    int64_t next_dts = AV_NOPTS_VALUE;  // where the stream goes on: last_dts plus that packet's duration
};

// Places one packet on the timeline. The first pts seen becomes 0, and every later pts and dts moves by
// the same amount (a dts before the first pts keeps its distance and may go negative). When the packet
// would not come after the previous one and jumps are mended, it and every later packet move on so that
// it continues where the stream left off: packets keep their order and their spacing within each run.
// Returns true when the packet has a position (a pts) afterwards.
inline bool ae_timeline_place(ae_timeline *t, int64_t *pts, int64_t *dts, int64_t duration)
{
    if (t->offset == AV_NOPTS_VALUE) {
        if (*pts == AV_NOPTS_VALUE)
            return false;
        t->offset = -*pts;
    }
    ae_shift(dts, t->offset);
    ae_shift(pts, t->offset);
    const int64_t order = *dts != AV_NOPTS_VALUE ? *dts : *pts;
    if (order == AV_NOPTS_VALUE)
        return false;
    if (t->mend_jumps && t->last_dts != AV_NOPTS_VALUE && order <= t->last_dts && t->next_dts != AV_NOPTS_VALUE) {
        const int64_t by = t->next_dts - order;
        if (__builtin_add_overflow(t->offset, by, &t->offset)) {
            *pts = *dts = AV_NOPTS_VALUE;
            return false;
        }
        ae_shift(dts, by);
        ae_shift(pts, by);
    }
    const int64_t placed = *dts != AV_NOPTS_VALUE ? *dts : *pts;
    if (placed != AV_NOPTS_VALUE) {
        t->last_dts = placed;
        // A packet without a duration still takes one tick, so the next one comes strictly after it.
        const int64_t step = duration > 0 ? duration : 1;
        if (__builtin_add_overflow(placed, step, &t->next_dts))
            t->next_dts = AV_NOPTS_VALUE;
    }
    return *pts != AV_NOPTS_VALUE;
}

// Places a packet that has no time of its own (a later link's header) where the stream has got to, one
// tick after the packet before it; the timeline itself does not move. Before the first pts the packet is
// left as it is.
inline void ae_timeline_place_between(ae_timeline *t, int64_t *pts, int64_t *dts)
{
    if (t->next_dts == AV_NOPTS_VALUE)
        return;
    *pts = *dts = t->last_dts = t->next_dts;
    if (__builtin_add_overflow(t->next_dts, 1, &t->next_dts))
        t->next_dts = AV_NOPTS_VALUE;
}
