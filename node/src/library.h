// The library module as the addon loads it: at run time, from the path the package gives, like any host.
#pragma once

#include <string>

#include "module.h"  // the table of the library's calls, as the command-line host has it

using ae_calls = ae_module;

// Loads the module at path (UTF-8) once per process and resolves its calls; a second load returns the
// first one's calls whatever the path. When the module loads, FFmpeg's largest single allocation is
// bounded to max_alloc bytes (inputs are untrusted) and its log is silenced. Returns nullptr with a reason
// in *error.
const ae_calls *ae_library_load(const std::string &path, size_t max_alloc, std::string *error);

// FFmpeg's log level (its numbers: -8 quiet ... 56 trace); false when the module's FFmpeg is not reachable.
bool ae_library_log_level(int level);
// FFmpeg's largest single allocation, process-wide.
bool ae_library_max_alloc(size_t bytes);
