// The parts of the test support that need a POSIX system: running ffprobe (the oracle), FIFOs fed from a
// thread, finding a thread blocked in a read, and the process's threads and descriptors counted from /proc.
#include "support.h"

#include <gtest/gtest.h>

#include "audioextract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace ae_test {

namespace {

std::string shell_quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace

std::string ffprobe(const std::vector<std::string> &args, int *status)
{
    std::string cmd = "ffprobe";
    for (const std::string &a : args)
        cmd += " " + shell_quote(a);
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

namespace {

size_t count_entries(const char *dir)
{
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

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

fs::path os_path(const std::string &utf8)
{
    return utf8;
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

void remove_tree(const std::string &path)
{
    fs::remove_all(path);
}

size_t count_threads()
{
    return count_entries("/proc/self/task");
}

size_t count_open_files()
{
    return count_entries("/proc/self/fd");
}

// A thread of this process sits in a read(2) of the FIFO.
bool wait_blocked_in_read(const slow_feeder &feed, int32_t, std::chrono::milliseconds limit)
{
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        // The worker waits in poll() for the pipe (one descriptor, its 50 ms slice), or in a read of it.
        char polling[32];
        std::snprintf(polling, sizeof polling, "%d ", static_cast<int>(SYS_poll));
        for (int fd : fds_on(feed.path())) {
            char reading[32];
            std::snprintf(reading, sizeof reading, "%d 0x%x ", static_cast<int>(SYS_read), fd);
            std::error_code ec;
            for (const auto &task : fs::directory_iterator("/proc/self/task", ec)) {
                const std::string call = read_file((task.path() / "syscall").string());
                if (call.rfind(reading, 0) == 0 ||
                    (call.rfind(polling, 0) == 0 && call.find(" 0x1 0x32 ") != std::string::npos))
                    return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

slow_feeder::slow_feeder(const std::string &name, const std::string &source, size_t first)
    : path_(name), data_(read_file(source)), first_(std::min(first, data_.size()))
{
    ::unlink(path_.c_str());
    if (mkfifo(path_.c_str(), 0600) != 0)
        ADD_FAILURE() << "mkfifo " << path_;
    std::signal(SIGPIPE, SIG_IGN);  // a reader that goes away shows as EPIPE
    thread_ = std::thread([this] { feed(); });
}

void slow_feeder::feed()
{
    // Wait for the worker to open the input, without blocking, so the feeder can be dropped unused.
    int fd = -1;
    while (fd < 0 && !stop_) {
        fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK);
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
}

slow_feeder::~slow_feeder()
{
    stop_ = true;
    go_ = true;
    if (thread_.joinable())
        thread_.join();
    ::unlink(path_.c_str());
}

const bool kPipeWaitsSeeCancel = true;

std::vector<std::string> other_spellings(const std::string &)
{
    return {};
}

bool make_fifo(const std::string &path)
{
    return mkfifo(path.c_str(), 0600) == 0;
}

std::optional<file_access> access_of(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return file_access{st.st_mode & 07777u, st.st_uid, st.st_gid};
}

void set_access(const std::string &path, const file_access &a)
{
    EXPECT_EQ(chown(path.c_str(), a.uid, a.gid), 0) << path;
    EXPECT_EQ(chmod(path.c_str(), a.mode), 0) << path;
}

std::optional<int> run_unprivileged(const std::function<int()> &fn)
{
    if (geteuid() != 0)
        return std::nullopt;
    const pid_t pid = fork();
    if (pid == 0) {
        const uid_t nobody = 65534;
        _exit(setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0 ? fn() : 125);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

}  // namespace ae_test
