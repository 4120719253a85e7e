#include "read_report.h"

#include "audioextract.h"

namespace {

// Length of the valid UTF-8 sequence starting at p (at most n bytes available), or 0 if it is not one.
size_t sequence_length(const unsigned char *p, size_t n)
{
    if (p[0] < 0x80)
        return 1;
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (p[0] >= 0xC2 && p[0] <= 0xDF)
        len = 2;
    else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        len = 3;
        if (p[0] == 0xE0)
            lo = 0xA0;  // no overlong forms
        if (p[0] == 0xED)
            hi = 0x9F;  // no surrogates
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        len = 4;
        if (p[0] == 0xF0)
            lo = 0x90;
        if (p[0] == 0xF4)
            hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (n < len || p[1] < lo || p[1] > hi)
        return 0;
    for (size_t i = 2; i < len; ++i)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    return len;
}

}  // namespace

std::string valid_utf8(const char *text)
{
    std::string out;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    size_t n = std::char_traits<char>::length(text);
    while (n > 0) {
        const size_t len = sequence_length(p, n);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++p;
            --n;
            continue;
        }
        out.append(reinterpret_cast<const char *>(p), len);
        p += len;
        n -= len;
    }
    return out;
}

nlohmann::json parse_report(const char *text)
{
    return nlohmann::json::parse(valid_utf8(text ? text : ""), nullptr, false);
}

bool about_input(const std::string &error)
{
    for (const char *text : {AE_INPUT_TEXTS})
        if (error == text || error.rfind(std::string(text) + ": ", 0) == 0)
            return true;
    return false;
}
