// UTF-8 to the wide text Windows' own calls take, for the library, the command-line host and the tests alike.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <string>

// The wide form of a UTF-8 string (up to its first NUL); an empty string for text that is not UTF-8.
inline std::wstring ae_utf8_to_wide(const std::string &utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), n);
    w.resize(static_cast<size_t>(n) - 1);
    return w;
}
#endif
