#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "worker_thread.h"

static_assert(sizeof(pthread_t) <= sizeof(ae_os_handle) && std::is_integral_v<pthread_t>,
              "a pthread_t is kept as an integer in the worker's record");

// Entry of every worker thread: the record's routine on the record's session.
static void *ae_tramp(void *arg)
{
    auto *t = static_cast<ae_thread *>(arg);
    t->routine(t->session);
    return nullptr;
}

bool ae_thread_create(ae_thread *t)
{
    pthread_t handle;
    if (pthread_create(&handle, nullptr, ae_tramp, t) != 0)
        return false;
    t->handle = static_cast<ae_os_handle>(handle);
    return true;
}

void ae_thread_join_close(ae_thread *t)
{
    pthread_join(static_cast<pthread_t>(t->handle), nullptr);
}

static ae_file_id ae_id_of(const struct stat &st)
{
    return ae_file_id{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

ae_path_kind ae_path_stat(const char *path, ae_file_id *id)
{
    struct stat st {};
    if (stat(path, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? ae_path_kind::missing : ae_path_kind::other;
    if (id)
        *id = ae_id_of(st);
    return S_ISREG(st.st_mode) ? ae_path_kind::regular : ae_path_kind::other;
}

bool ae_fd_stat(int fd, ae_file_id *id, bool *regular)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return false;
    *id = ae_id_of(st);
    *regular = S_ISREG(st.st_mode);
    return true;
}

int ae_open_read(const char *path)
{
    int fd;
    do
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

int ae_create_exclusive(const char *path)
{
    // The mode a plain create gives (the umask applies), so the finished file looks like any other.
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

int64_t ae_read(int fd, void *buf, size_t n)
{
    ssize_t r;
    do
        r = read(fd, buf, n);
    while (r < 0 && errno == EINTR);
    return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? AE_WOULD_BLOCK : r;
}

int64_t ae_read_at(int fd, void *buf, size_t n, int64_t offset)
{
    ssize_t r;
    do
        r = pread(fd, buf, n, static_cast<off_t>(offset));
    while (r < 0 && errno == EINTR);
    return r;
}

bool ae_wait_readable(int fd, int timeout_ms)
{
    // A FIFO that no writer has opened yet reports nothing here (Linux reports the end only once a writer
    // has come and gone), so waiting for a writer is waiting in this call too.
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) != 0;
}

int64_t ae_write(int fd, const void *buf, size_t n)
{
    ssize_t r;
    do
        r = write(fd, buf, n);
    while (r < 0 && errno == EINTR);
    return r;
}

int64_t ae_seek(int fd, int64_t offset, int whence)
{
    return lseek(fd, static_cast<off_t>(offset), whence);
}

int64_t ae_fd_size(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
}

int ae_close(int fd)
{
    // A close interrupted by a signal has still released the descriptor: no retry.
    return close(fd) == 0 || errno == EINTR ? 0 : -1;
}

void ae_advise_sequential(int fd)
{
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

void ae_advise_willneed(int fd, int64_t pos, int64_t len)
{
    // Linux reads at most the larger of the device's read-ahead size and its largest request for one such
    // hint (8 MB on this project's test machines) and drops the rest of the range without a word: a longer
    // range is asked for in pieces of that size. (2 MB pieces, which every device would take whole, were
    // measured to slow a trial of reading through here, each piece a request of its own.)
    constexpr int64_t piece = 8 * 1024 * 1024;
    for (const int64_t end = pos + len; pos < end; pos += piece)
        posix_fadvise(fd, static_cast<off_t>(pos), static_cast<off_t>(std::min(piece, end - pos)),
                      POSIX_FADV_WILLNEED);
}

bool ae_rename_replace(const char *from, const char *to)
{
    return rename(from, to) == 0;
}

bool ae_replace_refused(const char *path)
{
    struct stat file {}, dir {};
    if (stat(path, &file) != 0)
        return false;
    const size_t dir_len = ae_folder_length(path);
    const std::string folder = dir_len ? std::string(path, dir_len) : std::string(".");
    if (stat(folder.c_str(), &dir) != 0)
        return false;
    const uid_t me = geteuid();
    // In a sticky directory only the file's owner, the directory's owner or a privileged process may
    // replace a file; root is taken as privileged, as it nearly always is.
    return (dir.st_mode & S_ISVTX) && me != 0 && file.st_uid != me && dir.st_uid != me;
}

void ae_take_access_of(int fd, const char *like)
{
    struct stat st {};
    if (stat(like, &st) != 0)
        return;
    // The owner first: a change of owner clears set-id bits, which are not copied anyway.
    if (fchown(fd, st.st_uid, st.st_gid) != 0)
        (void)!fchown(fd, static_cast<uid_t>(-1), st.st_gid);  // a group of ours, even unprivileged
    fchmod(fd, st.st_mode & 0777);
}

size_t ae_folder_length(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? static_cast<size_t>(slash - path + 1) : 0;
}

bool ae_is_absolute(const char *path)
{
    return path[0] == '/';
}

void ae_file_remove(const char *path)
{
    unlink(path);
}

bool ae_follow_links(const char *path, char *out, size_t cap)
{
    if (std::strlen(path) >= cap)
        return false;
    std::snprintf(out, cap, "%s", path);
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(out, &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        char target[4096];
        const ssize_t n = readlink(out, target, sizeof target - 1);
        if (n <= 0)
            return false;
        target[n] = '\0';
        char next[4096];
        const char *slash = std::strrchr(out, '/');
        int w;
        if (target[0] == '/' || !slash)
            w = std::snprintf(next, sizeof next, "%s", target);
        else
            w = std::snprintf(next, sizeof next, "%.*s/%s", static_cast<int>(slash - out), out, target);
        if (w < 0 || static_cast<size_t>(w) >= cap)
            return false;
        std::memcpy(out, next, static_cast<size_t>(w) + 1);
    }
    return false;
}

const char *ae_host_name()
{
    static const std::string name = [] {
        char raw[256] = {};
        std::string clean;
        if (gethostname(raw, sizeof raw - 1) == 0)
            for (const char *p = raw; *p && clean.size() < 32; ++p)
                if (std::isalnum(static_cast<unsigned char>(*p)) || *p == '-')
                    clean += *p;
        return clean.empty() ? std::string("host") : clean;
    }();
    return name.c_str();
}

uint64_t ae_process_id()
{
    return static_cast<uint64_t>(getpid());
}

bool ae_process_alive(uint64_t pid)
{
    if (pid == 0 || pid > static_cast<uint64_t>(INT32_MAX))
        return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

void ae_list_folder(const std::string &folder, const std::function<void(const char *name)> &fn)
{
    DIR *d = opendir(folder.empty() ? "." : folder.c_str());
    if (!d)
        return;
    while (const dirent *e = readdir(d))
        fn(e->d_name);
    closedir(d);
}

uint64_t ae_unique_number()
{
    static std::atomic<uint64_t> counter{0};
    timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t mix = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32);
    return mix + counter.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull;
}
