// Every audio stream of every fixture, extracted with its suggested extension, checked against ffprobe:
// the output holds the input stream's packets, payload for payload.
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "session_fixture.h"
#include "support.h"

using namespace ae_test;

namespace {

class ExtractOracle : public Sessions, public ::testing::WithParamInterface<std::string> {};

TEST_P(ExtractOracle, OutputHoldsTheInputStreamsPackets)
{
    const std::string in = media(GetParam());
    const std::string dir = scratch_dir();
    json report = parse(audioextract_probe(in.c_str()));
    ASSERT_EQ(report["ok"], true);
    ASSERT_FALSE(report["audio_streams"].empty());
    const std::string format = report["format"];

    for (const json &a : report["audio_streams"]) {
        const int index = a["index"];
        const std::string codec = a["codec"];
        const std::string ext = a["suggested_ext"];
        const std::string out = dir + "/s" + std::to_string(index) + "." + ext;
        SCOPED_TRACE(out + " (" + codec + ")");
        const int32_t id = audioextract_start(in.c_str(), out.c_str(), index);
        ASSERT_GE(id, 0);
        ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
        json r = parse(audioextract_result(id));
        audioextract_free(id);

        const std::vector<packet> want = probe_packets(in, index), got = probe_packets(out, 0);
        ASSERT_EQ(got.size(), want.size());
        EXPECT_EQ(r["packets_written"].get<size_t>(), want.size());
        EXPECT_EQ(r["codec"], codec);
        // ADTS framing is stripped when AAC goes into MP4; every other payload is copied byte for byte.
        const bool rewritten = codec == "aac" && (format == "mpegts" || format == "aac");
        for (size_t i = 0; i < want.size(); ++i) {
            if (rewritten)
                ASSERT_NEAR(got[i].duration_time, want[i].duration_time, 1e-3) << "packet " << i;
            else
                ASSERT_EQ(got[i].hash, want[i].hash) << "packet " << i;
        }
        // Containers that keep timestamps as written show the stream starting at zero. (MP4 and Ogg show
        // codec priming as negative time, by design of those formats.)
        if (ext == "mka" || ext == "flac" || ext == "mp3" || ext == "ac3" || ext == "eac3") {
            EXPECT_EQ(got[0].pts_time, 0.0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ExtractOracle, ::testing::ValuesIn(kAudioFixtures), file_param_name());

// Recordings joined byte for byte restart their timestamps part way: every packet is still copied, in order
// and unchanged, the output's timestamps keep rising, and it decodes to the whole audio of every part.
struct joined_case {
    const char *fixture;
    int stream;
    const char *ext;
    bool framing_rewritten;  // ADTS framing is stripped when AAC leaves MPEG-TS
};

class Joined : public Sessions, public ::testing::WithParamInterface<joined_case> {};

TEST_P(Joined, EveryPartIsCopiedWithRisingTimestamps)
{
    const joined_case &c = GetParam();
    const std::string in = media(c.fixture);
    const std::string out = scratch_dir() + "/o." + c.ext;
    const int32_t id = audioextract_start(in.c_str(), out.c_str(), c.stream);
    ASSERT_GE(id, 0);
    ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
    const int64_t written = parse(audioextract_result(id))["packets_written"];
    audioextract_free(id);

    // Reading the output back through a parser drops a later link's header packets, which a decoder of the
    // output still gets: so packets are matched by payload, in order, and the rest must be those headers.
    const std::vector<packet> want = probe_packets(in, c.stream), got = probe_packets(out, 0);
    EXPECT_EQ(written, static_cast<int64_t>(want.size()));
    size_t w = 0;
    for (size_t i = 0; i < got.size(); ++i, ++w) {
        while (!c.framing_rewritten && w < want.size() && want[w].hash != got[i].hash)
            ++w;
        ASSERT_LT(w, want.size()) << "output packet " << i << " is not in the input";
        // Ogg keeps no timestamps of its own (a reader works them out from page positions).
        if (i > 0 && std::string(c.ext) != "ogg" && std::string(c.ext) != "opus")
            ASSERT_GE(got[i].dts, got[i - 1].dts) << "packet " << i;
    }
    EXPECT_GE(got.size() + 6, want.size()) << "no more than the headers of one later link are dropped on reading";
    // A decoder of the output hears both parts: as many samples as from the input, give or take the
    // priming a later part's decoder skips. (The Windows build's FFmpeg has no Opus decoder.)
    const std::string codec = parse(audioextract_probe(in.c_str()))["streams"][c.stream]["codec"];
    if (!avcodec_find_decoder_by_name(codec.c_str()))
        GTEST_SKIP() << "this FFmpeg cannot decode " << codec;
    const int64_t from_input = decoded_samples(in, c.stream), from_output = decoded_samples(out, 0);
    ASSERT_GT(from_input, 0);
    EXPECT_NEAR(static_cast<double>(from_output), static_cast<double>(from_input), 1024.0);
}

INSTANTIATE_TEST_SUITE_P(
    Parts, Joined,
    ::testing::Values(joined_case{"joined.ts", 1, "mp2", false}, joined_case{"joined.ts", 1, "mka", false},
                      joined_case{"joined.ts", 2, "m4a", true}, joined_case{"joined.ts", 2, "mka", true},
                      joined_case{"chain_vorbis.ogg", 0, "ogg", false}, joined_case{"chain_vorbis.ogg", 0, "mka", false},
                      joined_case{"chain_opus.ogg", 0, "opus", false}, joined_case{"chain_opus.ogg", 0, "mka", false}),
    [](const auto &info) {
        return name_of_file(info.param.fixture) + "_" + std::to_string(info.param.stream) + "_" + info.param.ext;
    });

// A chain whose later link is coded another way (sample rate, channels) cannot go on under the header
// written for the first link: the session fails, and nothing is left.
class ChangingLinks : public Sessions, public ::testing::WithParamInterface<std::string> {};

TEST_P(ChangingLinks, FailTruthfullyAndLeaveNothing)
{
    const std::string in = media(GetParam());
    const std::string dir = scratch_dir();
    for (const char *ext : {"ogg", "mka"}) {
        const std::string out = dir + "/o." + ext;
        const int32_t id = audioextract_start(in.c_str(), out.c_str(), 0);
        ASSERT_GE(id, 0);
        ASSERT_EQ(wait_final(id), AE_STATE_FAILED) << out;
        EXPECT_EQ(parse(audioextract_result(id))["error"], "audio format changes mid-stream") << out;
        audioextract_free(id);
    }
    EXPECT_TRUE(list_dir(dir).empty());
}

INSTANTIATE_TEST_SUITE_P(Chains, ChangingLinks,
                         ::testing::Values("chain_vorbis_rates.ogg", "chain_opus_channels.ogg"), file_param_name());

}  // namespace
