// Fuzz target: a whole extraction of arbitrary file contents, into a container chosen by the input's size.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "audioextract.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const exts[] = {"mka", "m4a", "ogg", "mp3", "wav", "flac", "ac3", "ts"};
    const std::string in = fuzz_write_input(data, size);
    const std::string out = fuzz_dir() + "/out." + exts[size % (sizeof exts / sizeof *exts)];
    unlink(out.c_str());

    const int32_t id = audioextract_start(in.c_str(), out.c_str(), -1);
    if (id != 0)
        std::abort();
    int state = audioextract_status(id);
    while (state < AE_STATE_DONE) {
        usleep(200);
        state = audioextract_status(id);
    }
    if (!fuzz_report_is_json(audioextract_progress(id)) || !fuzz_report_is_json(audioextract_result(id)))
        std::abort();
    audioextract_free(id);

    struct stat st {};
    const bool out_exists = stat(out.c_str(), &st) == 0;
    // A session that did not succeed leaves nothing it wrote; one that did leaves its file.
    if (out_exists != (state == AE_STATE_DONE))
        std::abort();
    return 0;
}
