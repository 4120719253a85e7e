// The output is one local file, written whole or not at all: what was at its name survives every failure
// and cancel, and nothing else is ever written.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "platform.h"
#include "session_fixture.h"
#include "support.h"

using namespace ae_test;

namespace {

class Output : public Sessions {};

int run_to_end(const std::string &in, const std::string &out, int32_t stream = -1)
{
    const int32_t id = audioextract_start(in.c_str(), out.c_str(), stream);
    if (id < 0)
        return id;
    const int state = wait_final(id);
    return state;
}

std::string error_of(int32_t id)
{
    return parse(audioextract_result(id)).value("error", "");
}

// Outputs that would be anything but one file of the muxer's own, and names that are not files.
TEST_F(Output, NamesThatAreNotOneLocalFileAreRefusedWithNothingWritten)
{
    const std::string dir = scratch_dir();
    const std::string cwd = std::filesystem::current_path().string();
    const auto cwd_before = list_dir(cwd);
    const std::pair<std::string, std::string> cases[] = {
        {dir + "/list.m3u8", "cannot create output (bad extension?)"},
        {dir + "/manifest.mpd", "cannot create output (bad extension?)"},
        {dir + "/a%04d.jpg", "cannot create output (bad extension?)"},
        {"http://127.0.0.1:9/x.mka", "cannot open output file"},
        {"pipe:1.mka", "cannot open output file"},
        {dir + "/missing-dir/o.mka", "cannot open output file"},
        {"file:" + dir + "/missing-dir/o.mka", "cannot open output file"},
    };
    for (const auto &[out, error] : cases) {
        SCOPED_TRACE(out);
        const int32_t id = audioextract_start(media("mp4_aac.mp4").c_str(), out.c_str(), -1);
        ASSERT_EQ(wait_final(id), AE_STATE_FAILED);
        EXPECT_EQ(error_of(id), error);
        audioextract_free(id);
        EXPECT_EQ(list_dir(dir), std::vector<std::string>{});
    }
    EXPECT_EQ(list_dir(cwd), cwd_before);
}

TEST_F(Output, ADirectoryOrFifoAtTheNameIsRefused)
{
    namespace fs = std::filesystem;
    const std::string dir = scratch_dir();
    std::vector<std::string> names{"d.mka"};
    ASSERT_TRUE(fs::create_directory(dir + "/d.mka"));
#ifndef _WIN32  // Windows has no FIFO that lives at a name in a directory
    ASSERT_EQ(mkfifo((dir + "/f.mka").c_str(), 0644), 0);
    names.push_back("f.mka");
#endif
    for (const std::string &name : names) {
        const int32_t id = audioextract_start(media("mp4_aac.mp4").c_str(), (dir + "/" + name).c_str(), -1);
        ASSERT_EQ(wait_final(id), AE_STATE_FAILED);
        EXPECT_EQ(error_of(id), "cannot open output file");
        audioextract_free(id);
    }
    EXPECT_TRUE(fs::is_directory(dir + "/d.mka"));
    if (names.size() > 1) {
        EXPECT_EQ(fs::status(dir + "/f.mka").type(), fs::file_type::fifo);
    }
    EXPECT_EQ(list_dir(dir), names);
}

// Writing through a symbolic link replaces its target on success, and leaves it alone on failure.
TEST_F(Output, SymbolicLinkTargetIsReplacedOnlyOnSuccess)
{
    const std::string dir = scratch_dir();
    const std::string target = dir + "/target.mka", link = dir + "/link.mka";
    write_file(target, "earlier");
    std::error_code ec;
    std::filesystem::create_symlink("target.mka", link, ec);
#ifdef _WIN32
    if (ec)
        GTEST_SKIP() << "Windows makes symbolic links only with a privilege, which Wine does not have: " << ec.message();
#endif
    ASSERT_FALSE(ec) << ec.message();

    const int32_t bad = audioextract_start(media("video_only.mp4").c_str(), link.c_str(), -1);
    ASSERT_EQ(wait_final(bad), AE_STATE_FAILED);
    audioextract_free(bad);
    EXPECT_EQ(read_file(target), "earlier");

    const int32_t id = audioextract_start(media("mkv_many.mkv").c_str(), link.c_str(), 3);
    ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
    EXPECT_TRUE(std::filesystem::is_symlink(link)) << "the link itself stays";
    EXPECT_EQ(probe_packets(target, 0).size(), probe_packets(media("mkv_many.mkv"), 3).size());
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"link.mka", "target.mka"}));
}

// Two sessions on one name each finish a whole file; the last to finish names it; neither deletes the other's.
TEST_F(Output, TwoSessionsOnOneNameEachWriteAWholeFile)
{
    const std::string dir = scratch_dir(), out = dir + "/o.mka";
    const int32_t a = audioextract_start(media("long.mkv").c_str(), out.c_str(), -1);
    const int32_t b = audioextract_start(media("long.mkv").c_str(), out.c_str(), -1);
    ASSERT_EQ(wait_final(a), AE_STATE_DONE);
    ASSERT_EQ(wait_final(b), AE_STATE_DONE);
    EXPECT_EQ(probe_packets(out, 0).size(), probe_packets(media("long.mkv"), 0).size());
    EXPECT_EQ(parse(audioextract_result(a))["out_size_bytes"], static_cast<int64_t>(std::filesystem::file_size(out)));
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"o.mka"});
}

// Replacing a file keeps who may read it: the new file takes the old one's permission bits and, for a
// privileged host, its owner and group. The name gets a new file: another hard link keeps the old content.
TEST_F(Output, ReplacementKeepsPermissionsAndOwner)
{
    const std::string dir = scratch_dir(), out = dir + "/o.mka", link = dir + "/other-link.mka";
    write_file(out, "earlier");
    if (!access_of(out))
        GTEST_SKIP() << "this platform keeps no permission bits per file";
    const bool root = access_of(out)->uid == 0;
    const file_access before{0640, root ? 1234u : access_of(out)->uid, root ? 2345u : access_of(out)->gid};
    set_access(out, before);
    std::error_code ec;
    std::filesystem::create_hard_link(out, link, ec);
    ASSERT_FALSE(ec) << ec.message();

    ASSERT_EQ(run_to_end(media("mkv_many.mkv"), out, 3), AE_STATE_DONE);
    EXPECT_EQ(access_of(out), before);
    EXPECT_GT(std::filesystem::file_size(out), 1000u);
    EXPECT_EQ(read_file(link), "earlier");
}

// In a sticky directory (/tmp) a file of another user cannot be replaced: that shows before anything is
// copied, and what is there stays.
TEST_F(Output, ReplacementARenameWouldRefuseFailsBeforeCopying)
{
    // Under the system's temporary folder, which every user can reach whoever owns the build tree.
    const std::string dir = (std::filesystem::temp_directory_path() / "ae-sticky-test").string();
    const std::string out = dir + "/o.mka", in = dir + "/in.mkv";
    remove_tree(dir);
    std::filesystem::create_directories(dir);
    write_file(out, "earlier");
    if (!access_of(out))
        GTEST_SKIP() << "this platform keeps no permission bits per file";
    write_file(in, read_file(media("long.mkv")));
    set_access(in, file_access{0644, 0, 0});
    set_access(dir, file_access{01777, 0, 0});
    set_access(out, file_access{0666, 1234, 1234});
    const auto result = run_unprivileged([&] {
        const int32_t id = audioextract_start(in.c_str(), out.c_str(), -1);
        if (wait_final(id) != AE_STATE_FAILED)
            return 1;
        if (error_of(id) != "cannot open output file" || parse(audioextract_progress(id))["packets"] != 0)
            return 2;
        audioextract_free(id);
        return 0;
    });
    if (!result)
        GTEST_SKIP() << "needs root, to act as another user";
    EXPECT_EQ(*result, 0) << "1: the session did not fail, 2: it failed late or with another text";
    EXPECT_EQ(read_file(out), "earlier");
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"in.mkv", "o.mka"}));
    remove_tree(dir);
}

// Pairs that look unusual but play: the read-back check lets them through, and a decoder hears them.
TEST_F(Output, UnusualPairsThatPlayAreKept)
{
    const std::string dir = scratch_dir();
    const std::pair<const char *, const char *> cases[] = {
        {"adts.aac", "o.mka"}, {"flac.flac", "o.avi"}, {"mp4_aac.mp4", "o.mka"}, {"vorbis.ogg", "o.mka"},
        {"ts_two.ts", "o.mp2"},
    };
    for (const auto &[in, out] : cases) {
        SCOPED_TRACE(std::string(in) + " -> " + out);
        const int32_t id = audioextract_start(media(in).c_str(), (dir + "/" + out).c_str(), -1);
        ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
        audioextract_free(id);
        EXPECT_GT(decoded_samples(dir + "/" + out, 0), 0);
    }
}

// A killed host leaves its temporary file; the next output written into the folder removes what this
// machine's ended processes left, and nothing else: not a running process's file, not another machine's.
TEST_F(Output, LeftoversOfEndedProcessesAreRemoved)
{
    const std::string dir = scratch_dir(), host = ae_host_name();
    const std::string dead = "4194305";  // above Linux's largest process id, and odd (never a Windows one)
    const std::string gone = ".audioextract-" + host + "-" + dead + "-00000000000000aa.part";
    const std::vector<std::string> kept = {
        ".audioextract-" + host + "-" + std::to_string(ae_process_id()) + "-00000000000000bb.part",
        ".audioextract-other-machine-" + dead + "-00000000000000cc.part",
        ".audioextract-notes.txt",
    };
    write_file(dir + "/" + gone, "partial");
    for (const std::string &name : kept)
        write_file(dir + "/" + name, "partial");

    ASSERT_EQ(run_to_end(media("wav.wav"), dir + "/o.mka"), AE_STATE_DONE);
    std::vector<std::string> want = kept;
    want.push_back("o.mka");
    std::sort(want.begin(), want.end());
    EXPECT_EQ(list_dir(dir), want);
}

// Renames onto one name, many at once and over and over: each session still ends done and the name holds
// one whole file. (Windows refuses a rename while another is in progress on the same name: the library
// tries again for a moment.)
TEST_F(Output, ManySessionsOnOneNameAllFinish)
{
    const std::string dir = scratch_dir(), out = dir + "/o.mka", in = media("wav.wav");
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        int32_t ids[AE_MAX_SESSIONS];
        for (int32_t &id : ids)
            ASSERT_GE(id = audioextract_start(in.c_str(), out.c_str(), -1), 0);
        for (const int32_t id : ids) {
            EXPECT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
            audioextract_free(id);
        }
    }
    EXPECT_EQ(probe_packets(out, 0).size(), probe_packets(in, 0).size());
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"o.mka"});
}

// Containers that cannot hold the codec fail at the header, on every FFmpeg generation, leaving nothing.
TEST_F(Output, CodecTheContainerCannotHoldIsRefused)
{
    const std::string dir = scratch_dir();
    const std::pair<const char *, const char *> cases[] = {
        {"adts.aac", "o.ac3"}, {"flac.flac", "o.ac3"}, {"flac.flac", "o.mp2"}, {"mp4_aac.mp4", "o.wav"},
        {"vorbis.ogg", "o.mp3"},
        // Containers that take the packets but keep them where no reader finds or decodes them: the finished
        // file is read back before it takes its name.
        {"flac.flac", "o.ts"}, {"wav.wav", "o.ts"}, {"vorbis.ogg", "o.ts"}, {"mov_pcm.mov", "o.ts"},
        {"mp4_aac.mp4", "o.w64"},
    };
    for (const auto &[in, out] : cases) {
        SCOPED_TRACE(std::string(in) + " -> " + out);
        write_file(dir + "/" + out, "earlier");
        const int32_t id = audioextract_start(media(in).c_str(), (dir + "/" + out).c_str(), -1);
        ASSERT_EQ(wait_final(id), AE_STATE_FAILED);
        EXPECT_EQ(error_of(id), "write header failed (codec/container mismatch?)");
        audioextract_free(id);
        EXPECT_EQ(read_file(dir + "/" + out), "earlier");
        EXPECT_EQ(temp_output_in(dir), "");
    }
    // What each of those containers is for still goes in.
    EXPECT_EQ(run_to_end(media("mkv_many.mkv"), dir + "/ok.ac3", 4), AE_STATE_DONE);
    EXPECT_EQ(run_to_end(media("ts_two.ts"), dir + "/ok.mp2", 1), AE_STATE_DONE);
    EXPECT_EQ(run_to_end(media("adts.aac"), dir + "/ok.m4a"), AE_STATE_DONE);
}

// A WAV keeps room for the 64-bit sizes of RF64, so one that outgrows 4 GiB does not wrap its sizes.
TEST_F(Output, WavIsWrittenSoItCanOutgrowFourGigabytes)
{
    const std::string out = scratch_dir() + "/o.wav";
    ASSERT_EQ(run_to_end(media("wav.wav"), out), AE_STATE_DONE);
    const std::string bytes = read_file(out);
    ASSERT_GT(bytes.size(), 16u);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    // The 28-byte reservation that becomes the ds64 chunk (FFmpeg 5.1 puts it before "fmt ", 9 after).
    const size_t junk = bytes.find(std::string("JUNK\x1c\0\0\0", 8)), data = bytes.find("data");
    EXPECT_NE(junk, std::string::npos);
    EXPECT_LT(junk, data);
    EXPECT_EQ(probe_packets(out, 0).size(), probe_packets(media("wav.wav"), 0).size());
}

std::string le(uint64_t v, int bytes)
{
    std::string s;
    for (int i = 0; i < bytes; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xff);
    return s;
}

// An output past 2 GiB, where 32-bit sizes and offsets would turn negative: its header's sizes, the
// reported size and the file's agree.
TEST_F(Output, SizesPastTwoGigabytesStayWhole)
{
    namespace fs = std::filesystem;
    const std::string dir = scratch_dir(), in = dir + "/in.wav", out = dir + "/o.wav";
    // The input is sparse: a WAV header over 2.25 GiB of silence that takes no room on the disk.
    const uint64_t data_size = 0x90000000u;
    const std::string header = "RIFF" + le(36 + data_size, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(2, 2) +
                               le(48000, 4) + le(192000, 4) + le(4, 2) + le(16, 2) + "data" + le(data_size, 4);
    write_file(in, header);
    fs::resize_file(os_path(in), header.size() + data_size);

    const int32_t id = audioextract_start(in.c_str(), out.c_str(), -1);
    ASSERT_EQ(wait_final(id, std::chrono::minutes(5)), AE_STATE_DONE) << audioextract_result(id);
    const json r = parse(audioextract_result(id));
    const uint64_t size = fs::file_size(os_path(out));
    EXPECT_GT(size, data_size);
    EXPECT_EQ(r["out_size_bytes"].get<uint64_t>(), size);
    EXPECT_NEAR(parse(audioextract_progress(id))["processed_ms"].get<double>(), data_size * 1000.0 / 192000, 100);

    std::string head(4096, '\0');
    std::ifstream(os_path(out), std::ios::binary).read(head.data(), static_cast<std::streamsize>(head.size()));
    EXPECT_EQ(head.substr(0, 4), "RIFF");
    EXPECT_EQ(head.substr(4, 4), le(size - 8, 4)) << "the RIFF size, written once the data's end is known";
    const size_t data = head.find("data");
    ASSERT_NE(data, std::string::npos);
    EXPECT_EQ(head.substr(data + 4, 4), le(data_size, 4));
    EXPECT_EQ(size, data + 8 + data_size);
    fs::remove(os_path(out));
    fs::remove(os_path(in));
}

}  // namespace
