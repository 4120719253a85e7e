// Timestamp rebasing of the copied stream.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/avutil.h>
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
    if (*dts != AV_NOPTS_VALUE)
        *dts -= *first_pts;
    if (*pts == AV_NOPTS_VALUE)
        return false;
    *pts -= *first_pts;
    return true;
}
