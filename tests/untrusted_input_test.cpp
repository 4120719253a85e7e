// Inputs a host did not make: a file is read as what it is named, a run never hangs past cancel, free or
// the probe's limit, and a read that breaks is a failure.
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#ifndef _WIN32
#include "loopback_http.h"
#endif
#include "session_fixture.h"
#include "support.h"

using namespace ae_test;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

namespace {

// A media file that only a playlist in the same test names: nothing of it may reach a report or an output.
std::string place_secret(const std::string &dir, const std::string &fixture, const std::string &name)
{
    const std::string path = dir + "/" + name;
    std::filesystem::copy_file(media(fixture), path);
    return path;
}

struct disguise_case {
    const char *name;
    friend void PrintTo(const disguise_case &c, std::ostream *os) { *os << c.name; }
    const char *file_name;  // what the host is handed, after `scheme`
    std::function<std::string(const std::string &dir)> content;  // places its secret, returns the text
    const char *scheme = "";
};

// An HLS playlist that names a secret file by its absolute path.
std::string hls_naming_secret(const std::string &dir)
{
    return "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\n" + place_secret(dir, "ts_two.ts", "secret.ts") +
           "\n#EXT-X-ENDLIST\n";
}

class Disguised : public Sessions, public ::testing::WithParamInterface<disguise_case> {};

TEST_P(Disguised, ReadsNothingTheFileNames)
{
    const disguise_case &c = GetParam();
    const std::string dir = scratch_dir();
    const std::string file = dir + "/" + c.file_name, in = c.scheme + file;
    write_file(file, c.content(dir));
    const auto before = list_dir(dir);

    json p = parse(audioextract_probe(in.c_str()));
    EXPECT_EQ(p["ok"], false) << p.dump();
    EXPECT_EQ(p.dump().find("secret"), std::string::npos);

    const int32_t id = audioextract_start(in.c_str(), (dir + "/o.mka").c_str(), -1);
    ASSERT_EQ(wait_final(id), AE_STATE_FAILED);
    EXPECT_EQ(parse(audioextract_result(id))["error"].get<std::string>().rfind("cannot open input: ", 0), 0u);
    EXPECT_EQ(list_dir(dir), before);
}

INSTANTIATE_TEST_SUITE_P(
    Playlists, Disguised,
    ::testing::Values(
        disguise_case{"HlsPlaylistNamedMp4", "clip.mp4",
                      [](const std::string &dir) {
                          return "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\n" +
                                 place_secret(dir, "ts_two.ts", "secret.ts") + "\n#EXT-X-ENDLIST\n";
                      }},
        disguise_case{"DashManifestNamedMp4", "clip.mp4",
                      [](const std::string &dir) {
                          return "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" "
                                 "profiles=\"urn:mpeg:dash:profile:isoff-on-demand:2011\" type=\"static\" "
                                 "mediaPresentationDuration=\"PT2S\" minBufferTime=\"PT1S\"><Period>"
                                 "<AdaptationSet mimeType=\"audio/mp4\"><Representation id=\"a\" bandwidth=\"96000\" "
                                 "codecs=\"mp4a.40.2\"><BaseURL>" +
                                 place_secret(dir, "mp4_aac.mp4", "secret.m4a") +
                                 "</BaseURL></Representation></AdaptationSet></Period></MPD>\n";
                      }},
        disguise_case{"ConcatScriptNamedMkv", "clip.mkv",
                      [](const std::string &dir) {
                          place_secret(dir, "mkv_many.mkv", "secret.mkv");
                          return std::string("ffconcat version 1.0\nfile secret.mkv\n");
                      }},
        // A genuine script whose entry is a playlist in disguise: the rule holds at every depth.
        disguise_case{"HlsBehindAConcatScript", "list.ffconcat",
                      [](const std::string &dir) {
                          write_file(dir + "/clip.mp4", hls_naming_secret(dir));
                          return std::string("ffconcat version 1.0\nfile clip.mp4\n");
                      }},
        disguise_case{"ScriptBehindAScript", "list.ffconcat",
                      [](const std::string &dir) {
                          place_secret(dir, "mkv_many.mkv", "secret.mkv");
                          write_file(dir + "/inner.ffconcat", "ffconcat version 1.0\nfile secret.mkv\n");
                          return std::string("ffconcat version 1.0\nfile inner.ffconcat\n");
                      }},
        disguise_case{"HlsBehindAWrappingScheme", "clip.mp4", hls_naming_secret, "concat:"},
        disguise_case{"HlsThroughItsProtocol", "list.m3u8", hls_naming_secret, "hls+file:"},
        disguise_case{"FileListProtocol", "list.txt",
                      [](const std::string &dir) { return place_secret(dir, "ts_two.ts", "secret.ts") + "\n"; },
                      "concatf:"}),
    [](const auto &info) { return std::string(info.param.name); });

class Playlist : public Sessions {};

// An HLS playlist (list.m3u8) of one second segments (seg0.ts, ...) cut from ts_two.ts's first audio stream.
void copy_playlist(const std::string &dir)
{
    for (const auto &e : std::filesystem::directory_iterator(media("hls")))
        std::filesystem::copy_file(e.path(), dir + "/" + e.path().filename().string());
}

// A host that hands over a playlist on purpose, under its own extension, keeps that use.
TEST_F(Playlist, GenuineLocalPlaylistsStillExtract)
{
    const std::string dir = scratch_dir();
    copy_playlist(dir);
    std::filesystem::copy_file(media("mkv_many.mkv"), dir + "/part.mkv");
    write_file(dir + "/list.ffconcat", "ffconcat version 1.0\nfile part.mkv\nfile part.mkv\n");

    for (const auto &[in, stream, want] : {std::tuple{"list.m3u8", -1, probe_packets(media("ts_two.ts"), 1).size()},
                                           std::tuple{"list.ffconcat", 3, 2 * probe_packets(media("mkv_many.mkv"), 3).size()}}) {
        SCOPED_TRACE(in);
        const std::string out = dir + "/" + in + ".mka";
        const int32_t id = audioextract_start((dir + "/" + in).c_str(), out.c_str(), stream);
        ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
        EXPECT_EQ(probe_packets(out, 0).size(), want);
        audioextract_free(id);
    }
}

// Under whatever name, link, scheme or wrapper, the output may not be the input's file: it is never truncated.
TEST_F(Playlist, OutputThatIsTheInputUnderAnyNameIsRefused)
{
    const std::string dir = scratch_dir();
    const std::string in = dir + "/in.ts";
    std::filesystem::copy_file(media("ts_two.ts"), in);
    std::filesystem::create_hard_link(in, dir + "/hard.ts");
    std::error_code ec;
    std::filesystem::create_symlink(in, dir + "/sym.ts", ec);
#ifndef _WIN32
    ASSERT_FALSE(ec) << ec.message();  // Windows makes links only with a privilege, which Wine does not have
#endif
    copy_playlist(dir);
    write_file(dir + "/list.ffconcat", "ffconcat version 1.0\nfile 'in.ts'\nfile list.ffconcat\n");
    const std::string seg = dir + "/seg0.ts", before = read_file(in), seg_before = read_file(seg);

    // Scripts the way FFmpeg reads them: lines that end in CR alone or in NUL, an entry past 1 MiB, and
    // scripts nested six deep.
    write_file(dir + "/cr.ffconcat", "ffconcat version 1.0\rfile seg1.ts\rfile in.ts\r");
    // (Not "nul.ffconcat": Windows reserves that name for its null device.)
    write_file(dir + "/zero.ffconcat", std::string("ffconcat version 1.0\nfile seg1.ts") + '\0' + "file in.ts\n");
    write_file(dir + "/long.ffconcat", "ffconcat version 1.0\n" + std::string(1 << 20, '#') + "\nfile in.ts\n");
    for (int level = 1; level <= 6; ++level)
        write_file(dir + "/deep" + std::to_string(level) + ".ffconcat",
                   "ffconcat version 1.0\nfile " + (level < 6 ? "deep" + std::to_string(level + 1) + ".ffconcat" : "in.ts") + "\n");
    // A script that lists a script is refused as an input before the output comes into it.
    const std::string output_refused = "cannot open output file", nested = "cannot open input: Operation not permitted";
    std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {in, in, output_refused},
        {in, dir + "/./in.ts", output_refused},
        {in, dir + "/hard.ts", output_refused},
        {dir + "/cr.ffconcat", in, output_refused},
        {dir + "/zero.ffconcat", in, output_refused},
        {dir + "/long.ffconcat", in, output_refused},
        {dir + "/deep1.ffconcat", in, nested},
        {"file:" + in, in, output_refused},
        {in, "file:" + in, output_refused},
        {"async:file:" + in, in, output_refused},
        {"concat:" + in, in, output_refused},
        {"subfile,,start,0,end,0,,:" + in, in, output_refused},
        {dir + "/list.m3u8", seg, output_refused},  // a playlist entry that is the output
        {dir + "/list.ffconcat", in, output_refused},  // a script entry (then one listing the script itself)
    };
    if (!ec)
        cases.emplace_back(in, dir + "/sym.ts", output_refused);
    for (const std::string &name : other_spellings(in))
        cases.emplace_back(in, name, output_refused);
    for (const auto &[input, output, error] : cases) {
        SCOPED_TRACE(input + " -> " + output);
        const int32_t id = audioextract_start(input.c_str(), output.c_str(), -1);
        ASSERT_EQ(wait_final(id), AE_STATE_FAILED);
        EXPECT_EQ(parse(audioextract_result(id))["error"], error);
        audioextract_free(id);
        EXPECT_EQ(read_file(in), before);
        EXPECT_EQ(read_file(seg), seg_before);
        EXPECT_EQ(temp_output_in(dir), "");
    }
}

// Waits for the session to end after cancel, and returns how long free then took.
std::chrono::milliseconds cancel_and_free(int32_t id)
{
    const auto t0 = clock_type::now();
    audioextract_cancel(id);
    audioextract_free(id);
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0);
}

class Hang : public Sessions {};

#ifdef _WIN32
// The Windows build's FFmpeg has no network protocols: a URL is refused at once, as input and as probe.
TEST_F(Hang, UrlInputsAreRefusedWithoutNetworkSupport)
{
    const std::string dir = scratch_dir();
    const int32_t id = audioextract_start("http://127.0.0.1:9/a.ts", (dir + "/o.mka").c_str(), -1);
    ASSERT_EQ(wait_final(id, std::chrono::seconds(5)), AE_STATE_FAILED);
    EXPECT_EQ(parse(audioextract_result(id))["error"].get<std::string>().rfind("cannot open input: ", 0), 0u);
    EXPECT_EQ(parse(audioextract_probe("http://127.0.0.1:9/a.mp4"))["ok"], false);
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{});
}
#else
TEST_F(Hang, CancelReturnsPromptlyFromAServerThatStalls)
{
    for (auto mode : {loopback_http::mode::silent, loopback_http::mode::stall}) {
        loopback_http server(mode, read_file(media("ts_two.ts")));
        const std::string dir = scratch_dir();
        const int32_t id = audioextract_start(server.url("a.ts").c_str(), (dir + "/o.mka").c_str(), -1);
        ASSERT_GE(id, 0);
        std::this_thread::sleep_for(300ms);  // connected, and waiting for bytes that do not come
        EXPECT_EQ(audioextract_status(id), AE_STATE_RUNNING);
        EXPECT_LT(cancel_and_free(id), 1000ms);
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{});
    }
}

TEST_F(Hang, ProbeOfASilentServerEndsWithItsFailureReport)
{
    loopback_http server(loopback_http::mode::silent, "");
    const auto t0 = clock_type::now();
    json p = parse(audioextract_probe(server.url("a.mp4").c_str()));
    EXPECT_LT(clock_type::now() - t0, 17s);
    EXPECT_EQ(p["ok"], false);
}

#endif

// A FIFO that no program writes to, as the input or as a playlist's segment: the probe ends within its
// limit, and cancel and free end the session at once.
TEST_F(Hang, FifoWithoutAWriterWaitsOnlyAsLongAsAllowed)
{
    const std::string dir = scratch_dir();
    if (!make_fifo(dir + "/in.ts"))
        GTEST_SKIP() << "no FIFO in a folder on this platform";
    write_file(dir + "/list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\nin.ts\n#EXT-X-ENDLIST\n");
    for (const char *name : {"/in.ts", "/list.m3u8"}) {
        SCOPED_TRACE(name);
        const auto t0 = clock_type::now();
        EXPECT_EQ(parse(audioextract_probe((dir + name).c_str()))["ok"], false);
        EXPECT_LT(clock_type::now() - t0, 17s);

        const int32_t id = audioextract_start((dir + name).c_str(), (dir + "/o.mka").c_str(), -1);
        std::this_thread::sleep_for(300ms);
        EXPECT_LT(cancel_and_free(id), 1000ms);
        EXPECT_FALSE(exists(dir + "/o.mka"));
        EXPECT_EQ(temp_output_in(dir), "");
    }
}

// A live playlist (no end marker) with an hour between reloads would keep a reader waiting for ever.
TEST_F(Hang, LivePlaylistEndsOnCancelAndProbeEndsWithinItsLimit)
{
    const std::string dir = scratch_dir();
    // An AAC segment: with MPEG-TS holding MP2, FFmpeg 7.1 never completes the stream information of a live
    // playlist (its MP2 decoder fails to open) and waits for the reload before any packet.
    std::filesystem::copy_file(media("adts.aac"), dir + "/seg0.aac");
    write_file(dir + "/live.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:3600\n#EXTINF:2.0,\nseg0.aac\n");
    const int32_t id = audioextract_start((dir + "/live.m3u8").c_str(), (dir + "/o.mka").c_str(), -1);
    ASSERT_TRUE(wait_packets_flow(id));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(audioextract_status(id), AE_STATE_RUNNING);
    EXPECT_LT(cancel_and_free(id), 1000ms);
    EXPECT_FALSE(exists(dir + "/o.mka"));
    EXPECT_EQ(temp_output_in(dir), "");

    write_file(dir + "/missing.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:5\n#EXTINF:5.0,\nnot-there.ts\n");
    const auto t0 = clock_type::now();
    json p = parse(audioextract_probe((dir + "/missing.m3u8").c_str()));
    EXPECT_LT(clock_type::now() - t0, 17s);
    EXPECT_TRUE(p.contains("ok"));
}

class ReadEnd : public Sessions {};

// A playlist whose middle entry cannot be read would leave a hole in the copy: that is a failure.
TEST_F(ReadEnd, PlaylistWithAnEntryThatCannotBeReadFails)
{
    const std::string dir = scratch_dir();
    copy_playlist(dir);
    std::filesystem::create_directories(dir + "/folder.ts");
    std::vector<std::string> middles = {"missing.ts", "folder.ts"};
    if (make_fifo(dir + "/fifo.ts"))
        middles.push_back("fifo.ts");
    for (const std::string &middle : middles) {
        SCOPED_TRACE(middle);
        write_file(dir + "/holed.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\nseg0.ts\n#EXTINF:1.0,\n" +
                                            middle + "\n#EXTINF:1.0,\nseg1.ts\n#EXT-X-ENDLIST\n");
        const int32_t id = audioextract_start((dir + "/holed.m3u8").c_str(), (dir + "/o.mka").c_str(), -1);
        ASSERT_EQ(wait_final(id, 30s), AE_STATE_FAILED);
        EXPECT_EQ(parse(audioextract_result(id))["error"], "read failed");
        audioextract_free(id);
        EXPECT_FALSE(exists(dir + "/o.mka"));
    }
}

// The end of the data, however early, is an ending; a source that breaks off is a failure.
TEST_F(ReadEnd, CutOffDownloadFailsButATruncatedFileIsDone)
{
    const std::string dir = scratch_dir();
    const std::string body = read_file(media("ts_two.ts"));
#ifndef _WIN32  // the Windows build's FFmpeg has no network protocols
    {
        loopback_http server(loopback_http::mode::cut, body);
        const int32_t id = audioextract_start(server.url("a.ts").c_str(), (dir + "/o.mka").c_str(), -1);
        ASSERT_EQ(wait_final(id, 30s), AE_STATE_FAILED);
        EXPECT_EQ(parse(audioextract_result(id))["error"], "read failed");
        audioextract_free(id);
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{});
    }
#endif
    write_file(dir + "/half.ts", body.substr(0, body.size() / 2));
    const int32_t id = audioextract_start((dir + "/half.ts").c_str(), (dir + "/o.mka").c_str(), -1);
    ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
    EXPECT_GT(parse(audioextract_result(id))["packets_written"].get<int64_t>(), 0);
}

}  // namespace
