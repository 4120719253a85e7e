// Output names the host chooses when the user names none.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

// The local file a path names, as the library reads it: the path behind a "file:" prefix, the path itself
// when it has no scheme, and "" for any other address (a URL, a pipe), which is never a local file.
std::string local_path_of(const std::string &path);

// The audio entry of a probe report for `index`, or the first audio stream when index is negative;
// null when there is none.
const nlohmann::json *pick_audio_stream(const nlohmann::json &report, int index);

// In `dir`: the input's name with the stream's suggested extension, plus the stream index when another
// audio stream of the file would get the same name, or when the name would be the input itself.
std::string default_output(const std::string &input, const nlohmann::json &report, const nlohmann::json &audio,
                           const std::string &dir);

// In `dir`: input name, stream index, language when known, suggested extension ("movie.1.eng.m4a").
std::string numbered_output(const std::string &input, const nlohmann::json &audio, const std::string &dir);
