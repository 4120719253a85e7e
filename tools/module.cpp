#include "module.h"

#include <cstdlib>
#include <vector>

#include "host_os.h"

namespace {

template <class F>
bool resolve(void *lib, const char *name, F *fn, std::string *error)
{
    *fn = reinterpret_cast<F>(host_symbol(lib, name));
    if (!*fn)
        *error = std::string("module lacks ") + name;
    return *fn != nullptr;
}

}  // namespace

bool ae_module_load(ae_module *m, std::string *error)
{
    std::vector<std::string> candidates;
    if (const char *env = std::getenv("AUDIOEXTRACT_MODULE"))
        candidates.push_back(env);
    for (const std::string &place : host_module_places())
        candidates.push_back(place);

    void *lib = nullptr;
    std::string reason;
    for (const std::string &c : candidates)
        if ((lib = host_load(c, &reason)))
            break;
    if (!lib) {
        *error = std::string("cannot load ") + kModuleFile + ": " + reason;
        return false;
    }
    return resolve(lib, "audioextract_probe", &m->probe, error) &&
           resolve(lib, "audioextract_start", &m->start, error) &&
           resolve(lib, "audioextract_status", &m->status, error) &&
           resolve(lib, "audioextract_progress", &m->progress, error) &&
           resolve(lib, "audioextract_result", &m->result, error) &&
           resolve(lib, "audioextract_cancel", &m->cancel, error) &&
           resolve(lib, "audioextract_free", &m->free, error) &&
           resolve(lib, "audioextract_version", &m->version, error);
}
