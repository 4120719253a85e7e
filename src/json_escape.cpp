#include "json_escape.h"

namespace {

bool is_continuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

}  // namespace

void json_escape(const char *src, char *dst, size_t cap)
{
    const auto *start = reinterpret_cast<const unsigned char *>(src);
    size_t n = 0;
    for (const unsigned char *p = start; *p; ++p) {
        // Room for the widest output of one byte (an escape pair) is checked before every byte after the
        // first, so the NUL always fits and a pair is never split.
        if (p != start && n + 2 >= cap) {
            // A cut inside a multi-byte UTF-8 character drops the character's leading bytes too, so the
            // text stays valid UTF-8. A sequence has at most three bytes before its last one.
            if (is_continuation(*p)) {
                size_t back = 0;
                while (back < 3 && back < n && is_continuation(static_cast<unsigned char>(dst[n - 1 - back])))
                    ++back;
                if (back < n && static_cast<unsigned char>(dst[n - 1 - back]) >= 0xC0)
                    n -= back + 1;
            }
            break;
        }
        if (*p == '"' || *p == '\\') {
            dst[n++] = '\\';
            dst[n++] = static_cast<char>(*p);
        } else if (*p >= 0x20) {
            dst[n++] = static_cast<char>(*p);
        }
    }
    dst[n] = '\0';
}
