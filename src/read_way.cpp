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

// What skipping achieves, from its timed rate: when the gaps hold data that is read later, each skip is
// paid for twice.
double skipping_rate(const ae_read_way *w, double rate)
{
    return w->gaps_read_later ? rate / 2 : rate;
}

// One way wins over the other only by a clear margin: timings on shared storage are uneven.
bool clearly_faster(double rate, double than)
{
    return rate > than * AE_CLEAR_WIN;
}

}  // namespace

bool ae_way_reads_through(ae_read_way *w, int64_t pos, int64_t now)
{
    if (w->state == ae_read_way::through)
        return true;
    if (w->trial_pos < 0 || pos < w->trial_pos) {
        begin(w, w->state, pos, now);
        return w->state == ae_read_way::trying_through;
    }
    const int64_t bytes = pos - w->trial_pos, took = std::max<int64_t>(now - w->trial_start, 1);
    const double rate = static_cast<double>(bytes) / static_cast<double>(took);
    const bool trial_done = bytes >= AE_TRIAL_BYTES && took >= AE_TRIAL_US;
    if (w->state == ae_read_way::skips) {
        // Skipping goes on being timed: a trial that a burst made look fast shows here what it really costs,
        // and reading through is taken after all when it was clearly faster.
        if (trial_done) {
            const double skipping = skipping_rate(w, rate);
            if (clearly_faster(w->through_rate, skipping)) {
                begin(w, ae_read_way::through, pos, now);
            } else if (clearly_faster(w->skips_rate, skipping) && !w->retried) {
                // Clearly slower than its trial said: reading through lost against the wrong figure, and
                // is tried once more against this one.
                w->retried = true;
                w->skips_rate = skipping;
                begin(w, ae_read_way::trying_through, pos, now);
            } else {
                begin(w, ae_read_way::skips, pos, now);
            }
        }
        return w->state != ae_read_way::skips;
    }
    if (w->state == ae_read_way::trying_skips) {
        if (trial_done) {
            w->skips_rate = skipping_rate(w, rate);
            begin(w, ae_read_way::trying_through, pos, now);
        }
        return w->state == ae_read_way::trying_through;
    }
    const bool loses_early = clearly_faster(w->skips_rate, rate) && took >= AE_TRIAL_EARLY_US;
    if (loses_early || trial_done)
        w->through_rate = std::max(w->through_rate, rate);
    if (loses_early) {
        begin(w, ae_read_way::skips, pos, now);
    } else if (trial_done) {
        const bool through_wins = clearly_faster(rate, w->skips_rate);
        if (through_wins || ++w->pairs >= AE_MAX_TRIAL_PAIRS)
            begin(w, through_wins ? ae_read_way::through : ae_read_way::skips, pos, now);
        else
            begin(w, ae_read_way::trying_skips, pos, now);
    }
    return w->state == ae_read_way::trying_through || w->state == ae_read_way::through;
}

void ae_way_ask_ahead(ae_read_way *w, int fd, int64_t pos)
{
    if (w->state == ae_read_way::through && w->reads_in_order) {
        // Once the file is read through in order, the system's own read-ahead serves it best: asking for
        // windows ahead of it was measured to split its requests (twice as many, and slower where requests
        // are counted). It is told once that reads are sequential, so it reads ahead further.
        if (!w->told_sequential) {
            ae_advise_sequential(fd);
            w->told_sequential = true;
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
