// Reading the library's JSON reports. A report copies bytes from files and paths as they are, which need
// not be UTF-8; such bytes are shown as U+FFFD instead of making the whole report unreadable.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// The text with every byte that is not part of a valid UTF-8 sequence replaced by U+FFFD.
std::string valid_utf8(const char *text);

// The report parsed; a discarded value (is_discarded()) if it is not JSON even so.
nlohmann::json parse_report(const char *text);

// Whether a failed session's error text is about the input (otherwise it is about the output).
bool about_input(const std::string &error);
