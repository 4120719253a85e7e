// Timestamp rebasing of the copied stream.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/avutil.h>
}

// Moves one timestamp back by `by`. A distance too large for 64 bits (only a damaged or hostile file has
// one) leaves the timestamp unknown rather than wrapped around.
inline void ae_shift(int64_t *ts, int64_t by)
{
    if (*ts != AV_NOPTS_VALUE && __builtin_sub_overflow(*ts, by, ts))
        *ts = AV_NOPTS_VALUE;
}

// Timestamps are rebased so the stream starts at zero: the first pts seen becomes 0, and every later pts
// and dts moves by the same amount (a dts before the first pts keeps its distance and may go negative).
// Returns true when the packet has a position (a pts) after rebasing.
inline bool ae_rebase(int64_t *pts, int64_t *dts, int64_t *first_pts)
{
    if (*pts != AV_NOPTS_VALUE && *first_pts == AV_NOPTS_VALUE)
        *first_pts = *pts;
    if (*first_pts == AV_NOPTS_VALUE)
        return false;
    ae_shift(dts, *first_pts);
    ae_shift(pts, *first_pts);
    return *pts != AV_NOPTS_VALUE;
}
