// The read planner: how sample ranges from an index become the regions a cold read asks for, and what a
// coarse layout is. (What the kernel then does with the hints is for the cold-storage benchmark to show.)
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <string>
#include <vector>

#include "read_plan.h"
#include "session_fixture.h"
#include "shapes.h"
#include "support.h"

using namespace ae_test;

static bool operator==(const ae_region &a, const ae_region &b)
{
    return a.pos == b.pos && a.end == b.end;
}

static void PrintTo(const ae_region &r, std::ostream *os)
{
    *os << "[" << r.pos << ", " << r.end << ")";
}

namespace {

using regions = std::vector<ae_region>;

struct merge_case {
    const char *name;
    friend void PrintTo(const merge_case &c, std::ostream *os) { *os << c.name; }
    regions in;
    int64_t max_gap;
    regions want;
};

class MergeRegions : public ::testing::TestWithParam<merge_case> {};

TEST_P(MergeRegions, JoinsWhatCostsLessToReadThanToSkip)
{
    merge_case c = GetParam();
    const size_t n = ae_merge_regions(c.in.data(), c.in.size(), c.max_gap);
    EXPECT_EQ(regions(c.in.begin(), c.in.begin() + static_cast<long>(n)), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, MergeRegions,
    ::testing::Values(
        merge_case{"Empty", {}, 100, {}},
        merge_case{"One", {{10, 20}}, 100, {{10, 20}}},
        merge_case{"FinelyInterleavedBecomesOne", {{0, 10}, {50, 60}, {100, 110}, {150, 160}}, 100, {{0, 160}}},
        merge_case{"GapOfExactlyTheLimitIsJoined", {{0, 10}, {110, 120}}, 100, {{0, 120}}},
        merge_case{"GapOneBeyondTheLimitIsKept", {{0, 10}, {111, 120}}, 100, {{0, 10}, {111, 120}}},
        merge_case{"CoarseChunksStayApart", {{0, 50}, {1000, 1050}, {2000, 2050}}, 100,
                   {{0, 50}, {1000, 1050}, {2000, 2050}}},
        merge_case{"UnsortedIndex", {{2000, 2050}, {0, 50}, {60, 70}, {1000, 1050}}, 100,
                   {{0, 70}, {1000, 1050}, {2000, 2050}}},
        merge_case{"OverlapAndContainment", {{0, 100}, {50, 80}, {90, 150}}, 0, {{0, 150}}},
        merge_case{"FragmentsWithHeaders", {{0, 4}, {4, 40}, {1000, 1004}, {1004, 1040}}, 0,
                   {{0, 40}, {1000, 1040}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ReadPlan, CoarseWhenTheRegionsCoverUnderAQuarterOfTheirSpan)
{
    const std::pair<regions, bool> cases[] = {
        {{{0, 1000}}, false},                            // one long region: read it front to back
        {{{0, 300}, {700, 1000}}, false},                // 60% of the span
        {{{0, 100}, {1000, 1100}, {2000, 2100}}, true},  // audio runs between long stretches of video
        {{}, false},
    };
    for (const auto &[layout, coarse] : cases) {
        ae_read_plan plan;
        plan.regions = const_cast<ae_region *>(layout.data());
        plan.count = layout.size();
        EXPECT_EQ(ae_plan_is_coarse(&plan), coarse) << layout.size() << " regions";
        plan.regions = nullptr;
    }
}

class CoarseLayout : public Sessions {};

// Audio in short runs far apart (as some cameras write it): the planned reader still copies every packet.
TEST_F(CoarseLayout, EveryPacketIsCopied)
{
    const std::string dir = scratch_dir(), in = dir + "/camera.mov", out = dir + "/o.mka";
    std::vector<shaped_packet> packets;
    int64_t t0 = 0, t1 = 0;
    for (int block = 0; block < 8; ++block) {
        for (int i = 0; i < 3400; ++i, t0 += 80)  // 34 s of stream 0: about 540 KB
            packets.push_back({0, t0, t0});
        for (int i = 0; i < 20; ++i, t1 += 80)  // 0.2 s of stream 1
            packets.push_back({1, t1, t1});
    }
    ASSERT_TRUE(write_shaped(in, "mov", {"eng", "fra"}, packets, false));

    // The layout is what the reader plans for: stream 1's index gives runs far apart.
    AVFormatContext *ctx = nullptr;
    ASSERT_EQ(avformat_open_input(&ctx, in.c_str(), nullptr, nullptr), 0);
    ae_read_plan plan;
    plan.stream = 1;
    EXPECT_TRUE(ae_plan_refresh(&plan, ctx));
    EXPECT_EQ(plan.count, 8u) << "one region per run of stream 1";
    EXPECT_TRUE(ae_plan_is_coarse(&plan));
    ae_plan_free(&plan);
    avformat_close_input(&ctx);

    const int32_t id = audioextract_start(in.c_str(), out.c_str(), 1);
    ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
    const std::vector<packet> want = probe_packets(in, 1), got = probe_packets(out, 0);
    ASSERT_EQ(got.size(), want.size());
    ASSERT_GE(want.size(), 8u);
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(got[i].hash, want[i].hash) << "packet " << i;
}

}  // namespace
