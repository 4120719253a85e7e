// The control contract through the public calls: arguments, slots, ids, and each call on each state.
#include <atomic>
#include <climits>
#include <filesystem>

extern "C" {
#include <libavformat/version.h>
}
#include <string>
#include <thread>

#include "session_fixture.h"
#include "support.h"

using namespace ae_test;

namespace {

const char *const kBadId = R"({"error":"bad id"})";

class Control : public Sessions {};

TEST_F(Control, StartRefusesBadPathsBeforeLookingAtSlots)
{
    const std::string dir = scratch_dir();
    const std::string ok = media("wav.wav");
    const std::string long1199 = dir + "/" + std::string(1199 - dir.size() - 1, 'p');
    ASSERT_EQ(long1199.size(), 1199u);
    struct {
        const char *in, *out;
    } cases[] = {{nullptr, "x.mka"}, {"", "x.mka"}, {ok.c_str(), nullptr}, {ok.c_str(), ""},
                 {long1199.c_str(), "x.mka"}, {ok.c_str(), long1199.c_str()}};
    for (const auto &c : cases)
        EXPECT_EQ(audioextract_start(c.in, c.out, -1), AE_ERR_BAD_PATH);
    for (int32_t id = 0; id < AE_MAX_SESSIONS; ++id)
        EXPECT_EQ(audioextract_status(id), -1) << "a refused start must not hold a slot";

    // Four held slots: bad arguments still say -1, not -2.
    for (int i = 0; i < AE_MAX_SESSIONS; ++i)
        ASSERT_EQ(audioextract_start("/nonexistent/in.wav", (dir + "/o.mka").c_str(), -1), i);
    EXPECT_EQ(audioextract_start("", "x.mka", -1), AE_ERR_BAD_PATH);
}

TEST_F(Control, PathOf1198BytesIsAccepted)
{
    const std::string dir = scratch_dir();
    const std::string out = dir + "/" + std::string(1198 - dir.size() - 1 - 4, 'o') + ".mka";
    ASSERT_EQ(out.size(), 1198u);
    // The longest name a file system takes is 255 bytes: spread the path over directories.
    std::string in = dir;
    while (in.size() + 201 < 1198 - 9) {
        in += "/" + std::string(200, 'd');
    }
    in += "/" + std::string(1198 - in.size() - 1 - 4, 'i') + ".wav";
    ASSERT_EQ(in.size(), 1198u);
    std::filesystem::create_directories(std::filesystem::path(in).parent_path());
    std::filesystem::copy_file(media("wav.wav"), in);

    // Files named at the length limit are accepted: the out name is too long for a file system entry,
    // so that extraction fails at the open, but it starts.
    int32_t id = audioextract_start(in.c_str(), (dir + "/out.wav").c_str(), -1);
    ASSERT_GE(id, 0);
    EXPECT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
    EXPECT_GE(audioextract_start(media("wav.wav").c_str(), out.c_str(), -1), 0);
}

TEST_F(Control, FifthStartIsRefusedEvenWhenAllFourHaveEnded)
{
    const std::string dir = scratch_dir();
    for (int i = 0; i < AE_MAX_SESSIONS; ++i) {
        ASSERT_EQ(audioextract_start(media("wav.wav").c_str(), (dir + "/o" + std::to_string(i) + ".wav").c_str(), -1),
                  i);
        ASSERT_EQ(wait_final(i), AE_STATE_DONE);
    }
    EXPECT_EQ(audioextract_start(media("wav.wav").c_str(), (dir + "/x.wav").c_str(), -1), AE_ERR_NO_SLOT);

    // The lowest free slot is reused: free 2, then 0, and the next starts get 0, then 2.
    audioextract_free(2);
    audioextract_free(0);
    EXPECT_EQ(audioextract_start(media("wav.wav").c_str(), (dir + "/a.wav").c_str(), -1), 0);
    EXPECT_EQ(audioextract_start(media("wav.wav").c_str(), (dir + "/b.wav").c_str(), -1), 2);
    EXPECT_EQ(audioextract_start(media("wav.wav").c_str(), (dir + "/c.wav").c_str(), -1), AE_ERR_NO_SLOT);
}

TEST_F(Control, WithSlotsZeroAndTwoHeldStartReturnsOne)
{
    const std::string dir = scratch_dir();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(audioextract_start(media("wav.wav").c_str(), (dir + "/o" + std::to_string(i) + ".wav").c_str(), -1), i);
    audioextract_free(1);
    EXPECT_EQ(audioextract_start(media("wav.wav").c_str(), (dir + "/n.wav").c_str(), -1), 1);
}

TEST_F(Control, BadIdsAreAnsweredAndIgnored)
{
    const std::string dir = scratch_dir();
    const int32_t id = audioextract_start(media("wav.wav").c_str(), (dir + "/o.wav").c_str(), -1);
    ASSERT_EQ(id, 0);
    ASSERT_EQ(wait_final(id), AE_STATE_DONE);
    audioextract_free(id);

    for (int32_t bad : {-1, 4, 100, INT_MIN, INT_MAX, id /* freed */, 3 /* never used */}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(audioextract_status(bad), -1);
        EXPECT_STREQ(audioextract_progress(bad), kBadId);
        EXPECT_STREQ(audioextract_result(bad), kBadId);
        audioextract_cancel(bad);
        audioextract_free(bad);
    }
    EXPECT_TRUE(exists(dir + "/o.wav")) << "a done output survives frees of bad ids";
    audioextract_free(id);  // a second free of the same id does nothing either
    EXPECT_TRUE(exists(dir + "/o.wav"));
}

TEST_F(Control, CancelAndFreeKeepTheOutputOfADoneSession)
{
    const std::string dir = scratch_dir();
    const std::string out = dir + "/o.m4a";
    const int32_t id = audioextract_start(media("mp4_aac.mp4").c_str(), out.c_str(), -1);
    ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
    audioextract_cancel(id);
    EXPECT_EQ(audioextract_status(id), AE_STATE_DONE);
    audioextract_free(id);
    EXPECT_TRUE(exists(out));
    EXPECT_EQ(audioextract_status(id), -1);
}

TEST_F(Control, VersionNamesTheLibavformatBuiltAgainst)
{
    const char *v = audioextract_version();
    const std::string text = v;
    EXPECT_EQ(v, audioextract_version()) << "same buffer every call";
    EXPECT_EQ(text, audioextract_version());
    const std::string want = AE_EXPECTED_VERSION " (libavformat " + std::to_string(LIBAVFORMAT_VERSION_MAJOR) + "." +
                             std::to_string(LIBAVFORMAT_VERSION_MINOR) + "." +
                             std::to_string(LIBAVFORMAT_VERSION_MICRO) + ")";
    EXPECT_EQ(text, want);
}

// A probe shares nothing with the session calls, so a host may probe on one thread while another starts,
// polls and frees sessions (ThreadSanitizer checks this test for races).
TEST_F(Control, ProbeOnOneThreadBesideSessionCallsOnAnother)
{
    const std::string dir = scratch_dir();
    std::atomic<bool> stop{false};
    std::atomic<int> probes{0};
    std::thread prober([&] {
        for (const char *name : {"mkv_many.mkv", "mp4_two.mp4", "wav.wav", "missing.mp4"}) {
            const std::string path = std::string(name) == "missing.mp4" ? dir + "/missing.mp4" : media(name);
            const json report = parse(audioextract_probe(path.c_str()));
            EXPECT_EQ(report["ok"], std::string(name) != "missing.mp4") << name;
            ++probes;
        }
        while (!stop)
            EXPECT_TRUE(parse(audioextract_probe(media("mkv_many.mkv").c_str()))["ok"]);
    });
    for (int round = 0; round < 6; ++round) {
        int32_t ids[2];
        for (int n = 0; n < 2; ++n) {
            const std::string out = dir + "/o" + std::to_string(round) + "_" + std::to_string(n) + ".wav";
            ids[n] = audioextract_start(media("wav.wav").c_str(), out.c_str(), -1);
            ASSERT_GE(ids[n], 0);
        }
        for (const int32_t id : ids) {
            while (audioextract_status(id) < AE_STATE_DONE)
                parse(audioextract_progress(id));
            EXPECT_EQ(parse(audioextract_result(id))["ok"], true) << audioextract_result(id);
            audioextract_free(id);
        }
    }
    stop = true;
    prober.join();
    EXPECT_EQ(probes, 4);
    EXPECT_EQ(list_dir(dir).size(), 12u);
}

}  // namespace
