// The probe report, parsed as JSON and checked against ffprobe's view of the same files.
#include <cmath>
#include <cstring>
#include <map>
#include <string>

#include "session_fixture.h"
#include "shapes.h"
#include "support.h"

using namespace ae_test;

namespace {

// ffprobe prints seconds with six decimals: milliseconds are the first three, truncated.
int64_t seconds_text_to_ms(const std::string &s)
{
    const size_t dot = s.find('.');
    const std::string whole = s.substr(0, dot), frac = dot == std::string::npos ? "" : (s.substr(dot + 1) + "000");
    return std::stoll(whole) * 1000 + (frac.empty() ? 0 : std::stoll(frac.substr(0, 3)));
}

double rate(const std::string &r)
{
    const size_t slash = r.find('/');
    const double num = std::stod(r.substr(0, slash)), den = std::stod(r.substr(slash + 1));
    return den > 0 ? num / den : 0.0;
}

const std::map<std::string, std::string> kSuggested = {
    {"mp3", "mp3"}, {"aac", "m4a"}, {"ac3", "ac3"}, {"eac3", "eac3"}, {"flac", "flac"}, {"vorbis", "ogg"},
    {"opus", "ogg"}, {"mp2", "mka"}, {"pcm_s16le", "mka"}};

class ProbeOracle : public ::testing::TestWithParam<std::string> {};

TEST_P(ProbeOracle, AgreesWithFfprobe)
{
    const std::string path = media(GetParam());
    json mine = parse(audioextract_probe(path.c_str()));
    json theirs = json::parse(ffprobe({"-v", "error", "-show_format", "-show_streams", "-of", "json", path}));

    ASSERT_EQ(mine["ok"], true);
    EXPECT_EQ(mine["format"], theirs["format"]["format_name"]);
    const int64_t duration = theirs["format"].contains("duration")
                                 ? seconds_text_to_ms(theirs["format"]["duration"].get<std::string>())
                                 : 0;
    EXPECT_EQ(mine["duration_ms"], duration);

    const json &streams = theirs["streams"];
    ASSERT_EQ(mine["streams"].size(), streams.size());
    size_t audio = 0;
    for (const json &s : streams) {
        const int index = s["index"];
        SCOPED_TRACE("stream " + std::to_string(index));
        const json &m = mine["streams"][index];
        const std::string type = s["codec_type"];
        EXPECT_EQ(m["index"], index);
        EXPECT_EQ(m["type"], type == "video" || type == "audio" || type == "subtitle" ? type : "other");
        EXPECT_EQ(m["codec"], s.value("codec_name", "none"));
        EXPECT_EQ(m["width"], s.value("width", 0));
        EXPECT_EQ(m["height"], s.value("height", 0));
        EXPECT_NEAR(m["fps"].get<double>(), rate(s.value("avg_frame_rate", "0/0")), 0.0005);
        if (type != "audio")
            continue;
        ASSERT_LT(audio, mine["audio_streams"].size());
        const json &a = mine["audio_streams"][audio++];
        EXPECT_EQ(a["index"], index);
        EXPECT_EQ(a["codec"], s["codec_name"]);
        EXPECT_EQ(a["channels"], s["channels"]);
        EXPECT_EQ(a["sample_rate"], std::stoi(s["sample_rate"].get<std::string>()));
        const int64_t bitrate = s.contains("bit_rate") ? std::stoll(s["bit_rate"].get<std::string>()) : 0;
        if (mine["format"] == "mpegts")  // estimated from the frames read; ffprobe scans all PMTs and reads more
            EXPECT_NEAR(a["bitrate"].get<double>(), static_cast<double>(bitrate), 0.05 * static_cast<double>(bitrate));
        else
            EXPECT_EQ(a["bitrate"], bitrate);
        EXPECT_EQ(a["language"], s.value("tags", json::object()).value("language", ""));
        auto ext = kSuggested.find(s["codec_name"]);
        ASSERT_NE(ext, kSuggested.end()) << "a fixture codec without an expectation";
        EXPECT_EQ(a["suggested_ext"], ext->second);
    }
    EXPECT_EQ(mine["audio_streams"].size(), audio);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ProbeOracle, ::testing::ValuesIn(kAudioFixtures), file_param_name());
INSTANTIATE_TEST_SUITE_P(VideoOnly, ProbeOracle, ::testing::ValuesIn(kVideoOnlyFixtures), file_param_name());

TEST(Probe, FailureReportsHoldOkFalseAndAnError)
{
    const std::string dir = scratch_dir();
    EXPECT_STREQ(audioextract_probe(nullptr), R"({"ok":false,"error":"empty path"})");
    EXPECT_STREQ(audioextract_probe(""), R"({"ok":false,"error":"empty path"})");
    EXPECT_STREQ(audioextract_probe((dir + "/missing.mp4").c_str()),
                 R"({"ok":false,"error":"open: No such file or directory"})");
    // A path far longer than any the system takes.
    EXPECT_EQ(parse(audioextract_probe((dir + "/" + std::string(6200, 'y')).c_str()))["ok"], false);

    std::string noise(4096, '\0');
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    write_file(dir + "/noise.bin", noise);
    write_file(dir + "/empty.mp4", "");
    for (const char *name : {"/noise.bin", "/empty.mp4"}) {
        json r = parse(audioextract_probe((dir + name).c_str()));
        EXPECT_EQ(r["ok"], false) << name;
        EXPECT_EQ(r.size(), 2u) << name;
        EXPECT_TRUE(r["error"].get<std::string>().rfind("open: ", 0) == 0 || r["error"] == "no stream info") << r;
    }
}

// Why an input cannot be opened, as the probe and an extraction tell it: the system's own reason, the same
// in both.
std::pair<std::string, std::string> open_failure_texts(const std::string &in, const std::string &out)
{
    json p = parse(audioextract_probe(in.c_str()));
    const int32_t id = audioextract_start(in.c_str(), out.c_str(), -1);
    const int state = wait_final(id);
    json r = parse(audioextract_result(id));
    audioextract_free(id);
    if (p["ok"] != false || state != AE_STATE_FAILED)
        return {"", ""};
    return {p["error"], r["error"]};
}

TEST(Probe, OpenFailuresGiveTheSystemsReason)
{
    const std::string dir = scratch_dir();
    const std::pair<const char *, const char *> cases[] = {
        {"/missing.mp4", "No such file or directory"},
        {"", "Is a directory"},  // the directory itself
    };
    for (const auto &[name, reason] : cases) {
        SCOPED_TRACE(dir + name);
        const auto [probe, extract] = open_failure_texts(dir + name, dir + "/o.mka");
        EXPECT_EQ(probe, std::string("open: ") + reason);
        EXPECT_EQ(extract, std::string("cannot open input: ") + reason);
    }

    // A file this process may not read (as an unprivileged user: root may read anything).
    const std::string locked = (std::filesystem::temp_directory_path() / "ae-locked-test.mp4").string();
    write_file(locked, read_file(media("mp4_aac.mp4")));
    set_access(locked, file_access{0600, 0, 0});
    const auto code = run_unprivileged([&] {
        const auto [probe, extract] = open_failure_texts(locked, "/tmp/ae-locked-test-out.m4a");
        return probe == "open: Permission denied" && extract == "cannot open input: Permission denied" ? 0 : 1;
    });
    remove_tree(locked);
    if (code)
        EXPECT_EQ(*code, 0) << "an unreadable file is not reported as \"Permission denied\"";
}

// Texts from the file are escaped: a language tag cannot break the report or add keys to it.
TEST(Probe, LanguageTagIsEscaped)
{
    const std::string path = scratch_dir() + "/lang.mka";
    ASSERT_TRUE(write_shaped(path, "matroska", {"en\"x\\\ty\",\"injected\":\"1"}, steady_packets(5)));
    json r = parse(audioextract_probe(path.c_str()));
    ASSERT_EQ(r["audio_streams"].size(), 1u);
    EXPECT_EQ(r["audio_streams"][0]["language"], "en\"x\\\ty\",\"injected\":\"1");
    EXPECT_FALSE(r["audio_streams"][0].contains("injected"));
}

// Whatever the file holds, the report is one valid JSON object inside the 64 KB buffer.
TEST(Probe, ReportStaysValidWithinItsBuffer)
{
    const std::string dir = scratch_dir();

    const std::vector<std::string> many(700, "eng");
    ASSERT_TRUE(write_shaped(dir + "/many.mka", "matroska", many, steady_packets(1)));
    std::string text = audioextract_probe((dir + "/many.mka").c_str());
    EXPECT_LT(text.size(), 65536u);
    json r = parse(text.c_str());
    EXPECT_GT(r["audio_streams"].size(), 100u);
    EXPECT_LT(r["audio_streams"].size(), 700u) << "the audio list ends when the buffer is nearly full";
    ASSERT_EQ(r["streams"].size(), 1u) << "the stream list still holds stream 0";
    EXPECT_EQ(r["streams"][0]["index"], 0);

    EXPECT_EQ(r["truncated"], true) << "a report that left entries out says so";

    // A language tag longer than any real one is cut (between characters), and its stream stays listed.
    for (const size_t length : {size_t{40000}, size_t{70000}}) {
        ASSERT_TRUE(write_shaped(dir + "/huge.mka", "matroska", {"eng", std::string(length, 'q'), "fra"},
                                 steady_packets(1)));
        text = audioextract_probe((dir + "/huge.mka").c_str());
        r = parse(text.c_str());
        ASSERT_EQ(r["audio_streams"].size(), 3u) << length;
        EXPECT_EQ(r["audio_streams"][1]["language"], std::string(255, 'q'));
        EXPECT_EQ(r["audio_streams"][2]["language"], "fra");
        EXPECT_FALSE(r.contains("truncated"));
    }

    // Files whose last entries end on every side of the room left for closing the report: the report is
    // whole or says it is not.
    int whole = 0, truncated = 0;
    for (size_t count = 150; count < 175; ++count) {
        SCOPED_TRACE(count);
        const std::vector<std::string> tags(count, std::string(200, 'l'));
        ASSERT_TRUE(write_shaped(dir + "/edge.mka", "matroska", tags, steady_packets(1)));
        text = audioextract_probe((dir + "/edge.mka").c_str());
        ASSERT_LT(text.size(), 65536u);
        r = parse(text.c_str());
        const bool complete = r["audio_streams"].size() == count && r["streams"].size() == count;
        EXPECT_EQ(r.contains("truncated"), !complete);
        (complete ? whole : truncated)++;
    }
    EXPECT_GT(whole, 0);
    EXPECT_GT(truncated, 0);
}

TEST(Probe, ContainerWithoutStreamsHasNoStreamInfo)
{
    const std::string path = scratch_dir() + "/none.ts";
    // An MPEG-TS of null packets only: a valid container with no elementary streams.
    std::string ts;
    for (int i = 0; i < 400; ++i) {
        std::string pkt(188, '\xff');
        pkt[0] = 0x47;
        pkt[1] = 0x1f;
        pkt[2] = '\xff';
        pkt[3] = 0x10;
        ts += pkt;
    }
    write_file(path, ts);
    // FFmpeg 5.1 and 9 alike find no stream information in it.
    EXPECT_EQ(parse(audioextract_probe(path.c_str())), (json{{"ok", false}, {"error", "no stream info"}}));
}

}  // namespace
