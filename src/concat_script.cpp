#include "concat_script.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <cstring>

#include "platform.h"

namespace {

constexpr size_t AE_SCRIPT_CAP = 1 << 20;
// The separators FFmpeg's concat demuxer skips between a keyword and its argument.
constexpr const char *AE_SPACE_CHARS = " \t\r\n";

// Owns one av_malloc'ed block.
template <class T>
struct av_owned {
    T *p;
    explicit av_owned(T *q) : p(q) {}
    ~av_owned() { av_free(p); }
    av_owned(const av_owned &) = delete;
    av_owned &operator=(const av_owned &) = delete;
    T *get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

}  // namespace

int ae_concat_script_entries(const char *script, const std::function<int(const char *entry)> &on_entry)
{
    const int fd = ae_open_read(script);
    if (fd < 0)
        return AVERROR(errno ? errno : ENOENT);
    av_owned<char> text(static_cast<char *>(av_malloc(AE_SCRIPT_CAP + 2)));
    size_t len = 0;
    int64_t n = 1;
    while (text && n > 0 && len <= AE_SCRIPT_CAP) {
        n = ae_read(fd, text.get() + len, AE_SCRIPT_CAP + 1 - len);
        len += n > 0 ? static_cast<size_t>(n) : 0;
    }
    ae_close(fd);
    if (!text)
        return AVERROR(ENOMEM);
    if (n < 0)
        return AVERROR(EIO);
    if (len > AE_SCRIPT_CAP)
        return AVERROR(EFBIG);  // a script past the cap could hide an entry from a check that stops there
    text.get()[len] = '\0';

    const size_t dir_len = ae_folder_length(script);
    const char *end = text.get() + len;
    for (char *line = text.get(); line < end;) {
        // A line ends at CR, LF or NUL, whichever comes first.
        char *stop = line;
        while (stop < end && *stop != '\r' && *stop != '\n' && *stop != '\0')
            ++stop;
        *stop = '\0';
        const char *cursor = line + std::strspn(line, AE_SPACE_CHARS);
        const size_t keyword = std::strcspn(cursor, AE_SPACE_CHARS);
        if (keyword == 4 && std::strncmp(cursor, "file", 4) == 0) {
            cursor += keyword;
            cursor += std::strspn(cursor, AE_SPACE_CHARS);
            av_owned<char> name(av_get_token(&cursor, AE_SPACE_CHARS));
            if (!name)
                return AVERROR(ENOMEM);
            const bool relative = !ae_is_absolute(name.get()) && !std::strchr(name.get(), ':');
            av_owned<char> full(relative ? av_asprintf("%.*s%s", static_cast<int>(dir_len), script, name.get())
                                         : nullptr);
            if (relative && !full)
                return AVERROR(ENOMEM);
            if (const int e = on_entry(relative ? full.get() : name.get()))
                return e;
        }
        line = stop + 1;
    }
    return 0;
}
