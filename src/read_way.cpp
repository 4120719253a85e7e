#include "read_way.h"

#include <algorithm>

#include "platform.h"

namespace {

void begin(ae_read_way *w, decltype(ae_read_way::state) state, int64_t pos, int64_t now)
{
    w->state = state;
    w->trial_pos = pos;
    w->trial_start = now;
}

}  // namespace

bool ae_way_reads_through(ae_read_way *w, int64_t pos, int64_t now)
{
    switch (w->state) {
    case ae_read_way::skips:
        return false;
    case ae_read_way::through:
        return true;
    default:
        break;
    }
    if (w->trial_pos < 0 || pos < w->trial_pos) {
        if (w->first_pos < 0 || pos < w->first_pos)
            w->first_pos = pos;
        begin(w, w->state, pos, now);
        return w->state == ae_read_way::trying_through;
    }
    const int64_t bytes = pos - w->trial_pos, took = std::max<int64_t>(now - w->trial_start, 1);
    const double rate = static_cast<double>(bytes) / static_cast<double>(took);
    if (w->state == ae_read_way::trying_skips) {
        if (bytes >= AE_TRIAL_BYTES && took >= AE_TRIAL_US) {
            w->skips_rate = w->gaps_read_later ? rate / 2 : rate;
            begin(w, ae_read_way::trying_through, pos, now);
        }
        return w->state == ae_read_way::trying_through;
    }
    if (took >= AE_TRIAL_EARLY_US && w->skips_rate > rate * AE_PLAIN_LOSS) {
        begin(w, ae_read_way::skips, pos, now);
    } else if (bytes >= AE_TRIAL_BYTES && took >= AE_TRIAL_US) {
        if (w->skips_rate > rate * AE_CLEAR_WIN)
            begin(w, ae_read_way::skips, pos, now);
        else if (rate > w->skips_rate * AE_CLEAR_WIN)
            begin(w, ae_read_way::through, pos, now);
        else
            begin(w, ++w->pairs >= AE_MAX_TRIAL_PAIRS ? ae_read_way::skips : ae_read_way::trying_skips, pos, now);
    }
    return w->state == ae_read_way::trying_through || w->state == ae_read_way::through;
}

void ae_way_ask_ahead(ae_read_way *w, int fd, int64_t pos)
{
    if (w->state == ae_read_way::through && w->gaps_read_later && !w->backfilled && w->first_pos >= 0) {
        w->backfilled = true;
        if (pos > w->first_pos)
            ae_advise_willneed(fd, w->first_pos, pos - w->first_pos);
    }
    if (w->reads_in_order) {
        // The system's read-ahead serves reads in order best: asking for windows ahead of it was measured to
        // break its requests into smaller ones (twice as many, and slower on a device that counts them).
        if (w->asked == 0) {
            ae_advise_sequential(fd);
            w->asked = pos;
        }
        return;
    }
    const int64_t window = w->state == ae_read_way::through ? AE_READ_AHEAD : AE_TRIAL_AHEAD;
    if (w->asked > pos + window / 2)
        return;
    const int64_t from = std::max(w->asked, pos);
    ae_advise_willneed(fd, from, pos + window - from);
    w->asked = pos + window;
}
