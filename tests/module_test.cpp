// The built module as a host sees it: loaded at run time, the eight calls found by their plain names,
// and nothing else exported.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstdio>
#include <set>
#include <string>

#include "audioextract.h"

namespace {

const char *const kCalls[] = {"audioextract_probe",    "audioextract_start",  "audioextract_status",
                              "audioextract_progress", "audioextract_result", "audioextract_cancel",
                              "audioextract_free",     "audioextract_version"};

TEST(Module, LoadsAndResolvesTheEightCalls)
{
    // NODELETE keeps the module's FFmpeg dependencies mapped after dlclose: unmapped, their one-time global
    // tables would look leaked to LeakSanitizer, with no symbols left to tell whose they were.
    void *lib = dlopen(AE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char *name : kCalls)
        EXPECT_NE(dlsym(lib, name), nullptr) << name;

    auto version = reinterpret_cast<decltype(&audioextract_version)>(dlsym(lib, "audioextract_version"));
    EXPECT_EQ(std::string(version()).rfind(AE_EXPECTED_VERSION " (libavformat ", 0), 0u);

    // One extraction through the loaded module, end to end.
    auto start = reinterpret_cast<decltype(&audioextract_start)>(dlsym(lib, "audioextract_start"));
    auto status = reinterpret_cast<decltype(&audioextract_status)>(dlsym(lib, "audioextract_status"));
    auto free_ = reinterpret_cast<decltype(&audioextract_free)>(dlsym(lib, "audioextract_free"));
    const char *media = std::getenv("AE_MEDIA_DIR");
    ASSERT_NE(media, nullptr);
    const std::string in = std::string(media) + "/wav.wav", out = "module_test_out.wav";
    const int32_t id = start(in.c_str(), out.c_str(), -1);
    ASSERT_EQ(id, 0);
    int st = status(id);
    for (int i = 0; i < 30000 && st < AE_STATE_DONE; ++i, st = status(id))
        usleep(1000);
    EXPECT_EQ(st, AE_STATE_DONE);
    free_(id);
    std::remove(out.c_str());
    EXPECT_EQ(dlclose(lib), 0);
}

TEST(Module, ExportsNothingButTheEightCalls)
{
    FILE *p = popen("nm -D --defined-only '" AE_MODULE_PATH "'", "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        char addr[64], type[8], name[400];
        if (sscanf(line, "%63s %7s %399s", addr, type, name) == 3)
            exported.insert(name);
    }
    ASSERT_EQ(pclose(p), 0);
    EXPECT_EQ(exported, std::set<std::string>(std::begin(kCalls), std::end(kCalls)));
}

}  // namespace
