#include "fuzz_common.h"

#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/mem.h>
}

// The fuzz targets are hosts of untrusted input: they bound FFmpeg's allocations as the header asks such a
// host to (libFuzzer reports any single allocation past its malloc limit, so a bound that regresses shows).
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    av_max_alloc(size_t{64} << 20);
    return 0;
}

bool fuzz_report_is_json(const char *text)
{
    std::string masked = text;
    for (char &c : masked)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '?';
    return nlohmann::json::accept(masked) && masked.front() == '{';
}
