// Helpers shared by the tests: fixtures, waiting on sessions, reading reports, and ffprobe as an oracle.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
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

// A path (UTF-8, as the library takes it) as the test's own file calls take it: on Windows in the "\\?\"
// form, which reaches past 260 characters.
std::filesystem::path os_path(const std::string &utf8);

// The file helpers below take paths as the library does, in UTF-8 and of any length.
bool exists(const std::string &path);
// A file, or a folder with all it holds; a missing path is ignored.
void remove_tree(const std::string &path);
// The names in a directory, sorted.
std::vector<std::string> list_dir(const std::string &dir);
// A temporary output file of a running session in dir, or "" when there is none.
std::string temp_output_in(const std::string &dir);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// Who may read and write a file, where the platform keeps it per file (POSIX): permission bits, owner and
// group. access_of gives nothing elsewhere, and set_access then does nothing.
struct file_access {
    unsigned mode, uid, gid;
    bool operator==(const file_access &) const = default;
};
std::optional<file_access> access_of(const std::string &path);
void set_access(const std::string &path, const file_access &a);

// Runs fn in a child process that has given up root for an unprivileged user, and returns what fn
// returned; nothing where that cannot be done (the tests do not run as root, or on Windows).
std::optional<int> run_unprivileged(const std::function<int()> &fn);

// Runs ffprobe (the oracle: from the same FFmpeg as the library under test) with these arguments and returns
// its standard output; the exit status goes into *status when given.
std::string ffprobe(const std::vector<std::string> &args, int *status = nullptr);

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
// the worker is then copying and will soon wait in a read of the pipe.
::testing::AssertionResult copying_from(class slow_feeder &feed, int32_t id);

// Whether a worker waiting for a pipe's data notices a cancel (POSIX: it waits in poll() in slices); where
// it does not (Windows, whose pipe reads block), free waits until the read returns.
extern const bool kPipeWaitsSeeCancel;

// The same file under the system's other spellings of its name: on Windows with backslashes and in another
// case; none elsewhere.
std::vector<std::string> other_spellings(const std::string &path);

// Makes a FIFO at path with nobody writing to it; false where a folder cannot hold one (Windows).
bool make_fifo(const std::string &path);

// Polls until the session's worker waits in a read of the feeder's pipe with everything fed so far consumed:
// it then has nothing buffered left to act on, and waits for the test.
bool wait_blocked_in_read(const slow_feeder &feed, int32_t id,
                          std::chrono::milliseconds limit = std::chrono::seconds(30));

// The threads of this process, and the files (descriptors or handles) it has open.
size_t count_threads();
size_t count_open_files();

// One packet as ffprobe sees it.
struct packet {
    int64_t pts = INT64_MIN, dts = INT64_MIN, duration = 0;
    double pts_time = 0, duration_time = 0;  // seconds
    std::string hash;
};
// The packets of one stream, read by ffprobe with payload hashes.
std::vector<packet> probe_packets(const std::string &path, int stream);

// How many samples ffprobe decodes from one stream of the file, or -1 when it cannot read the file.
int64_t decoded_samples(const std::string &path, int stream);

// Writes the file's bytes into a pipe from a thread of its own, stopping after `first` bytes until
// release() is called. Tests use it to hold a worker inside a read. On POSIX systems the pipe is a FIFO at
// `name`; on Windows, which has no FIFO in a directory, it is a named pipe whose name ends in name's file
// name. path() is what the library is to open.
class slow_feeder {
public:
    slow_feeder(const std::string &name, const std::string &source, size_t first);
    ~slow_feeder();
    slow_feeder(const slow_feeder &) = delete;
    slow_feeder &operator=(const slow_feeder &) = delete;

    const std::string &path() const { return path_; }
    void release();  // write the rest and close
    bool wait_first_written(std::chrono::milliseconds limit);
    bool first_written() const { return first_done_; }

private:
    void feed();
    std::string path_, data_;
    size_t first_;
    void *pipe_ = nullptr;  // Windows: the pipe's server end, which the feeding thread closes
    std::thread thread_;
    std::atomic<bool> go_{false}, first_done_{false}, stop_{false}, connected_{false};
};

}  // namespace ae_test
