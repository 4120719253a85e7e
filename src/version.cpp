// The version text. Loading the module needs no code of its own: the session table is static and starts zeroed.
extern "C" {
#include <libavformat/version.h>
}

#include <cstdio>

#include "audioextract.h"

// AE_VERSION comes from the build: the project version, defined once.

static char g_version[128];

extern "C" AE_API const char *AE_CALL audioextract_version(void)
{
    std::snprintf(g_version, sizeof g_version, "%s (libavformat %d.%d.%d)", AE_VERSION, LIBAVFORMAT_VERSION_MAJOR,
                  LIBAVFORMAT_VERSION_MINOR, LIBAVFORMAT_VERSION_MICRO);
    return g_version;
}
