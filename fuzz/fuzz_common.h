// Shared by the fuzz targets: the input bytes go to a file of this process's own, since the library takes paths.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

inline std::string fuzz_dir()
{
    static const std::string dir = [] {
        char tmpl[] = "/tmp/ae-fuzz-XXXXXX";
        const char *d = mkdtemp(tmpl);
        if (!d)
            std::abort();
        return std::string(d);
    }();
    return dir;
}

inline std::string fuzz_write_input(const uint8_t *data, size_t size)
{
    const std::string path = fuzz_dir() + "/input";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size && std::fwrite(data, 1, size, f) != size)
        std::abort();
    std::fclose(f);
    return path;
}

// The report must be one valid JSON object. Bytes above 0x7F are masked: a path or a tag from the file
// that is not UTF-8 is reported byte for byte.
bool fuzz_report_is_json(const char *text);
