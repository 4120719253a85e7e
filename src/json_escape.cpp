#include "json_escape.h"

void json_escape(const char *src, char *dst, size_t cap)
{
    const auto *start = reinterpret_cast<const unsigned char *>(src);
    size_t n = 0;
    for (const unsigned char *p = start; *p; ++p) {
        // Room for the widest output of one byte (an escape pair) is checked before every byte after the
        // first, so the NUL always fits and a pair is never split.
        if (p != start && n + 2 >= cap)
            break;
        if (*p == '"' || *p == '\\') {
            dst[n++] = '\\';
            dst[n++] = static_cast<char>(*p);
        } else if (*p >= 0x20) {
            dst[n++] = static_cast<char>(*p);
        }
    }
    dst[n] = '\0';
}
