// Bad input of every kind through the probe and the extraction: every report parses, every session ends,
// and no file is lost. Then churn: thousands of sessions started, polled, cancelled and freed.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "session.h"
#include "session_fixture.h"
#include "support.h"

using namespace ae_test;
namespace fs = std::filesystem;

namespace {

std::string cut(const std::string &bytes, double fraction)
{
    return bytes.substr(0, static_cast<size_t>(static_cast<double>(bytes.size()) * fraction));
}

// An MP4 whose chunk offset table points far past the end of the file.
std::string corrupt_index(std::string mp4)
{
    for (const char *box : {"stco", "co64"}) {
        for (size_t at = mp4.find(box); at != std::string::npos; at = mp4.find(box, at + 4)) {
            for (size_t i = at + 12; i < at + 40 && i < mp4.size(); ++i)
                mp4[i] = '\x7f';
        }
    }
    return mp4;
}

struct bad_input {
    std::string name;  // shown on failure
    std::string in, out;
};

std::vector<bad_input> bad_inputs(const std::string &dir)
{
    const std::string mp4 = read_file(media("mp4_aac.mp4")), mkv = read_file(media("mkv_many.mkv"));
    std::string noise(65536, '\0');
    std::mt19937 rng(7);
    for (char &c : noise)
        c = static_cast<char>(rng());
    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty.mp4", ""},
        {"noise.mkv", noise},
        {"text.mp3", "This is not media. It only has an extension that says so.\n"},
        {"cut_half.mp4", cut(mp4, 0.5)},
        {"cut_head.mp4", cut(mp4, 0.02)},
        {"cut_half.mkv", cut(mkv, 0.5)},
        {"cut_head.mkv", cut(mkv, 0.01)},
        {"bad_index.mp4", corrupt_index(mp4)},
        {"quote\"back\\slash.mp4", mp4},
        {"new\nline.mp4", mp4},
        {"bytes\xff\xfe\x80.mp4", mp4},
    };
    std::vector<bad_input> cases;
    for (const auto &[name, bytes] : files) {
        write_file(dir + "/" + name, bytes);
        cases.push_back({name, dir + "/" + name, dir + "/out-" + name + ".m4a"});
    }
    fs::create_directories(dir + "/a_dir");
    cases.push_back({"directory as input", dir + "/a_dir", dir + "/o.m4a"});
    cases.push_back({"directory as output", media("mp4_aac.mp4"), dir + "/a_dir"});
    cases.push_back({"missing output directory", media("mp4_aac.mp4"), dir + "/missing/o.m4a"});
    cases.push_back({"output where nothing can be created", media("mp4_aac.mp4"), "/proc/o.m4a"});
    cases.push_back({"output with quotes and backslashes", media("mp4_aac.mp4"), dir + "/o \"x\" \\y.m4a"});
    cases.push_back({"output with a newline and non-UTF-8", media("mp4_aac.mp4"), dir + "/o\n\xff\xc3.m4a"});
    const std::string in_copy = dir + "/self.m4a";
    fs::copy_file(media("mp4_aac.mp4"), in_copy);
    symlink(in_copy.c_str(), (dir + "/link_to_self.m4a").c_str());
    cases.push_back({"output a symbolic link to the input", in_copy, dir + "/link_to_self.m4a"});
    return cases;
}

class BadInput : public Sessions {};

// Paths are bytes: one that is not UTF-8 is reported byte for byte (no JSON text could name it otherwise),
// so a strict parser needs those bytes masked; the structure around them must still be valid JSON.
json parse_bytes(const char *text)
{
    std::string masked = text;
    for (char &c : masked)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '?';
    return parse(masked.c_str());
}

TEST_F(BadInput, EveryReportParsesAndEverySessionEnds)
{
    const std::string dir = scratch_dir();
    const std::string self_before = read_file(media("mp4_aac.mp4"));
    for (const bad_input &c : bad_inputs(dir)) {
        SCOPED_TRACE(c.name);
        json p = parse_bytes(audioextract_probe(c.in.c_str()));
        EXPECT_TRUE(p.contains("ok"));
        const bool out_existed = exists(c.out);

        const int32_t id = audioextract_start(c.in.c_str(), c.out.c_str(), -1);
        ASSERT_GE(id, 0);
        const int state = wait_final(id);
        ASSERT_GE(state, AE_STATE_DONE) << "session never ended";
        parse(audioextract_progress(id));
        const std::string text = audioextract_result(id);
        json r = parse_bytes(text.c_str());
        if (state != AE_STATE_FAILED) {
            std::string shown;  // the path as the report shows it: control bytes dropped, the rest kept
            for (char ch : c.out)
                if (static_cast<unsigned char>(ch) >= 0x20)
                    shown += static_cast<unsigned char>(ch) >= 0x80 ? '?' : ch;
            EXPECT_EQ(r["out_path"], shown);
        }
        audioextract_free(id);
        if (state == AE_STATE_DONE)
            EXPECT_TRUE(exists(c.out)) << r;
        else if (!out_existed)
            EXPECT_FALSE(exists(c.out)) << r;
        else
            EXPECT_TRUE(exists(c.out)) << "a file the session did not write is kept: " << r;
    }
    EXPECT_EQ(read_file(dir + "/self.m4a"), self_before) << "the input is never written";
}

TEST_F(BadInput, OverlongPathsAreRefusedAndExactLimitAccepted)
{
    const std::string dir = scratch_dir();
    std::string at_limit = dir + "/";
    at_limit += std::string(1198 - at_limit.size(), 'x');
    EXPECT_EQ(audioextract_start(at_limit.c_str(), (dir + "/o.m4a").c_str(), -1), 0);
    EXPECT_EQ(wait_final(0), AE_STATE_FAILED);
    EXPECT_EQ(audioextract_start((at_limit + "x").c_str(), (dir + "/o.m4a").c_str(), -1), -1);
    EXPECT_EQ(audioextract_start(media("wav.wav").c_str(), (at_limit + "x").c_str(), -1), -1);
    json p = parse(audioextract_probe((at_limit + std::string(5000, 'y')).c_str()));
    EXPECT_EQ(p["ok"], false);
}

size_t count_entries(const char *dir)
{
    size_t n = 0;
    if (DIR *d = opendir(dir)) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

// Four sessions at a time on a long input, cancelled or freed at random points (fixed seed).
TEST_F(BadInput, ChurnLeavesNoThreadsFilesOrOutputsBehind)
{
    const char *env = std::getenv("AE_CHURN_CYCLES");
    const int cycles = env ? std::atoi(env) : 2000;
    const std::string dir = scratch_dir();
    const std::string in = media("long.mkv");
    // One session first, so that threads the runtime starts lazily (a sanitizer's, for one) are counted.
    ASSERT_EQ(audioextract_start(in.c_str(), (dir + "/warm.mka").c_str(), -1), 0);
    audioextract_free(0);
    const size_t threads_before = count_entries("/proc/self/task"), fds_before = count_entries("/proc/self/fd");

    std::mt19937 rng(12345);
    int ended[6] = {};
    for (int cycle = 0; cycle < cycles; cycle += AE_MAX_SESSIONS) {
        std::string outs[AE_MAX_SESSIONS];
        for (int i = 0; i < AE_MAX_SESSIONS; ++i) {
            outs[i] = dir + "/o" + std::to_string(i) + ".mka";
            ASSERT_EQ(audioextract_start(in.c_str(), outs[i].c_str(), -1), i);
        }
        const bool to_the_end = cycle % 200 == 0;  // now and then every session runs to completion
        for (int i = 0; i < AE_MAX_SESSIONS; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
            parse(audioextract_progress(i));
            if (to_the_end)
                wait_final(i);
            else if (rng() % 2)
                audioextract_cancel(i);
        }
        for (int i = 0; i < AE_MAX_SESSIONS; ++i) {
            if (rng() % 2)
                audioextract_cancel(i);
            audioextract_free(i);  // joins: returns only once the worker has ended
            const int state = g_sessions[i].state;  // the slot keeps its fields after free
            ++ended[state];
            if (state == AE_STATE_DONE) {
                ASSERT_TRUE(exists(outs[i]));
                fs::remove(outs[i]);
            } else {
                ASSERT_FALSE(exists(outs[i])) << "state " << state;
            }
        }
    }
    EXPECT_EQ(count_entries("/proc/self/task"), threads_before);
    EXPECT_EQ(count_entries("/proc/self/fd"), fds_before);
    EXPECT_EQ(ended[AE_STATE_DONE] + ended[AE_STATE_CANCELLED], (cycles + 3) / 4 * 4) << "no failures";
    std::printf("churn: %d sessions, %d done, %d cancelled\n", (cycles + 3) / 4 * 4, ended[AE_STATE_DONE],
                ended[AE_STATE_CANCELLED]);
}

}  // namespace
