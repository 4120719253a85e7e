#include "support.h"

#include <gtest/gtest.h>

#include "audioextract.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace ae_test {

std::string media(const std::string &name)
{
    const char *dir = std::getenv("AE_MEDIA_DIR");
    std::string path = std::string(dir ? dir : "media") + "/" + name;
    if (!exists(path))
        ADD_FAILURE() << "missing fixture " << path << " (run make_media.sh)";
    return path;
}

const std::vector<std::string> kAudioFixtures = {
    "mp4_aac.mp4", "mp4_two.mp4", "mov_pcm.mov", "mkv_many.mkv", "mkv_sub.mkv",  "webm_opus.webm", "avi_mp3.avi",
    "ts_two.ts",   "flv_aac.flv", "vorbis.ogg",  "opus.opus",    "flac.flac",    "wav.wav",        "adts.aac",
    "mp3_cover.mp3", "frag_mp4.mp4"};
const std::vector<std::string> kVideoOnlyFixtures = {"video_only.mp4", "video_only.mkv"};

std::string name_of_file(const std::string &file)
{
    std::string n = file;
    for (char &c : n)
        if (c == '.')
            c = '_';
    return n;
}

std::string scratch_dir()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "misc";
    for (char &c : name)
        if (c == '/')
            c = '_';
    fs::path dir = fs::current_path() / "scratch" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

bool exists(const std::string &path)
{
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string temp_output_in(const std::string &dir)
{
    for (const std::string &name : list_dir(dir))
        if (name.rfind(".audioextract-", 0) == 0 && name.size() > 5 && name.substr(name.size() - 5) == ".part")
            return dir + "/" + name;
    return "";
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

std::string shell_quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

json parse(const char *text)
{
    try {
        return json::parse(text);
    } catch (const std::exception &e) {
        ADD_FAILURE() << "not JSON: " << e.what() << "\n" << text;
        return json::object();
    }
}

json parse_masked(const char *text)
{
    std::string masked = text;
    for (char &c : masked)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '?';
    return parse(masked.c_str());
}

int wait_final(int32_t id, std::chrono::milliseconds limit)
{
    auto until = std::chrono::steady_clock::now() + limit;
    int st = audioextract_status(id);
    while (st >= 0 && st < AE_STATE_DONE && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        st = audioextract_status(id);
    }
    return st;
}

bool wait_packets_flow(int32_t id, std::chrono::milliseconds limit)
{
    auto until = std::chrono::steady_clock::now() + limit;
    while (parse(audioextract_progress(id))["packets"].get<int64_t>() == 0) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace ae_test
