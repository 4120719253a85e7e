// The temporary file an output is written to before it takes its name, and what a killed host left.
//
// A temporary file is named ".audioextract-HOST-PID-NUMBER.part" beside the output. A process that is
// killed leaves its temporary files behind; the next output written into a folder removes those that
// this machine's processes left and whose process is gone. A file left by another machine (a folder
// shared by a cluster) is never touched: only that machine can tell whether its writer still runs.
#pragma once

#include <cstddef>

// Writes a new temporary name for an output whose folder is the first dir_len bytes of path into out.
// False when it does not fit.
bool ae_temp_name(char *out, size_t cap, const char *path, size_t dir_len);

// Removes what this machine's ended processes left in the folder (the first dir_len bytes of path).
void ae_remove_leftovers(const char *path, size_t dir_len);
