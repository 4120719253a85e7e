#include "temp_names.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"

namespace {

constexpr const char *AE_TEMP_PREFIX = ".audioextract-";
constexpr const char *AE_TEMP_SUFFIX = ".part";

// The process that wrote a temporary file of this machine's, or 0 when the name is not one.
uint64_t writer_of(const char *name, const std::string &own_prefix)
{
    const size_t len = std::strlen(name), suffix = std::strlen(AE_TEMP_SUFFIX);
    if (len <= own_prefix.size() + suffix || std::strncmp(name, own_prefix.c_str(), own_prefix.size()) != 0 ||
        std::strcmp(name + len - suffix, AE_TEMP_SUFFIX) != 0)
        return 0;
    char *end = nullptr;
    const uint64_t pid = std::strtoull(name + own_prefix.size(), &end, 10);
    return end && *end == '-' ? pid : 0;
}

}  // namespace

bool ae_temp_name(char *out, size_t cap, const char *path, size_t dir_len)
{
    const int n = std::snprintf(out, cap, "%.*s%s%s-%" PRIu64 "-%016" PRIx64 "%s", static_cast<int>(dir_len), path,
                                AE_TEMP_PREFIX, ae_host_name(), ae_process_id(), ae_unique_number(), AE_TEMP_SUFFIX);
    return n > 0 && static_cast<size_t>(n) < cap;
}

void ae_remove_leftovers(const char *path, size_t dir_len)
{
    const std::string folder(path, dir_len);
    const std::string own_prefix = std::string(AE_TEMP_PREFIX) + ae_host_name() + "-";
    ae_list_folder(folder, [&](const char *name) {
        const uint64_t pid = writer_of(name, own_prefix);
        if (pid && !ae_process_alive(pid))
            ae_file_remove((folder + name).c_str());
    });
}
