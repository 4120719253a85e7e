// Reading a file whose wanted bytes lie in runs with gaps between them (the fragments of an MP4: a header,
// an audio run, then video). Skipping a gap costs a request; reading it costs its bytes. Which is cheaper
// depends on the storage (a disk or a network share makes requests dear; an SSD or the page cache makes them
// cheap) and on the gaps, and neither is known in advance: each way is tried on a stretch of the file, timed,
// and the faster one kept for the rest.
//
// Storage times unevenly over short spans (a throttled or shared device lets a burst of requests through,
// then makes the next wait; the file's start may be cached already), so a trial lasts long enough to see
// that out, and a pair of trials without a clear winner is tried again, a few times at most; skipping, which
// asks for less, is kept when none wins. A trial of reading through that is plainly losing ends early: what
// it reads beyond what skipping would have read is wasted. Skipping, once kept, goes on being timed (which
// costs nothing): when a burst made its trial look faster than it is, reading through is taken after all, or
// tried once more against what skipping really costs.
#pragma once

#include <cstdint>

// A trial covers at least this much of the file and lasts at least this long; reading through is given up
// after AE_TRIAL_EARLY_US when it is already clearly slower.
constexpr int64_t AE_TRIAL_BYTES = 8 * 1024 * 1024;
constexpr int64_t AE_TRIAL_US = 150'000;
constexpr int64_t AE_TRIAL_EARLY_US = 50'000;
// How much faster the winner must be, and how many pairs of trials are made at most.
constexpr double AE_CLEAR_WIN = 1.25;
constexpr int AE_MAX_TRIAL_PAIRS = 3;
// How far ahead of the read position data is asked for; while reading through is only tried, a shorter
// window (what it asks for beyond the trial is read for nothing if skipping wins).
constexpr int64_t AE_READ_AHEAD = 48 * 1024 * 1024;
constexpr int64_t AE_TRIAL_AHEAD = 8 * 1024 * 1024;

struct ae_read_way {
    enum { trying_skips, trying_through, skips, through } state = trying_skips;
    int64_t trial_pos = -1;  // where the current trial began in the file, and when (microseconds)
    int64_t trial_start = 0;
    double skips_rate = 0;   // bytes of the file passed per microsecond while skipping
    double through_rate = 0; // the same while reading through, the best trial's
    int pairs = 0;           // trials of both ways so far
    bool retried = false;    // reading through was tried again once skipping proved slower than its trial
    int64_t asked = 0;       // how far reading through has asked for
    // The gaps skipped now hold data that will be read later (an extraction's header scan skips the audio
    // runs its copy then comes back for): each skip then costs a second request later.
    bool gaps_read_later = false;
    // Reading through goes in file order (the gaps are read, not sought over), so the system sees a
    // sequential reader and can read ahead by itself; it is told so once.
    bool reads_in_order = false;
    bool told_sequential = false;
};

// Moves the choice on as reading reaches pos at time now (a monotonic clock, microseconds). True while the
// file is read through: the caller then asks for what lies ahead with ae_way_ask_ahead.
bool ae_way_reads_through(ae_read_way *w, int64_t pos, int64_t now);

// Asks the system for the part of the window ahead of pos not asked for yet, in steps of half the window
// (a reader in file order that reads through is left to the system's read-ahead). What the trials skipped
// before pos is left to the copy that comes back for it: asking for all of it again once reading through
// was chosen was measured to cost more than the copy's requests for the few runs it needs there.
void ae_way_ask_ahead(ae_read_way *w, int fd, int64_t pos);
