// Bad input of every kind through the probe and the extraction: every report parses, every session ends,
// and no file is lost. Then churn: thousands of sessions started, polled, cancelled and freed.
#include <filesystem>
#include <functional>
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
    std::string in, out;
};

// One case of the table: its name, and how it makes its input and names its output in a fresh directory.
struct bad_input_case {
    const char *name;
    std::function<bad_input(const std::string &dir)> make;
    friend void PrintTo(const bad_input_case &c, std::ostream *os) { *os << c.name; }
};

std::string noise()
{
    std::string bytes(65536, '\0');
    std::mt19937 rng(7);
    for (char &c : bytes)
        c = static_cast<char>(rng());
    return bytes;
}

// An input file made from bytes, extracted next to itself.
bad_input_case file_case(const char *name, const char *file, std::function<std::string()> bytes)
{
    return {name, [file, bytes](const std::string &dir) {
                write_file(dir + "/" + file, bytes());
                return bad_input{dir + "/" + file, dir + "/out-" + file + ".m4a"};
            }};
}

// The good input into an output path of the given shape.
bad_input_case output_case(const char *name, std::function<std::string(const std::string &dir)> out)
{
    return {name, [out](const std::string &dir) { return bad_input{media("mp4_aac.mp4"), out(dir)}; }};
}

const std::vector<bad_input_case> kBadInputs = {
    file_case("Empty", "empty.mp4", [] { return std::string(); }),
    file_case("Noise", "noise.mkv", noise),
    file_case("Text", "text.mp3", [] { return std::string("This is not media. It only has an extension that says so.\n"); }),
    file_case("Mp4CutInHalf", "cut_half.mp4", [] { return cut(read_file(media("mp4_aac.mp4")), 0.5); }),
    file_case("Mp4HeadOnly", "cut_head.mp4", [] { return cut(read_file(media("mp4_aac.mp4")), 0.02); }),
    file_case("MkvCutInHalf", "cut_half.mkv", [] { return cut(read_file(media("mkv_many.mkv")), 0.5); }),
    file_case("MkvHeadOnly", "cut_head.mkv", [] { return cut(read_file(media("mkv_many.mkv")), 0.01); }),
    file_case("Mp4IndexPastTheEnd", "bad_index.mp4", [] { return corrupt_index(read_file(media("mp4_aac.mp4"))); }),
    file_case("InputNameWithQuotes", "quote\"back\\slash.mp4", [] { return read_file(media("mp4_aac.mp4")); }),
    file_case("InputNameWithNewline", "new\nline.mp4", [] { return read_file(media("mp4_aac.mp4")); }),
    file_case("InputNameNotUtf8", "bytes\xff\xfe\x80.mp4", [] { return read_file(media("mp4_aac.mp4")); }),
    {"DirectoryAsInput",
     [](const std::string &dir) {
         fs::create_directories(dir + "/a_dir");
         return bad_input{dir + "/a_dir", dir + "/o.m4a"};
     }},
    output_case("DirectoryAsOutput",
                [](const std::string &dir) {
                    fs::create_directories(dir + "/a_dir");
                    return dir + "/a_dir";
                }),
    output_case("MissingOutputDirectory", [](const std::string &dir) { return dir + "/missing/o.m4a"; }),
    output_case("OutputWhereNothingCanBeCreated", [](const std::string &) { return std::string("/proc/o.m4a"); }),
    output_case("OutputWithQuotes", [](const std::string &dir) { return dir + "/o \"x\" \\y.m4a"; }),
    output_case("OutputWithNewlineAndNonUtf8", [](const std::string &dir) { return dir + "/o\n\xff\xc3.m4a"; }),
    {"OutputALinkToTheInput",
     [](const std::string &dir) {
         fs::copy_file(media("mp4_aac.mp4"), dir + "/self.m4a");
         std::error_code ec;  // where no link can be made (Windows without the privilege), a new name
         fs::create_symlink(dir + "/self.m4a", dir + "/link_to_self.m4a", ec);
         return bad_input{dir + "/self.m4a", dir + "/link_to_self.m4a"};
     }},
};

class BadInput : public Sessions, public ::testing::WithParamInterface<bad_input_case> {};

// Paths are bytes: one that is not UTF-8 is reported byte for byte (no JSON text could name it otherwise),
// so reports are read with those bytes masked.
TEST_P(BadInput, EveryReportParsesTheSessionEndsAndNoFileIsLost)
{
    const std::string dir = scratch_dir();
    const bad_input c = GetParam().make(dir);
    const std::string in_before = read_file(c.in);
    json p = parse_masked(audioextract_probe(c.in.c_str()));
    EXPECT_TRUE(p.contains("ok"));
    const bool out_existed = exists(c.out);

    const int32_t id = audioextract_start(c.in.c_str(), c.out.c_str(), -1);
    ASSERT_GE(id, 0);
    const int state = wait_final(id);
    ASSERT_GE(state, AE_STATE_DONE) << "session never ended";
    parse(audioextract_progress(id));
    const std::string text = audioextract_result(id);
    json r = parse_masked(text.c_str());
    if (state != AE_STATE_FAILED) {
        std::string shown;  // the path as the report gives it back: every byte, those above ASCII masked
        for (char ch : c.out)
            shown += static_cast<unsigned char>(ch) >= 0x80 ? '?' : ch;
        EXPECT_EQ(r["out_path"], shown);
    }
    audioextract_free(id);
    if (state == AE_STATE_DONE)
        EXPECT_TRUE(exists(c.out)) << r;
    else
        EXPECT_EQ(exists(c.out), out_existed) << "a failed session leaves the output's name as it was: " << r;
    EXPECT_EQ(read_file(c.in), in_before) << "the input is never written";
    EXPECT_EQ(temp_output_in(dir), "");
}

INSTANTIATE_TEST_SUITE_P(Table, BadInput, ::testing::ValuesIn(kBadInputs),
                         [](const auto &info) { return std::string(info.param.name); });

class Limits : public Sessions {};

// Four sessions at a time on a long input, cancelled or freed at random points (fixed seed).
TEST_F(Limits, ChurnLeavesNoThreadsFilesOrOutputsBehind)
{
    const char *env = std::getenv("AE_CHURN_CYCLES");
    const int cycles = env ? std::atoi(env) : 2000;
    const std::string dir = scratch_dir();
    const std::string in = media("long.mkv");
    // One session first, so that threads the runtime starts lazily (a sanitizer's, for one) are counted.
    ASSERT_EQ(audioextract_start(in.c_str(), (dir + "/warm.mka").c_str(), -1), 0);
    audioextract_free(0);
    const size_t threads_before = count_threads(), fds_before = count_open_files();

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
    EXPECT_EQ(count_threads(), threads_before);
    EXPECT_EQ(count_open_files(), fds_before);
    EXPECT_EQ(ended[AE_STATE_DONE] + ended[AE_STATE_CANCELLED], (cycles + 3) / 4 * 4) << "no failures";
    std::printf("churn: %d sessions, %d done, %d cancelled\n", (cycles + 3) / 4 * 4, ended[AE_STATE_DONE],
                ended[AE_STATE_CANCELLED]);
}

}  // namespace
