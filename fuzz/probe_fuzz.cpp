// Fuzz target: the probe on arbitrary file contents.
#include <cstdlib>

#include "audioextract.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string path = fuzz_write_input(data, size);
    const char *report = audioextract_probe(path.c_str());
    if (!report || !fuzz_report_is_json(report))
        std::abort();
    return 0;
}
