// Paths as hosts hand them over: UTF-8 names that are not ASCII, Windows' backslashes, and paths past
// Windows' classic limit of 260 characters. Each is probed, extracted, and guarded as the input it is.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "session_fixture.h"
#include "support.h"

using namespace ae_test;
namespace fs = std::filesystem;

namespace {

struct path_case {
    const char *name;
    std::string sub, in, out;  // a folder under the test's own, and file names in it
};

std::vector<path_case> path_cases()
{
    std::string deep;
    for (char c : {'a', 'b', 'c'})
        deep += std::string(90, c) + "/";
    std::vector<path_case> cases{
        {"NotAscii", "Bücher – Hörspiel/", "ü.mp4", "Ausgabe ß.mka"},
        {"PastTheClassicLimit", deep, "in.mp4", "o.mka"},
    };
#ifdef _WIN32
    cases.push_back({"Backslashes", "sub\\", "in.mp4", "o.mka"});
#endif
    return cases;
}

class Paths : public Sessions {};

TEST_F(Paths, ProbeExtractAndTheSameFileGuardTakeEveryForm)
{
    for (const path_case &c : path_cases()) {
        SCOPED_TRACE(c.name);
        const std::string dir = scratch_dir() + "/" + c.sub, in = dir + c.in, out = dir + c.out;
        ASSERT_TRUE(fs::create_directories(os_path(dir)));
        fs::copy_file(os_path(media("mp4_aac.mp4")), os_path(in));
        if (c.sub.size() > 260)
            ASSERT_GT(in.size(), 300u);

        json p = parse(audioextract_probe(in.c_str()));
        ASSERT_EQ(p["ok"], true) << p;
        EXPECT_EQ(p["streams"].size(), 2u);

        const int32_t id = audioextract_start(in.c_str(), out.c_str(), -1);
        ASSERT_EQ(wait_final(id), AE_STATE_DONE) << audioextract_result(id);
        json r = parse(audioextract_result(id));
        EXPECT_EQ(r["out_size_bytes"].get<uintmax_t>(), fs::file_size(os_path(out)));
        audioextract_free(id);
        EXPECT_EQ(probe_packets(out, 0).size(), probe_packets(media("mp4_aac.mp4"), 1).size());

        // The input under another spelling of its name is still the input.
        const std::string before = read_file(in);
        const int32_t same = audioextract_start(in.c_str(), (dir + "./" + c.in).c_str(), -1);
        ASSERT_EQ(wait_final(same), AE_STATE_FAILED);
        EXPECT_EQ(parse(audioextract_result(same))["error"], "cannot open output file");
        audioextract_free(same);
        EXPECT_EQ(read_file(in), before);
        std::vector<std::string> names{c.in, c.out};
        std::sort(names.begin(), names.end());
        EXPECT_EQ(list_dir(dir), names);
    }
}

}  // namespace
