// The library as a host that loads it at run time holds it: the table of its eight calls (the command-line host,
// the benchmark and the Node addon use it), and the command-line host's way of finding and loading the module.
#pragma once

#include <string>

#include "audioextract.h"

struct ae_module {
    decltype(&audioextract_probe) probe = nullptr;
    decltype(&audioextract_start) start = nullptr;
    decltype(&audioextract_status) status = nullptr;
    decltype(&audioextract_progress) progress = nullptr;
    decltype(&audioextract_result) result = nullptr;
    decltype(&audioextract_cancel) cancel = nullptr;
    decltype(&audioextract_free) free = nullptr;
    decltype(&audioextract_version) version = nullptr;
};

// Loads belmarun-audioextract.so: from $AUDIOEXTRACT_MODULE if set, else beside this program, else from the
// installed library directory, else by the loader's search path. Returns false with a reason in *error.
bool ae_module_load(ae_module *m, std::string *error);
