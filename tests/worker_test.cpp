// The extraction worker's endings: done, cancelled, and each failure, with what happens to the files.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "timeline.h"
#include "session_fixture.h"
#include "shapes.h"
#include "support.h"

using namespace ae_test;
using namespace std::chrono_literals;

namespace {

class Worker : public Sessions {};

TEST_F(Worker, CopiesTheFirstAudioStreamWhenIndexIsNegative)
{
    const std::string out = scratch_dir() + "/a.m4a";
    const int32_t id = audioextract_start(media("mp4_aac.mp4").c_str(), out.c_str(), -1);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
    json r = parse(audioextract_result(id));
    EXPECT_EQ(r["codec"], "aac");
    EXPECT_EQ(r["out_size_bytes"].get<int64_t>(), static_cast<int64_t>(std::filesystem::file_size(out)));
    EXPECT_NEAR(r["duration_ms"].get<double>(), 2000, 100);
    EXPECT_EQ(r["packets_written"].get<size_t>(), probe_packets(media("mp4_aac.mp4"), 1).size());
    EXPECT_GE(r["elapsed_ms"].get<int64_t>(), 0);
}

struct failure_case {
    const char *name;
    friend void PrintTo(const failure_case &c, std::ostream *os) { *os << c.name; }
    std::string input;  // fixture name, or a path starting with '/'
    std::string out_name;
    int32_t index;
    std::string error;
};

class WorkerFailure : public Sessions, public ::testing::WithParamInterface<failure_case> {};

// Every failure ends in state 5 with its text. A file already at the output path survives whatever step
// failed, and nothing else is left in its directory.
TEST_P(WorkerFailure, EndsFailedAndLeavesOnlyFilesItDidNotWrite)
{
    const failure_case &c = GetParam();
    const std::string dir = scratch_dir();
    const std::string in = c.input[0] == '/' ? c.input : media(c.input);
    const std::string out = dir + "/" + c.out_name;
    if (c.out_name.find('/') == std::string::npos)
        write_file(out, "precious");

    const int32_t id = audioextract_start(in.c_str(), out.c_str(), c.index);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), AE_STATE_FAILED);
    json r = parse(audioextract_result(id));
    EXPECT_EQ(r, (json{{"state", 5}, {"ok", false}, {"error", c.error}}));
    audioextract_free(id);

    if (c.out_name.find('/') != std::string::npos) {
        EXPECT_FALSE(exists(out));
    } else {
        EXPECT_EQ(read_file(out), "precious");
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{c.out_name});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, WorkerFailure,
    ::testing::Values(
        failure_case{"MissingInput", "/nonexistent/in.mp4", "o.m4a", -1, "cannot open input: No such file or directory"},
        failure_case{"NotMedia", "subs.srt", "o.m4a", 5, "no audio stream"},
        failure_case{"VideoStreamIndex", "mp4_aac.mp4", "o.m4a", 0, "no audio stream"},
        failure_case{"IndexEqualToStreamCount", "mp4_aac.mp4", "o.m4a", 2, "no audio stream"},
        failure_case{"NoAudioAtAll", "video_only.mp4", "o.m4a", -1, "no audio stream"},
        failure_case{"BadExtension", "mp4_aac.mp4", "o.notaformat", -1, "cannot create output (bad extension?)"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Worker, ReplacesAFileThatWasAtTheOutputPath)
{
    const std::string out = scratch_dir() + "/o.wav";
    write_file(out, "old contents");
    const int32_t id = audioextract_start(media("wav.wav").c_str(), out.c_str(), -1);
    ASSERT_EQ(wait_final(id), AE_STATE_DONE);
    EXPECT_NE(read_file(out), "old contents");
    EXPECT_EQ(probe_packets(out, 0).size(), probe_packets(media("wav.wav"), 0).size());
}

// Everything fits the output's buffer until the trailer is written, and then the disk is full (a file size
// limit stands in for it: writes beyond it fail as they would on a full disk).
TEST_F(Worker, FailureToFinishTheOutputIsAFailure)
{
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no file size limit to stand in for a full disk";
#else
    const std::string dir = scratch_dir();
    const std::string in = dir + "/in.mka", out = dir + "/o.wav";
    ASSERT_TRUE(write_shaped(in, "matroska", {"eng"}, steady_packets(5)));
    write_file(out, "precious");
    rlimit before {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit tiny = before;
    tiny.rlim_cur = 16;
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const int32_t id = audioextract_start(in.c_str(), out.c_str(), -1);
    const int state = wait_final(id);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, old_handler);
    ASSERT_EQ(state, AE_STATE_FAILED);
    json r = parse(audioextract_result(id));
    EXPECT_EQ(r["error"], "write trailer failed");
    EXPECT_EQ(parse(audioextract_progress(id))["packets"], 5);
    EXPECT_EQ(read_file(out), "precious");
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"in.mka", "o.wav"}));
#endif
}

TEST_F(Worker, StreamWithoutPacketsEndsDoneWithAnEmptyContainer)
{
    const std::string dir = scratch_dir();
    const std::string in = dir + "/in.mka";
    ASSERT_TRUE(write_shaped(in, "matroska", {"eng", "fra"}, steady_packets(50, 0)));
    const int32_t id = audioextract_start(in.c_str(), (dir + "/o.wav").c_str(), 1);
    ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
    json p = parse(audioextract_progress(id));
    EXPECT_EQ(p["packets"], 0);
    EXPECT_EQ(p["processed_ms"], 0);
    EXPECT_EQ(probe_packets(dir + "/o.wav", 0).size(), 0u) << "a readable file with no packets";
}

// One packet before and after placing: pts, dts and duration in, pts and dts out.
struct placed {
    int64_t pts, dts, duration, pts_out, dts_out;
};

struct timeline_case {
    const char *name;
    friend void PrintTo(const timeline_case &c, std::ostream *os) { *os << c.name; }
    bool mend_jumps;
    std::vector<placed> packets;
};

class Timeline : public ::testing::TestWithParam<timeline_case> {};

TEST_P(Timeline, RebasesToZeroAndContinuesAfterJumpsBack)
{
    const timeline_case &c = GetParam();
    ae_timeline t;
    t.mend_jumps = c.mend_jumps;
    for (size_t i = 0; i < c.packets.size(); ++i) {
        const placed &p = c.packets[i];
        int64_t pts = p.pts, dts = p.dts;
        EXPECT_EQ(ae_timeline_place(&t, &pts, &dts, p.duration), p.pts_out != AV_NOPTS_VALUE) << "packet " << i;
        EXPECT_EQ(pts, p.pts_out) << "packet " << i;
        EXPECT_EQ(dts, p.dts_out) << "packet " << i;
    }
}

constexpr int64_t N = AV_NOPTS_VALUE;
constexpr int64_t BIG = 1LL << 62;
INSTANTIATE_TEST_SUITE_P(
    Cases, Timeline,
    ::testing::Values(
        timeline_case{"FirstPacketDtsBeforePts", false, {{300, 200, 0, 0, -100}}},
        timeline_case{"FirstPacketWithoutDts", false, {{300, N, 0, 0, N}}},
        timeline_case{"NothingSeenYetAndNoPts", false, {{N, 50, 0, N, 50}, {300, 300, 0, 0, 0}}},
        timeline_case{"LaterPacketWithoutPts", false, {{300, 300, 0, 0, 0}, {N, 400, 0, N, 100}}},
        timeline_case{"LaterPacket", false, {{300, 300, 0, 0, 0}, {1000, 900, 0, 700, 600}}},
        timeline_case{"LaterPacketBeforeTheFirst", false, {{300, 300, 0, 0, 0}, {100, N, 0, -200, N}}},
        timeline_case{"DistanceBeyond64Bits", false, {{-2 * BIG + 1, N, 0, 0, N}, {BIG, -BIG, 0, N, BIG - 1}}},
        // Where jumps are not mended, a jump back stays for the muxer to refuse.
        timeline_case{"JumpBackKeptWhenNotMended", false, {{100, 100, 10, 0, 0}, {50, 50, 10, -50, -50}}},
        // Two recordings joined: the second restarts at its own zero and continues after the first's end.
        timeline_case{"JoinedRecordingsContinue", true,
                      {{1000, 1000, 10, 0, 0}, {1010, 1010, 10, 10, 10}, {5, 5, 10, 20, 20}, {15, 15, 10, 30, 30}}},
        // A chained Ogg link: header packets at 0 without durations, then audio from a negative pts.
        timeline_case{"ChainedLinkHeadersThenAudio", true,
                      {{0, 0, 20, 0, 0}, {20, 20, 20, 20, 20}, {0, 0, 0, 40, 40}, {0, 0, 0, 41, 41},
                       {-128, -128, 0, 42, 42}, {0, 0, 20, 170, 170}}},
        // A dts behind its pts moves with it; a packet equal to the last one moves one tick on.
        timeline_case{"JumpKeepsPtsDtsDistance", true, {{10, 10, 5, 0, 0}, {4, 2, 5, 7, 5}, {4, 2, 5, 12, 10}}},
        timeline_case{"ForwardJumpKept", true, {{0, 0, 10, 0, 0}, {9000, 9000, 10, 9000, 9000}}}),
    [](const auto &info) { return std::string(info.param.name); });

// A pipe holds the worker inside a read at a known point, so these endings are deterministic.
class WorkerFifo : public Sessions {};

struct fifo_case {
    const char *name, *fixture;
    int32_t index;
    size_t first_bytes;  // fed before the worker is left waiting in a read
    friend void PrintTo(const fifo_case &c, std::ostream *os) { *os << c.name; }
};

class WorkerFifoCancel : public Sessions, public ::testing::WithParamInterface<fifo_case> {};

TEST_P(WorkerFifoCancel, CancelMidCopyEndsCancelledAndLeavesTheOutputNameAlone)
{
    const fifo_case &c = GetParam();
    const std::string dir = scratch_dir();
    const std::string fifo = dir + "/in.mkv", out = dir + "/o.mka";
    write_file(out, "earlier");
    slow_feeder feed(fifo, media(c.fixture), c.first_bytes);
    const int32_t id = audioextract_start(feed.path().c_str(), out.c_str(), c.index);
    ASSERT_TRUE(copying_from(feed, id));  // copying now, and soon blocked in a read
    ASSERT_EQ(audioextract_status(id), AE_STATE_RUNNING);
    EXPECT_EQ(read_file(out), "earlier") << "the output takes its name only when complete";
    EXPECT_NE(temp_output_in(dir), "") << "the header is written before the copy";

    audioextract_cancel(id);
    feed.release();
    ASSERT_EQ(wait_final(id), AE_STATE_CANCELLED);
    json r = parse(audioextract_result(id));
    EXPECT_EQ(r["ok"], false);
    EXPECT_EQ(r["elapsed_ms"], 0);
    EXPECT_EQ(r["out_size_bytes"], 0);
    EXPECT_EQ(read_file(out), "earlier") << "a cancel leaves what was at the output's name";
    std::vector<std::string> left = list_dir(dir);
    std::erase(left, "in.mkv");  // the FIFO, where the system has them
    EXPECT_EQ(left, std::vector<std::string>{"o.mka"});
}

// One stream alone, and one stream among many that the demuxer is told to skip.
INSTANTIATE_TEST_SUITE_P(Inputs, WorkerFifoCancel,
                         ::testing::Values(fifo_case{"OneStream", "long.mkv", -1, 2 << 20},
                                           fifo_case{"AmongSkippedStreams", "mkv_many.mkv", 3, 300000}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(WorkerFifo, CancelWhileOpeningIsSeenAtTheFirstPacket)
{
    const std::string dir = scratch_dir();
    const std::string fifo = dir + "/in.mkv", out = dir + "/o.mka";
    slow_feeder feed(fifo, media("long.mkv"), 0);
    const int32_t id = audioextract_start(feed.path().c_str(), out.c_str(), -1);
    ASSERT_TRUE(feed.wait_first_written(30s));  // the worker has the input open and waits for bytes
    audioextract_cancel(id);
    EXPECT_EQ(audioextract_status(id), AE_STATE_RUNNING);
    feed.release();
    ASSERT_EQ(wait_final(id), AE_STATE_CANCELLED);
    EXPECT_EQ(parse(audioextract_progress(id))["packets"], 0);
    EXPECT_FALSE(exists(out));
}

// A worker that waits for a pipe's data with nothing left to act on is freed at once where its wait sees a
// cancel; elsewhere free returns once the read does.
TEST_F(WorkerFifo, FreeOfAWorkerWaitingForDataReturns)
{
    const std::string dir = scratch_dir();
    const std::string fifo = dir + "/in.mkv", out = dir + "/o.mka";
    slow_feeder feed(fifo, media("long.mkv"), 2 << 20);
    const int32_t id = audioextract_start(feed.path().c_str(), out.c_str(), -1);
    ASSERT_TRUE(copying_from(feed, id));
    ASSERT_TRUE(wait_blocked_in_read(feed, id));

    const auto released_at = std::chrono::steady_clock::now() + 300ms;
    std::thread releaser([&] {
        std::this_thread::sleep_until(released_at);
        feed.release();
    });
    audioextract_free(id);
    const auto returned_at = std::chrono::steady_clock::now();
    releaser.join();
    if (kPipeWaitsSeeCancel)
        EXPECT_LT(returned_at, released_at) << "free returns while the pipe still has nothing";
    else
        EXPECT_GE(returned_at, released_at) << "free must wait for the worker";
    EXPECT_EQ(audioextract_status(id), -1);
    EXPECT_FALSE(exists(out));
}

// A pipe has no size, so nothing can estimate a duration that an MPEG-TS stream does not carry.
TEST_F(WorkerFifo, InputWithoutDurationGivesTotalZero)
{
    const std::string dir = scratch_dir();
    const std::string fifo = dir + "/in.ts", out = dir + "/o.mka";
    slow_feeder feed(fifo, media("ts_two.ts"), 0);
    feed.release();
    const int32_t id = audioextract_start(feed.path().c_str(), out.c_str(), -1);
    ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
    json p = parse(audioextract_progress(id));
    EXPECT_EQ(p["total_ms"], 0);
    EXPECT_GT(p["processed_ms"].get<int64_t>(), 1000);
    EXPECT_EQ(p["percent"], 100.0);
}

}  // namespace
