// In-process measurements for the benchmark driver, through the loaded module as a host would use it.
//   ae_bench probe N FILE             prints the mean microseconds of one audioextract_probe call
//   ae_bench sessions OUTDIR FILE...  extracts the first audio stream of each file, all at once (at most four)
//   ae_bench serial OUTDIR FILE...    the same, one after another
// Both extraction modes print the wall-clock milliseconds they took.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "module.h"

namespace {

using clock_type = std::chrono::steady_clock;

ae_module lib;

void wait_all(const std::vector<int32_t> &ids)
{
    for (int32_t id : ids) {
        while (lib.status(id) < AE_STATE_DONE)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (lib.status(id) != AE_STATE_DONE) {
            std::fprintf(stderr, "ae_bench: %s\n", lib.result(id));
            std::exit(1);
        }
        lib.free(id);
    }
}

int32_t start(const std::string &in, const std::string &dir, size_t n)
{
    const std::string out = dir + "/bench" + std::to_string(n) + ".mka";
    const int32_t id = lib.start(in.c_str(), out.c_str(), -1);
    if (id < 0) {
        std::fprintf(stderr, "ae_bench: start failed (%d)\n", id);
        std::exit(1);
    }
    return id;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string error;
    if (argc < 4 || !ae_module_load(&lib, &error)) {
        std::fprintf(stderr, "usage: ae_bench probe N FILE | sessions|serial OUTDIR FILE...\n%s\n", error.c_str());
        return 2;
    }
    const std::string mode = argv[1];
    const auto t0 = clock_type::now();
    if (mode == "probe") {
        const int n = std::atoi(argv[2]);
        for (int i = 0; i < n; ++i)
            if (std::strncmp(lib.probe(argv[3]), "{\"ok\":true", 10) != 0)
                return 1;
        const double us = std::chrono::duration<double, std::micro>(clock_type::now() - t0).count() / n;
        std::printf("%.1f\n", us);
        return 0;
    }
    const std::string dir = argv[2];
    std::vector<std::string> files(argv + 3, argv + argc);
    if (mode == "sessions") {
        std::vector<int32_t> ids;
        for (size_t i = 0; i < files.size(); ++i)
            ids.push_back(start(files[i], dir, i));
        wait_all(ids);
    } else {
        for (size_t i = 0; i < files.size(); ++i)
            wait_all({start(files[i], dir, i)});
    }
    std::printf("%.1f\n", std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
    return 0;
}
