#include "module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace {

std::string self_dir()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    std::string p(buf, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

template <class F>
bool resolve(void *lib, const char *name, F *fn, std::string *error)
{
    *fn = reinterpret_cast<F>(dlsym(lib, name));
    if (!*fn)
        *error = std::string("module lacks ") + name;
    return *fn != nullptr;
}

}  // namespace

bool ae_module_load(ae_module *m, std::string *error)
{
    const char *file = "belmarun-audioextract.so";
    std::vector<std::string> candidates;
    if (const char *env = std::getenv("AUDIOEXTRACT_MODULE"))
        candidates.push_back(env);
    const std::string dir = self_dir();
    candidates.push_back(dir + "/" + file);
    candidates.push_back(dir + "/../" AE_INSTALL_LIBDIR "/" + file);
    candidates.push_back(file);

    void *lib = nullptr;
    for (const std::string &c : candidates)
        if ((lib = dlopen(c.c_str(), RTLD_LAZY | RTLD_LOCAL)))
            break;
    if (!lib) {
        *error = std::string("cannot load ") + file + ": " + dlerror();
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
