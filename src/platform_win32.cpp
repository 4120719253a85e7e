#include "platform.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <new>
#include <string>
#include <vector>

#include "utf8_wide.h"
#include "worker_thread.h"

// Entry of every worker thread: the record's routine on the record's session.
static DWORD WINAPI ae_tramp(LPVOID arg)
{
    auto *t = static_cast<ae_thread *>(arg);
    t->routine(t->session);
    return 0;
}

bool ae_thread_create(ae_thread *t)
{
    HANDLE handle = CreateThread(nullptr, 0, ae_tramp, t, 0, nullptr);
    if (!handle)
        return false;
    t->handle = reinterpret_cast<ae_os_handle>(handle);
    return true;
}

void ae_thread_join_close(ae_thread *t)
{
    auto *handle = reinterpret_cast<HANDLE>(t->handle);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
}

// Paths arrive as UTF-8; Windows' own calls take them wide. A path past the classic limit (260 characters for
// a file, 248 for a directory) goes in its "\\?\" form, which has no such limit; that form takes no '/' and
// no relative parts, so the full path is made first. Shorter paths go as given, device names included.
static std::vector<wchar_t> ae_wide(const char *utf8)
{
    const std::wstring text = ae_utf8_to_wide(utf8);
    std::vector<wchar_t> w(text.c_str(), text.c_str() + text.size() + 1);
    const size_t len = std::wcslen(w.data());
    if (len < MAX_PATH - 12 || std::wcsncmp(w.data(), L"\\\\?\\", 4) == 0 ||
        std::wcsncmp(w.data(), L"\\\\.\\", 4) == 0)
        return w;
    const DWORD need = GetFullPathNameW(w.data(), 0, nullptr, nullptr);
    std::wstring full(need, L'\0');
    const DWORD got = need ? GetFullPathNameW(w.data(), need, full.data(), nullptr) : 0;
    if (got == 0 || got >= need)
        return w;
    full.resize(got);
    // \\server\share\... becomes \\?\UNC\server\share\...
    const std::wstring long_form =
        full.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC" + full.substr(1) : L"\\\\?\\" + full;
    return std::vector<wchar_t>(long_form.c_str(), long_form.c_str() + long_form.size() + 1);
}

static ae_file_id ae_id_of(const BY_HANDLE_FILE_INFORMATION &info)
{
    return ae_file_id{info.dwVolumeSerialNumber,
                      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

ae_path_kind ae_path_stat(const char *path, ae_file_id *id)
{
    HANDLE h = CreateFileW(ae_wide(path).data(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? ae_path_kind::missing : ae_path_kind::other;
    }
    BY_HANDLE_FILE_INFORMATION info {};
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    if (!ok)
        return ae_path_kind::other;
    if (id)
        *id = ae_id_of(info);
    const bool regular = type == FILE_TYPE_DISK && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    return regular ? ae_path_kind::regular : ae_path_kind::other;
}

bool ae_fd_stat(int fd, ae_file_id *id, bool *regular)
{
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    BY_HANDLE_FILE_INFORMATION info {};
    if (h == INVALID_HANDLE_VALUE)
        return false;
    *regular = GetFileType(h) == FILE_TYPE_DISK;
    if (!GetFileInformationByHandle(h, &info)) {
        *id = ae_file_id{0, 0};
        return !*regular;  // a pipe has no file identity, and needs none
    }
    *id = ae_id_of(info);
    return true;
}

int ae_open_read(const char *path)
{
    const std::vector<wchar_t> wide = ae_wide(path);
    const DWORD attributes = GetFileAttributesW(wide.data());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = EISDIR;
        return -1;
    }
    int fd = -1;
    if (const errno_t e = _wsopen_s(&fd, wide.data(), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0))
        errno = e;
    return fd;
}

int ae_create_exclusive(const char *path)
{
    int fd = -1;
    _wsopen_s(&fd, ae_wide(path).data(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
              _S_IREAD | _S_IWRITE);
    return fd;
}

int64_t ae_read(int fd, void *buf, size_t n)
{
    return _read(fd, buf, static_cast<unsigned>(n > 0x40000000 ? 0x40000000 : n));
}

int64_t ae_read_at(int fd, void *buf, size_t n, int64_t offset)
{
    return _lseeki64(fd, offset, SEEK_SET) == offset ? ae_read(fd, buf, n) : -1;
}

bool ae_wait_readable(int, int)
{
    return true;  // a pipe read blocks; a named pipe's writer is waited for by its own open
}

int64_t ae_write(int fd, const void *buf, size_t n)
{
    return _write(fd, buf, static_cast<unsigned>(n > 0x40000000 ? 0x40000000 : n));
}

int64_t ae_seek(int fd, int64_t offset, int whence)
{
    return _lseeki64(fd, offset, whence);
}

int64_t ae_fd_size(int fd)
{
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    LARGE_INTEGER size {};
    if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size))
        return -1;
    return size.QuadPart;
}

int ae_close(int fd)
{
    return _close(fd);
}

void ae_advise_sequential(int) {}

void ae_advise_willneed(int, int64_t, int64_t) {}

bool ae_rename_replace(const char *from, const char *to)
{
    const std::vector<wchar_t> wfrom = ae_wide(from), wto = ae_wide(to);
    // A reader, a virus scanner or another session's rename onto the same name holds the file for a moment,
    // and Windows refuses the rename meanwhile (sharing violation, access denied): that passes, so the
    // rename is tried again for up to two seconds before it counts as refused.
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(wfrom.data(), wto.data(), MOVEFILE_REPLACE_EXISTING))
            return true;
        const DWORD e = GetLastError();
        if ((e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION && e != ERROR_LOCK_VIOLATION) || attempt == 200)
            return false;
        Sleep(10);
    }
}

bool ae_replace_refused(const char *path)
{
    const DWORD attributes = GetFileAttributesW(ae_wide(path).data());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

void ae_take_access_of(int, const char *)
{
    // The new file takes its folder's inherited permissions; Windows hosts keep access rules on folders.
}

size_t ae_folder_length(const char *path)
{
    size_t n = 0;
    for (size_t i = 0; path[i]; ++i)
        if (path[i] == '/' || path[i] == '\\')
            n = i + 1;
    if (n == 0 && path[0] && path[1] == ':')
        n = 2;  // "C:name" is relative to the drive's current folder
    return n;
}

bool ae_is_absolute(const char *path)
{
    const bool drive = ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':';
    return path[0] == '/' || path[0] == '\\' || (drive && (path[2] == '/' || path[2] == '\\'));
}

void ae_file_remove(const char *path)
{
    DeleteFileW(ae_wide(path).data());
}

bool ae_follow_links(const char *path, char *out, size_t cap)
{
    // Windows hosts rarely meet symbolic links; the name given is the one replaced.
    if (std::strlen(path) >= cap)
        return false;
    std::snprintf(out, cap, "%s", path);
    return true;
}

const char *ae_host_name()
{
    static const std::string name = [] {
        wchar_t raw[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD len = MAX_COMPUTERNAME_LENGTH + 1;
        std::string clean;
        if (GetComputerNameW(raw, &len))
            for (DWORD i = 0; i < len && clean.size() < 32; ++i)
                if (raw[i] < 128 && (std::iswalnum(raw[i]) || raw[i] == L'-'))
                    clean += static_cast<char>(raw[i]);
        return clean.empty() ? std::string("host") : clean;
    }();
    return name.c_str();
}

uint64_t ae_process_id()
{
    return GetCurrentProcessId();
}

bool ae_process_alive(uint64_t pid)
{
    if (pid == 0 || pid > 0xFFFFFFFFull)
        return false;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (!h)
        return GetLastError() == ERROR_ACCESS_DENIED;  // a process we may not open still runs
    const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return running;
}

void ae_list_folder(const std::string &folder, const std::function<void(const char *name)> &fn)
{
    const std::string pattern = (folder.empty() ? std::string(".\\") : folder) + "*";
    WIN32_FIND_DATAW found {};
    HANDLE h = FindFirstFileW(ae_wide(pattern.c_str()).data(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        const int n = WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(n > 0 ? static_cast<size_t>(n) : 1, '\0');
        if (n > 0)
            WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, utf8.data(), n, nullptr, nullptr);
        fn(utf8.c_str());
    } while (FindNextFileW(h, &found));
    FindClose(h);
}

uint64_t ae_unique_number()
{
    static std::atomic<uint64_t> counter{0};
    LARGE_INTEGER t {};
    QueryPerformanceCounter(&t);
    const uint64_t mix = static_cast<uint64_t>(t.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32);
    return mix + counter.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull;
}
