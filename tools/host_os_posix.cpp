#include "host_os.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>

const char *const kModuleFile = "belmarun-audioextract.so";

std::vector<std::string> host_args(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

std::filesystem::path host_path(const std::string &utf8)
{
    return std::filesystem::path(utf8);
}

std::string host_utf8(const std::filesystem::path &path)
{
    return path.string();
}

std::string host_dir()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    const std::string p(buf, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

std::vector<std::string> host_module_places()
{
    const std::string dir = host_dir();
    return {dir + "/" + kModuleFile, dir + "/../" AE_INSTALL_LIBDIR "/" + kModuleFile,
            kModuleFile /* the loader's own search path */};
}

void *host_load(const std::string &path, std::string *error)
{
    void *lib = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!lib)
        *error = dlerror();
    return lib;
}

void *host_symbol(void *lib, const char *name)
{
    return dlsym(lib, name);
}

bool host_same_file(const std::string &a, const std::string &b)
{
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool host_exists(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool host_stderr_is_terminal()
{
    return isatty(STDERR_FILENO) != 0;
}

namespace {

void (*g_first)() = nullptr;

// The first signal asks for a clean stop, which waits for each worker's current read; a second one, for an
// input that will not return, ends the process at once.
void on_signal(int sig)
{
    g_first();
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
}

}  // namespace

void host_on_interrupt(void (*first)())
{
    g_first = first;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}
