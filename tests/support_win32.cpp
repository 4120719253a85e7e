// The parts of the test support that Windows does its own way: running ffprobe.exe (the oracle), a named pipe
// fed from a thread where POSIX systems use a FIFO, folders listed and removed past 260 characters, and the
// process's threads and handles counted.
#include "support.h"
#include "utf8_wide.h"

#include <gtest/gtest.h>

#include "audioextract.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdlib>

namespace ae_test {

namespace {

std::wstring wide(const std::string &utf8)
{
    return ae_utf8_to_wide(utf8);
}

// One argument quoted for the command line that CommandLineToArgvW and the C runtime split again.
std::wstring quote_arg(const std::wstring &a)
{
    std::wstring q = L"\"";
    size_t slashes = 0;
    for (wchar_t c : a) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        // Backslashes count only before a quote: there they are doubled, and the quote escaped.
        q.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        q += c;
    }
    q.append(2 * slashes, L'\\');
    return q + L"\"";
}

}  // namespace

std::string ffprobe(const std::vector<std::string> &args, int *status)
{
    const char *exe = std::getenv("AE_FFPROBE");
    std::wstring cmd = quote_arg(wide(exe ? exe : "ffprobe.exe"));
    for (const std::string &a : args)
        cmd += L" " + quote_arg(wide(a));

    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    std::string out;
    if (!CreatePipe(&read_end, &write_end, &sa, 0)) {
        ADD_FAILURE() << "CreatePipe failed";
        return out;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write_end;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION pi{};
    const BOOL started =
        CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(write_end);
    if (!started) {
        CloseHandle(read_end);
        ADD_FAILURE() << "cannot start ffprobe (set AE_FFPROBE to ffprobe.exe): error " << GetLastError();
        if (status)
            *status = -1;
        return out;
    }
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(read_end, buf, sizeof buf, &n, nullptr) && n > 0)
        out.append(buf, n);
    CloseHandle(read_end);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    if (status)
        *status = static_cast<int>(code);
    return out;
}

std::filesystem::path os_path(const std::string &utf8)
{
    // As the library converts: bytes that are not UTF-8 become U+FFFD (no Windows name can hold them).
    const std::wstring w = wide(utf8);
    if (w.rfind(L"\\\\?\\", 0) == 0 || w.rfind(L"\\\\.\\", 0) == 0)
        return w;
    // The "\\?\" form takes no '/', '.' or '..' and no trailing separator.
    std::wstring full = std::filesystem::absolute(w).lexically_normal().make_preferred().native();
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    return L"\\\\?\\" + full;
}

// Folders are walked with Windows' own calls: the C runtime under std::filesystem stops at the classic
// length limit. Calls fn with each name in the folder at `dir` (a "\\?\" path), "." and ".." left out.
template <class Fn>
static void for_each_name(const std::wstring &dir, Fn fn)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..")
            fn(name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

static void remove_native(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(path.c_str()))
            ADD_FAILURE() << "cannot delete a file: error " << GetLastError();
        return;
    }
    for_each_name(path, [&path](const std::wstring &name) { remove_native(path + L"\\" + name); });
    if (!RemoveDirectoryW(path.c_str()))
        ADD_FAILURE() << "cannot remove a folder: error " << GetLastError();
}

std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    for_each_name(os_path(dir).native(), [&names](const std::wstring &name) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0,
                                          nullptr, nullptr);
        std::string utf8(static_cast<size_t>(n), '\0');
        WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), utf8.data(), n, nullptr,
                            nullptr);
        names.push_back(utf8);
    });
    std::sort(names.begin(), names.end());
    return names;
}

void remove_tree(const std::string &path)
{
    remove_native(os_path(path).native());
}

size_t count_threads()
{
    size_t n = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    for (BOOL ok = Thread32First(snap, &t); ok; ok = Thread32Next(snap, &t))
        n += t.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}

size_t count_open_files()
{
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return handles;
}

// Windows cannot show which call another thread waits in. What the test needs is that the worker has consumed
// everything fed so far (the pipe has no buffer: the feeder's write returns only once it is read) and acts on
// nothing more: its counters stand still while it runs.
bool wait_blocked_in_read(const slow_feeder &feed, int32_t id, std::chrono::milliseconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    auto packets = [id] { return parse(audioextract_progress(id))["packets"].get<int64_t>(); };
    while (!feed.first_written())
        if (std::chrono::steady_clock::now() >= until)
            return false;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (;;) {
        const int64_t before = packets();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (packets() == before && audioextract_status(id) == AE_STATE_RUNNING)
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
    }
}

slow_feeder::slow_feeder(const std::string &name, const std::string &source, size_t first)
    : data_(read_file(source)), first_(std::min(first, data_.size()))
{
    static std::atomic<unsigned> count{0};
    const std::string file = std::filesystem::path(name).filename().string();
    path_ = "\\\\.\\pipe\\audioextract-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(count++) + "-" + file;
    // No buffer: a write returns once the reader has taken its bytes.
    HANDLE h = CreateNamedPipeW(wide(path_).c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0,
                                nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "CreateNamedPipe " << path_ << ": error " << GetLastError();
        return;
    }
    pipe_ = h;
    thread_ = std::thread([this] { feed(); });
}

void slow_feeder::feed()
{
    HANDLE h = static_cast<HANDLE>(pipe_);
    // Waits for the worker to open the input; the destructor connects itself when nobody did.
    const bool connected = ConnectNamedPipe(h, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
    connected_ = true;
    if (!connected || stop_) {
        CloseHandle(h);
        return;
    }
    auto put = [h](const char *p, size_t n) {
        while (n > 0) {
            DWORD w = 0;
            if (!WriteFile(h, p, static_cast<DWORD>(std::min<size_t>(n, 1 << 20)), &w, nullptr) || w == 0)
                return;
            p += w;
            n -= w;
        }
    };
    put(data_.data(), first_);
    first_done_ = true;
    while (!go_ && !stop_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    put(data_.data() + first_, data_.size() - first_);
    if (!stop_)
        FlushFileBuffers(h);  // the reader takes the last bytes before it sees the end
    CloseHandle(h);
}

slow_feeder::~slow_feeder()
{
    stop_ = true;
    go_ = true;
    if (!pipe_)
        return;
    if (!connected_) {
        // Ends a wait for a reader that never came.
        HANDLE c = CreateFileW(wide(path_).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (c != INVALID_HANDLE_VALUE)
            CloseHandle(c);
    }
    if (thread_.joinable())
        thread_.join();
}

const bool kPipeWaitsSeeCancel = false;

std::vector<std::string> other_spellings(const std::string &path)
{
    std::string backslashed = path, upper = path;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    const size_t name = path.find_last_of('/') + 1;
    std::transform(upper.begin() + static_cast<std::ptrdiff_t>(name), upper.end(), upper.begin() + static_cast<std::ptrdiff_t>(name),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return {backslashed, upper};
}

bool make_fifo(const std::string &)
{
    return false;
}

std::optional<file_access> access_of(const std::string &)
{
    return std::nullopt;  // Windows keeps access rules in lists, mostly on folders
}

void set_access(const std::string &, const file_access &) {}

std::optional<int> run_unprivileged(const std::function<int()> &)
{
    return std::nullopt;
}

}  // namespace ae_test
