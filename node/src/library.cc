#include "library.h"
#include "utf8_wide.h"

#include <cstdlib>
#include <mutex>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#  if defined(__GLIBC__)
#    include <malloc.h>
#  endif
#endif

namespace {

using set_size_fn = void (*)(size_t);
using set_int_fn = void (*)(int);

std::mutex load_lock;
ae_calls calls;
bool loaded = false;
set_size_fn av_max_alloc = nullptr;
set_int_fn av_log_set_level = nullptr;

#if defined(_WIN32)
void *open_module(const std::string &path, std::string *error)
{
    std::wstring w = ae_utf8_to_wide(path);
    // The module's own folder is searched for its FFmpeg libraries, not the process's current one.
    HMODULE m = w.empty() ? nullptr : LoadLibraryExW(w.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!m)
        *error = "LoadLibrary failed with error " + std::to_string(GetLastError());
    return reinterpret_cast<void *>(m);
}

void *symbol(void *module, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

// On Windows a module's imports are not searched by GetProcAddress: libavutil is found as the DLL the module
// loaded beside itself.
void *avutil_symbol(void *, const char *name)
{
    for (int major = 56; major <= 70; ++major) {
        std::wstring dll = L"avutil-" + std::to_wstring(major) + L".dll";
        if (HMODULE m = GetModuleHandleW(dll.c_str()))
            return reinterpret_cast<void *>(GetProcAddress(m, name));
    }
    return nullptr;
}

void tune_malloc() {}
#else
void *open_module(const std::string &path, std::string *error)
{
    void *m = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m)
        *error = dlerror();
    return m;
}

void *symbol(void *module, const char *name) { return dlsym(module, name); }

// dlsym on the module's handle searches the libraries it depends on: its libavutil, whichever that is.
void *avutil_symbol(void *module, const char *name) { return dlsym(module, name); }

// glibc hands FFmpeg's decoder contexts (a few hundred KiB each) back to the system on free, so every
// extraction's new worker thread faults them in again; with one small file after another that was two thirds
// of the time. Blocks up to 1 MiB come from the heap, and 8 MiB of freed heap is kept. A setting the
// environment makes with glibc's own variable is left alone.
void tune_malloc()
{
#  if defined(__GLIBC__)
    if (!std::getenv("MALLOC_MMAP_THRESHOLD_"))
        mallopt(M_MMAP_THRESHOLD, 1 << 20);
    if (!std::getenv("MALLOC_TRIM_THRESHOLD_"))
        mallopt(M_TRIM_THRESHOLD, 8 << 20);
#  endif
}
#endif

template <class F>
bool resolve(void *module, const char *name, F *fn, std::string *error)
{
    *fn = reinterpret_cast<F>(symbol(module, name));
    if (!*fn)
        *error = std::string("the module lacks ") + name;
    return *fn != nullptr;
}

}  // namespace

const ae_calls *ae_library_load(const std::string &path, size_t max_alloc, std::string *error)
{
    std::lock_guard<std::mutex> hold(load_lock);
    if (loaded)
        return &calls;
    void *m = open_module(path, error);
    if (!m)
        return nullptr;
    ae_calls c;
    if (!(resolve(m, "audioextract_probe", &c.probe, error) && resolve(m, "audioextract_start", &c.start, error) &&
          resolve(m, "audioextract_status", &c.status, error) &&
          resolve(m, "audioextract_progress", &c.progress, error) &&
          resolve(m, "audioextract_result", &c.result, error) &&
          resolve(m, "audioextract_cancel", &c.cancel, error) && resolve(m, "audioextract_free", &c.free, error) &&
          resolve(m, "audioextract_version", &c.version, error)))
        return nullptr;  // the module stays loaded: unloading FFmpeg from a running process is not safe
    av_max_alloc = reinterpret_cast<set_size_fn>(avutil_symbol(m, "av_max_alloc"));
    av_log_set_level = reinterpret_cast<set_int_fn>(avutil_symbol(m, "av_log_set_level"));
    if (av_max_alloc)
        av_max_alloc(max_alloc);
    if (av_log_set_level)
        av_log_set_level(-8);  // quiet: FFmpeg's complaints about a damaged file are the error texts already
    tune_malloc();
    calls = c;
    loaded = true;
    return &calls;
}

bool ae_library_log_level(int level)
{
    std::lock_guard<std::mutex> hold(load_lock);
    if (av_log_set_level)
        av_log_set_level(level);
    return av_log_set_level != nullptr;
}

bool ae_library_max_alloc(size_t bytes)
{
    std::lock_guard<std::mutex> hold(load_lock);
    if (av_max_alloc)
        av_max_alloc(bytes);
    return av_max_alloc != nullptr;
}
