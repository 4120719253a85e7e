// Runs extractions through the library, up to its four sessions at once, showing progress as it goes.
#pragma once

#include <string>
#include <vector>

#include "module.h"

struct host_job {
    std::string input, output;
    int stream;
};

struct ae_run_options {
    std::string progress = "none";  // bar, plain or none
    bool json = false;              // print the library's result reports instead of summaries
};

constexpr int kExitCancelled = 130;  // as a shell reports a program stopped by Ctrl-C

// Returns 0 when every job is done, 1 if any failed, kExitCancelled after Ctrl-C (every session is
// cancelled and freed first, so no partial output remains).
int run_jobs(const ae_module &lib, const std::vector<host_job> &jobs, const ae_run_options &opt);
