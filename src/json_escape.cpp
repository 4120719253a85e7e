#include "json_escape.h"

#include <cstdio>

namespace {

bool is_continuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

}  // namespace

void json_escape(const char *src, char *dst, size_t cap)
{
    size_t n = 0;
    for (const auto *p = reinterpret_cast<const unsigned char *>(src); *p; ++p) {
        const unsigned char c = *p;
        const size_t width = c < 0x20 ? 6 : (c == '"' || c == '\\') ? 2 : 1;
        // What this byte becomes must fit with the closing NUL, so an escape is never split.
        if (n + width >= cap) {
            // A cut inside a multi-byte UTF-8 character drops the character's leading bytes too, so the
            // text stays valid UTF-8. A sequence has at most three bytes before its last one.
            if (is_continuation(c)) {
                size_t back = 0;
                while (back < 3 && back < n && is_continuation(static_cast<unsigned char>(dst[n - 1 - back])))
                    ++back;
                if (back < n && static_cast<unsigned char>(dst[n - 1 - back]) >= 0xC0)
                    n -= back + 1;
            }
            break;
        }
        if (c < 0x20) {
            // Control bytes (a newline in a file name) are kept, so a parser returns the real text.
            std::snprintf(dst + n, 7, "\\u%04x", c);
        } else if (c == '"' || c == '\\') {
            dst[n] = '\\';
            dst[n + 1] = static_cast<char>(c);
        } else {
            dst[n] = static_cast<char>(c);
        }
        n += width;
    }
    if (cap > 0)
        dst[n] = '\0';
}
