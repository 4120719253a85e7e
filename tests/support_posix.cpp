// The parts of the test support that need a POSIX system: running commands (ffprobe, the oracle), FIFOs fed
// from a thread, and finding a thread blocked in a read.
#include "support.h"

#include <gtest/gtest.h>

#include "audioextract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace ae_test {

std::string run(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) {
        ADD_FAILURE() << "cannot run " << cmd;
        return out;
    }
    std::array<char, 65536> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    int st = pclose(p);
    if (status)
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

::testing::AssertionResult copying_from(slow_feeder &feed, int32_t id)
{
    if (id < 0)
        return ::testing::AssertionFailure() << "start refused: " << id;
    if (!feed.wait_first_written(std::chrono::seconds(30)))
        return ::testing::AssertionFailure() << "the worker never opened the FIFO";
    if (!wait_packets_flow(id))
        return ::testing::AssertionFailure() << "no packet was copied";
    return ::testing::AssertionSuccess();
}

namespace {

// The descriptors of this process open on `path`.
std::vector<int> fds_on(const std::string &path)
{
    std::vector<int> fds;
    std::error_code ec;
    const auto want = fs::weakly_canonical(path, ec);
    for (const auto &e : fs::directory_iterator("/proc/self/fd", ec)) {
        std::error_code ec2;
        if (fs::read_symlink(e.path(), ec2) == want)
            fds.push_back(std::stoi(e.path().filename().string()));
    }
    return fds;
}

}  // namespace

bool wait_blocked_in_read(const std::string &path, std::chrono::milliseconds limit)
{
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        for (int fd : fds_on(path)) {
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "%d 0x%x ", static_cast<int>(SYS_read), fd);
            std::error_code ec;
            for (const auto &task : fs::directory_iterator("/proc/self/task", ec))
                if (read_file((task.path() / "syscall").string()).rfind(prefix, 0) == 0)
                    return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::vector<packet> probe_packets(const std::string &path, int stream)
{
    int status = 0;
    std::string out = run("ffprobe -v error -select_streams " + std::to_string(stream) +
                              " -show_packets -show_data_hash CRC32 -of json " + shell_quote(path),
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

slow_feeder::slow_feeder(const std::string &fifo, const std::string &source, size_t first)
    : fifo_(fifo), data_(read_file(source)), first_(std::min(first, data_.size()))
{
    ::unlink(fifo.c_str());
    if (mkfifo(fifo.c_str(), 0600) != 0)
        ADD_FAILURE() << "mkfifo " << fifo;
    std::signal(SIGPIPE, SIG_IGN);  // a reader that goes away shows as EPIPE
    thread_ = std::thread([this] {
        // Wait for the worker to open the input, without blocking, so the feeder can be dropped unused.
        int fd = -1;
        while (fd < 0 && !stop_) {
            fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (fd < 0)
            return;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        auto put = [fd](const char *p, size_t n) {
            while (n > 0) {
                ssize_t w = ::write(fd, p, n);
                if (w <= 0)
                    return;
                p += w;
                n -= static_cast<size_t>(w);
            }
        };
        put(data_.data(), first_);
        first_done_ = true;
        while (!go_ && !stop_)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        put(data_.data() + first_, data_.size() - first_);
        ::close(fd);
    });
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

slow_feeder::~slow_feeder()
{
    stop_ = true;
    go_ = true;
    if (thread_.joinable())
        thread_.join();
    ::unlink(fifo_.c_str());
}

}  // namespace ae_test
