#pragma once

#include <cstddef>

// Writes src into dst (cap bytes, cap >= 1) so it can stand between the quotes of a JSON string: '"' and
// '\' get a backslash, bytes below 0x20 become \u00XX, every other byte is copied unchanged. The text is
// cut when it would not fit, never inside an escape or a UTF-8 character; dst always ends in NUL.
// A text of n bytes fits whole in 6 * n + 1 bytes.
void json_escape(const char *src, char *dst, size_t cap);
