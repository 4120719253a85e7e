#include "naming.h"

#include "host_os.h"

using json = nlohmann::json;

const json *pick_audio_stream(const json &report, int index)
{
    for (const json &a : report["audio_streams"])
        if (index < 0 || a["index"].get<int>() == index)
            return &a;
    return nullptr;
}

std::string local_path_of(const std::string &path)
{
    // A scheme is two or more of these before a colon; one letter is a Windows drive ("C:\x").
    const size_t n = path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.");
    if (n == std::string::npos || n < 2 || path[n] != ':')
        return path;
    std::string scheme = path.substr(0, n);
    for (char &c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "file" ? path.substr(n + 1) : std::string();
}

namespace {

// Names are UTF-8 strings; paths are built from them in the platform's own form.
std::string in_dir(const std::string &dir, const std::string &name)
{
    return dir.empty() || dir == "." ? name : host_utf8(host_path(dir) / host_path(name));
}

std::string stem_of(const std::string &input)
{
    const std::string local = local_path_of(input);
    std::string stem = host_utf8(host_path(local.empty() ? input : local).stem());
    return stem.empty() ? "audio" : stem;
}

// Language tags come from the file: keep them to what is safe in a file name.
std::string safe_tag(const std::string &s)
{
    std::string out;
    for (char c : s)
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_')
            out += c;
    return out.substr(0, 32);
}

}  // namespace

std::string default_output(const std::string &input, const json &report, const json &audio, const std::string &dir)
{
    const std::string ext = audio["suggested_ext"];
    int same_ext = 0;
    for (const json &a : report["audio_streams"])
        same_ext += a["suggested_ext"].get<std::string>() == ext;
    std::string plain = in_dir(dir, stem_of(input) + "." + ext);
    if (same_ext > 1 || host_same_file(plain, local_path_of(input)))
        plain = in_dir(dir, stem_of(input) + "." + std::to_string(audio["index"].get<int>()) + "." + ext);
    return plain;
}

std::string numbered_output(const std::string &input, const json &audio, const std::string &dir)
{
    std::string name = stem_of(input) + "." + std::to_string(audio["index"].get<int>());
    const std::string lang = safe_tag(audio["language"]);
    if (!lang.empty())
        name += "." + lang;
    return in_dir(dir, name + "." + audio["suggested_ext"].get<std::string>());
}
