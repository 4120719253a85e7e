#pragma once

#include <cstddef>

// Writes src into dst (cap bytes, cap >= 3) so it can stand between the quotes of a JSON string: '"' and
// '\' get a backslash, bytes below 0x20 are dropped, every other byte is copied unchanged. The text is cut
// when it would not fit, never between a backslash and the character it escapes; dst always ends in NUL.
void json_escape(const char *src, char *dst, size_t cap);
