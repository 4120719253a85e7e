// Every audio stream of every fixture, extracted with its suggested extension, checked against ffprobe:
// the output holds the input stream's packets, payload for payload.
#include <string>
#include <vector>

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

}  // namespace
