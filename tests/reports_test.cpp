// The progress and result reports: exact texts for fixed formats, and consistent reports while a worker runs.
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "session.h"
#include "session_fixture.h"
#include "support.h"

using namespace ae_test;
using namespace std::chrono_literals;

namespace {

// A held slot with the given fields and no worker, so a report can be checked against exact numbers.
ae_session &hold_slot(int32_t id, int32_t state, int64_t processed, int64_t total, int64_t packets)
{
    ae_session &s = g_sessions[id];
    std::memset(&s, 0, sizeof s);
    s.in_use = 1;
    s.state = state;
    s.processed_ms = processed;
    s.total_ms = total;
    s.packets = packets;
    return s;
}

struct progress_case {
    const char *name;
    int32_t state;
    int64_t processed, total, packets;
    const char *want;
    friend void PrintTo(const progress_case &c, std::ostream *os) { *os << c.name; }
};

class Progress : public Sessions, public ::testing::WithParamInterface<progress_case> {};

TEST_P(Progress, PrintsTheFixedFormat)
{
    const progress_case &c = GetParam();
    hold_slot(1, c.state, c.processed, c.total, c.packets);
    const char *text = audioextract_progress(1);
    EXPECT_STREQ(text, c.want);
    parse(text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Progress,
    ::testing::Values(
        progress_case{"PendingIsAllZero", 0, 0, 0, 0,
                      R"({"state":0,"percent":0.0,"processed_ms":0,"total_ms":0,"packets":0})"},
        progress_case{"OneDecimal", 2, 50, 120, 3,
                      R"({"state":2,"percent":41.7,"processed_ms":50,"total_ms":120,"packets":3})"},
        progress_case{"DoneIsFullEvenWithoutDuration", 3, 0, 0, 0,
                      R"({"state":3,"percent":100.0,"processed_ms":0,"total_ms":0,"packets":0})"},
        progress_case{"DoneIsFullEvenShortOfTheDuration", 3, 900, 2000, 40,
                      R"({"state":3,"percent":100.0,"processed_ms":900,"total_ms":2000,"packets":40})"},
        progress_case{"CappedWhenPastTheDuration", 2, 2500, 2000, 99,
                      R"({"state":2,"percent":100.0,"processed_ms":2500,"total_ms":2000,"packets":99})"},
        progress_case{"UnknownDurationDividesByOne", 2, 1, 0, 1,
                      R"({"state":2,"percent":100.0,"processed_ms":1,"total_ms":0,"packets":1})"},
        progress_case{"CancelledShowsHowFarItCame", 4, 500, 2000, 20,
                      R"({"state":4,"percent":25.0,"processed_ms":500,"total_ms":2000,"packets":20})"},
        progress_case{"LargeNumbers", 2, 9007199254740993, 9007199254740993, 4611686018427387904,
                      R"({"state":2,"percent":100.0,"processed_ms":9007199254740993,"total_ms":9007199254740993,"packets":4611686018427387904})"}),
    [](const auto &info) { return std::string(info.param.name); });

class Result : public Sessions {};

TEST_F(Result, FailedSessionUsesTheShortFormWithTheErrorText)
{
    ae_session &s = hold_slot(0, AE_STATE_FAILED, 10, 20, 3);
    std::strcpy(s.error, "no audio stream");
    std::strcpy(s.out_path, "o.m4a");
    EXPECT_STREQ(audioextract_result(0), R"({"state":5,"ok":false,"error":"no audio stream"})");
}

TEST_F(Result, OtherStatesUseTheLongForm)
{
    ae_session &s = hold_slot(2, AE_STATE_CANCELLED, 10, 20, 3);
    std::strcpy(s.out_path, "/tmp/o.m4a");
    std::strcpy(s.codec, "aac");
    s.codec_ready = 1;
    EXPECT_STREQ(audioextract_result(2), R"({"state":4,"ok":false,"out_path":"/tmp/o.m4a","out_size_bytes":0,)"
                                         R"("codec":"aac","duration_ms":20,"packets_written":3,"elapsed_ms":0})");
    s.state = AE_STATE_DONE;
    s.out_size_bytes = 1234;
    s.elapsed_ms = 7;
    std::strcpy(s.codec, "?");
    EXPECT_STREQ(audioextract_result(2), R"({"state":3,"ok":true,"out_path":"/tmp/o.m4a","out_size_bytes":1234,)"
                                         R"("codec":"?","duration_ms":20,"packets_written":3,"elapsed_ms":7})");
}

// The result names the path written, whole, whatever bytes it holds: a parser gets the real name back.
TEST_F(Result, OutputPathComesBackWhole)
{
    ae_session &s = hold_slot(0, AE_STATE_DONE, 0, 0, 0);
    const std::string cases[] = {
        R"(C:\Users\"me"\a.m4a)",
        "dir/a\nb\tc\x01.m4a",
        std::string(1198, '\\'),   // the longest path, every byte escaped as a pair
        std::string(1198, '\x1f'),  // the longest path, every byte escaped at the widest
    };
    for (const std::string &path : cases) {
        std::memcpy(s.out_path, path.c_str(), path.size() + 1);
        EXPECT_EQ(parse(audioextract_result(0))["out_path"], path);
    }
}

TEST_F(Result, RunningSessionIsNotOkAndHasNoSizeOrTime)
{
    const std::string dir = scratch_dir();
    const std::string fifo = dir + "/in.mkv", out = dir + "/o.mka";
    slow_feeder feed(fifo, media("long.mkv"), 1 << 20);
    const int32_t id = audioextract_start(feed.path().c_str(), out.c_str(), -1);
    ASSERT_TRUE(copying_from(feed, id));

    json r = parse(audioextract_result(id));
    EXPECT_EQ(r["state"], AE_STATE_RUNNING);
    EXPECT_EQ(r["ok"], false);
    EXPECT_EQ(r["out_size_bytes"], 0);
    EXPECT_EQ(r["elapsed_ms"], 0);
    EXPECT_EQ(r["codec"], "pcm_s16le");
    EXPECT_GT(r["packets_written"].get<int64_t>(), 0);
    feed.release();
    EXPECT_EQ(wait_final(id), AE_STATE_DONE);
}

// The host polls as fast as it can while the worker copies: every report parses, the counters never go
// back, and a report that shows a final state shows the worker's final numbers with it.
TEST_F(Result, ReportsStayConsistentUnderTightPolling)
{
    const std::string out = scratch_dir() + "/o.mka";
    const int32_t id = audioextract_start(media("long.mkv").c_str(), out.c_str(), -1);
    ASSERT_GE(id, 0);
    int64_t last_ms = 0, last_packets = 0;
    int reports = 0;
    json final_result;
    for (;;) {
        json p = parse(audioextract_progress(id));
        json r = parse(audioextract_result(id));
        ++reports;
        ASSERT_GE(p["processed_ms"].get<int64_t>(), last_ms);
        ASSERT_GE(p["packets"].get<int64_t>(), last_packets);
        ASSERT_GE(r["packets_written"].get<int64_t>(), p["packets"].get<int64_t>());
        last_ms = p["processed_ms"].get<int64_t>();
        last_packets = p["packets"].get<int64_t>();
        if (r["state"].get<int>() >= AE_STATE_DONE) {
            final_result = r;
            break;
        }
    }
    ASSERT_EQ(final_result["state"], AE_STATE_DONE);
    EXPECT_GT(final_result["out_size_bytes"].get<int64_t>(), 0);
    EXPECT_EQ(final_result["out_size_bytes"].get<int64_t>(), static_cast<int64_t>(std::filesystem::file_size(out)));
    EXPECT_EQ(final_result["packets_written"].get<size_t>(), probe_packets(out, 0).size());
    EXPECT_EQ(final_result["codec"], "pcm_s16le");
    json p = parse(audioextract_progress(id));
    EXPECT_EQ(p["packets"], final_result["packets_written"]);
    EXPECT_EQ(p["percent"], 100.0);
    EXPECT_GT(reports, 1);
}

}  // namespace
