// The library module as the addon loads it: at run time, from the path the package gives, like any host.
#pragma once

#include <string>

#include "audioextract.h"

struct ae_calls {
    decltype(&audioextract_probe) probe = nullptr;
    decltype(&audioextract_start) start = nullptr;
    decltype(&audioextract_status) status = nullptr;
    decltype(&audioextract_progress) progress = nullptr;
    decltype(&audioextract_result) result = nullptr;
    decltype(&audioextract_cancel) cancel = nullptr;
    decltype(&audioextract_free) free = nullptr;
    decltype(&audioextract_version) version = nullptr;
};

// Loads the module at path (UTF-8) once per process and resolves its calls; a second load returns the
// first one's calls whatever the path. When the module loads, FFmpeg's largest single allocation is
// bounded to max_alloc bytes (inputs are untrusted) and its log is silenced. Returns nullptr with a reason
// in *error.
const ae_calls *ae_library_load(const std::string &path, size_t max_alloc, std::string *error);

// FFmpeg's log level (its numbers: -8 quiet ... 56 trace); false when the module's FFmpeg is not reachable.
bool ae_library_log_level(int level);
// FFmpeg's largest single allocation, process-wide.
bool ae_library_max_alloc(size_t bytes);
