// The entries of a concat script (.ffconcat), read the way FFmpeg's concat demuxer reads them, so that the
// library can check every file a script would open before FFmpeg opens it.
#pragma once

#include <functional>

// Calls on_entry with each file the script lists, in order: a name as the script gives it, made relative
// to the script's folder unless it is absolute or has a scheme. Lines end at CR, LF or NUL, as FFmpeg
// ends them. Returns 0, on_entry's first nonzero return, or a negative FFmpeg error code when the script
// cannot be read or is larger than a script the library reads (1 MiB).
int ae_concat_script_entries(const char *script, const std::function<int(const char *entry)> &on_entry);
