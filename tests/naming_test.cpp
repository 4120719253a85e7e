// The output names the command-line host chooses, from the table the Python package's tests read too.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "host_os.h"
#include "naming.h"

using json = nlohmann::json;

namespace {

json load_cases()
{
    std::ifstream in(AE_NAMING_CASES);
    return json::parse(in)["cases"];
}

class Naming : public ::testing::TestWithParam<json> {};

TEST_P(Naming, FollowsTheSharedTable)
{
    const json &c = GetParam();
    static int next = 0;  // the names are relative: each case runs in a folder of its own
    const std::filesystem::path scratch = std::filesystem::temp_directory_path() /
                                          ("ae-naming-" + std::to_string(getpid()) + "-" + std::to_string(next++));
    std::filesystem::create_directories(scratch);
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(scratch);
    for (const json &f : c.value("files", json::array()))
        std::ofstream(host_path(f.get<std::string>())).put('\0');
    json report = {{"audio_streams", json::array()}};
    for (const json &a : c["audio"])
        report["audio_streams"].push_back({{"index", a[0]}, {"suggested_ext", a[1]}, {"language", a[2]}});
    const json *chosen = pick_audio_stream(report, c["stream"].get<int>());
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(default_output(c["input"], report, *chosen, c["dir"]), c["default"].get<std::string>());
    EXPECT_EQ(numbered_output(c["input"], *chosen, c["dir"]), c["numbered"].get<std::string>());
    std::filesystem::current_path(before);
    std::filesystem::remove_all(scratch);
}

INSTANTIATE_TEST_SUITE_P(Cases, Naming, ::testing::ValuesIn(load_cases()), [](const auto &p) {
    std::string name;
    for (char ch : p.param["why"].template get<std::string>())
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
});

}  // namespace
