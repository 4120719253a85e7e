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
    remove_tree(dir.string());
    fs::create_directories(dir);
    return dir.string();
}

bool exists(const std::string &path)
{
    std::error_code ec;
    return fs::symlink_status(os_path(path), ec).type() != fs::file_type::not_found && !ec;
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
    std::ifstream f(os_path(path), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(os_path(path), std::ios::binary);
    f << bytes;
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

::testing::AssertionResult copying_from(slow_feeder &feed, int32_t id)
{
    if (id < 0)
        return ::testing::AssertionFailure() << "start refused: " << id;
    if (!feed.wait_first_written(std::chrono::seconds(30)))
        return ::testing::AssertionFailure() << "the worker never opened the pipe";
    if (!wait_packets_flow(id))
        return ::testing::AssertionFailure() << "no packet was copied";
    return ::testing::AssertionSuccess();
}

void slow_feeder::release()
{
    go_ = true;
}

bool slow_feeder::wait_first_written(std::chrono::milliseconds limit)
{
    auto until = std::chrono::steady_clock::now() + limit;
    while (!first_done_ && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return first_done_;
}

std::vector<packet> probe_packets(const std::string &path, int stream)
{
    int status = 0;
    std::string out = ffprobe({"-v", "error", "-select_streams", std::to_string(stream), "-show_packets",
                               "-show_data_hash", "CRC32", "-of", "json", path},
                              &status);
    std::vector<packet> pkts;
    if (status != 0) {
        ADD_FAILURE() << "ffprobe failed on " << path;
        return pkts;
    }
    json j = json::parse(out);
    for (const auto &p : j.value("packets", json::array())) {
        packet k;
        if (p.contains("pts"))
            k.pts = p["pts"].get<int64_t>();
        if (p.contains("dts"))
            k.dts = p["dts"].get<int64_t>();
        if (p.contains("duration"))
            k.duration = p["duration"].get<int64_t>();
        k.hash = p.value("data_hash", "");
        k.pts_time = std::stod(p.value("pts_time", "0"));
        k.duration_time = std::stod(p.value("duration_time", "0"));
        pkts.push_back(k);
    }
    return pkts;
}

int64_t decoded_samples(const std::string &path, int stream)
{
    int status = 0;
    std::string out = ffprobe({"-v", "quiet", "-select_streams", std::to_string(stream), "-show_entries",
                               "frame=nb_samples", "-of", "json", path},
                              &status);
    if (status != 0)
        return -1;
    int64_t total = 0;
    for (const auto &f : json::parse(out).value("frames", json::array()))
        total += f.value("nb_samples", int64_t{0});
    return total;
}

}  // namespace ae_test
