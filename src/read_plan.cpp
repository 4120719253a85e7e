#include "read_plan.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <algorithm>

#include "platform.h"

size_t ae_merge_regions(ae_region *r, size_t n, int64_t max_gap)
{
    if (n == 0)
        return 0;
    std::sort(r, r + n, [](const ae_region &a, const ae_region &b) { return a.pos < b.pos; });
    size_t out = 0;
    for (size_t i = 1; i < n; ++i) {
        if (r[i].pos - r[out].end <= max_gap)
            r[out].end = std::max(r[out].end, r[i].end);
        else
            r[++out] = r[i];
    }
    return out + 1;
}

namespace {

bool append(ae_read_plan *p, ae_region reg)
{
    if (reg.end <= reg.pos)
        return true;
    // Regions arrive in file order (the index of a fragment follows the last): join with the last one
    // not yet asked for when the gap is small.
    if (p->count > p->next && reg.pos >= p->regions[p->count - 1].pos &&
        reg.pos - p->regions[p->count - 1].end <= AE_MERGE_GAP) {
        p->regions[p->count - 1].end = std::max(p->regions[p->count - 1].end, reg.end);
        return true;
    }
    if (p->count == p->cap) {
        const size_t cap = p->cap ? p->cap * 2 : 256;
        auto *grown = static_cast<ae_region *>(av_realloc_array(p->regions, cap, sizeof(ae_region)));
        if (!grown)
            return false;
        p->regions = grown;
        p->cap = cap;
    }
    p->regions[p->count++] = reg;
    return true;
}

}  // namespace

bool ae_plan_refresh(ae_read_plan *plan, const AVFormatContext *in)
{
    const unsigned streams = std::min(in->nb_streams, 8u);
    if (plan->stream < 0 || static_cast<unsigned>(plan->stream) >= streams)
        return true;
    AVStream *st = in->streams[plan->stream];
    const int total = avformat_index_get_entries_count(st);
    const int first = plan->seen[plan->stream];
    if (total <= first)
        return true;

    // The new entries' end over every stream: in a fragmented file, where the next fragment begins.
    int64_t fragment_end = 0;
    for (unsigned s = 0; s < streams; ++s) {
        AVStream *other = in->streams[s];
        const int n = avformat_index_get_entries_count(other);
        for (int i = plan->seen[s]; i < n; ++i) {
            const AVIndexEntry *e = avformat_index_get_entry(other, i);
            if (e && e->pos >= 0)
                fragment_end = std::max(fragment_end, e->pos + e->size);
        }
    }

    // A first look (the whole index of a plain MP4) may come in any order: sort and merge it once.
    const size_t before = plan->count;
    for (int i = first; i < total; ++i) {
        const AVIndexEntry *e = avformat_index_get_entry(st, i);
        if (e && e->pos >= 0 && e->size > 0 && !append(plan, ae_region{e->pos, e->pos + e->size}))
            return false;
    }
    if (before == 0 && plan->count > 1)
        plan->count = ae_merge_regions(plan->regions, plan->count, AE_MERGE_GAP);
    for (unsigned s = 0; s < streams; ++s)
        plan->seen[s] = avformat_index_get_entries_count(in->streams[s]);
    // Only a fragmented file grows its index; a plain one ends where its last sample does.
    if (before > 0 && fragment_end > 0) {
        plan->fragmented = true;
        return append(plan, ae_region{fragment_end, fragment_end + AE_FRAGMENT_HEADER});
    }
    return true;
}

bool ae_plan_is_coarse(const ae_read_plan *plan)
{
    if (plan->count == 0)
        return false;
    int64_t covered = 0;
    for (size_t i = 0; i < plan->count; ++i)
        covered += plan->regions[i].end - plan->regions[i].pos;
    const int64_t span = plan->regions[plan->count - 1].end - plan->regions[0].pos;
    return covered * 4 < span;
}

bool ae_plan_index_is_partial(const ae_read_plan *plan, const AVFormatContext *in)
{
    if (plan->stream < 0 || static_cast<unsigned>(plan->stream) >= in->nb_streams)
        return false;
    AVStream *st = in->streams[plan->stream];
    const int n = avformat_index_get_entries_count(st);
    const AVIndexEntry *last = n > 0 ? avformat_index_get_entry(st, n - 1) : nullptr;
    const int64_t start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    return last && st->duration > 0 && last->timestamp < start + st->duration - st->duration / 10;
}

void ae_plan_advise(ae_read_plan *plan, int fd, int64_t pos, int64_t now)
{
    if (plan->fragmented && ae_way_reads_through(&plan->way, pos, now)) {
        ae_way_ask_ahead(&plan->way, fd, pos);
        return;
    }
    // Asked for in steps of half the window: a request per small step would cost more than it saves.
    if (plan->asked > pos + AE_READ_AHEAD / 2)
        return;
    const int64_t limit = pos + AE_READ_AHEAD;
    while (plan->next < plan->count) {
        const ae_region &r = plan->regions[plan->next];
        const int64_t from = std::max({r.pos, plan->asked, pos});
        if (from >= limit)
            return;
        // A region longer than the window (a finely interleaved file is one long region) is asked for a
        // window at a time, never all at once.
        const int64_t to = std::min(r.end, limit);
        if (to > from)
            ae_advise_willneed(fd, from, to - from);
        plan->asked = to;
        if (to < r.end)
            return;
        ++plan->next;
    }
}

void ae_plan_free(ae_read_plan *plan)
{
    av_freep(&plan->regions);
    plan->count = plan->cap = plan->next = 0;
}
