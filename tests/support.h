// Helpers shared by the tests: fixtures, waiting on sessions, reading reports, and ffprobe as an oracle.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace ae_test {

using json = nlohmann::json;

// A generated media file (made by make_media.sh before the tests run).
std::string media(const std::string &name);

// The generated files that hold audio, of every container the media script makes.
extern const std::vector<std::string> kAudioFixtures;
// The files without audio.
extern const std::vector<std::string> kVideoOnlyFixtures;

// A parameterised test's name from a file name: "mp4_aac.mp4" gives "mp4_aac_mp4".
std::string name_of_file(const std::string &file);
struct file_param_name {
    template <class Info>
    std::string operator()(const Info &info) const { return name_of_file(info.param); }
};

// A fresh empty directory under the build tree, unique to the calling test.
std::string scratch_dir();

bool exists(const std::string &path);
// The names in a directory, sorted.
std::vector<std::string> list_dir(const std::string &dir);
// A temporary output file of a running session in dir, or "" when there is none.
std::string temp_output_in(const std::string &dir);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// Runs a shell command and returns its standard output; the exit status goes into *status when given.
std::string run(const std::string &cmd, int *status = nullptr);
std::string shell_quote(const std::string &s);

// Parses a report; a report that is not valid JSON fails the calling test.
json parse(const char *text);

// Parses a report that may copy bytes which are not UTF-8 (paths, tags): those bytes are masked as '?',
// and the structure around them must still be valid JSON.
json parse_masked(const char *text);

// Polls the session until it reaches a final state (or the time limit passes) and returns that state.
int wait_final(int32_t id, std::chrono::milliseconds limit = std::chrono::seconds(60));

// Polls until the session has handed a packet to its output: the worker is then known to be copying.
bool wait_packets_flow(int32_t id, std::chrono::milliseconds limit = std::chrono::seconds(30));

// Waits until the feeder has written its first bytes and the session has handed a packet to its output:
// the worker is then copying and will soon wait in a read of the FIFO.
::testing::AssertionResult copying_from(class slow_feeder &feed, int32_t id);

// Polls until a thread of this process sits in a read(2) on the file at `path` (a FIFO the test feeds): the
// worker then has nothing buffered left to act on, and waits for the test.
bool wait_blocked_in_read(const std::string &path, std::chrono::milliseconds limit = std::chrono::seconds(30));

// One packet as ffprobe sees it.
struct packet {
    int64_t pts = INT64_MIN, dts = INT64_MIN, duration = 0;
    double pts_time = 0, duration_time = 0;  // seconds
    std::string hash;
};
// The packets of one stream, read by ffprobe with payload hashes.
std::vector<packet> probe_packets(const std::string &path, int stream);

// Writes the file's bytes into a FIFO from a thread of its own, stopping after `first` bytes until
// release() is called. Tests use it to hold a worker inside a read.
class slow_feeder {
public:
    slow_feeder(const std::string &fifo, const std::string &source, size_t first);
    ~slow_feeder();
    void release();                  // write the rest and close
    bool wait_first_written(std::chrono::milliseconds limit);

private:
    std::string fifo_, data_;
    size_t first_;
    std::thread thread_;
    std::atomic<bool> go_{false}, first_done_{false}, stop_{false};
};

}  // namespace ae_test
