#include "platform.h"

#include <windows.h>

#include <cstdio>
#include <new>
#include <vector>

struct ae_os_thread {
    HANDLE handle;
    int (*fn)(void *);
    void *arg;
};

static DWORD WINAPI ae_os_entry(LPVOID p)
{
    auto *t = static_cast<ae_os_thread *>(p);
    t->fn(t->arg);
    return 0;
}

ae_os_thread *ae_thread_create(int (*fn)(void *), void *arg)
{
    auto *t = new (std::nothrow) ae_os_thread{nullptr, fn, arg};
    if (!t)
        return nullptr;
    t->handle = CreateThread(nullptr, 0, ae_os_entry, t, 0, nullptr);
    if (!t->handle) {
        delete t;
        return nullptr;
    }
    return t;
}

void ae_thread_join_close(ae_os_thread *t)
{
    WaitForSingleObject(t->handle, INFINITE);
    CloseHandle(t->handle);
    delete t;
}

// FFmpeg takes UTF-8 paths on Windows; the C runtime needs them wide.
static std::vector<wchar_t> ae_wide(const char *utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::vector<wchar_t> w(n > 0 ? n : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
    return w;
}

int64_t ae_file_size(const char *path)
{
    FILE *f = _wfopen(ae_wide(path).data(), L"rb");
    if (!f)
        return 0;
    int64_t size = -1;
    if (_fseeki64(f, 0, SEEK_END) == 0)
        size = _ftelli64(f);
    std::fclose(f);
    return size;
}

void ae_file_remove(const char *path)
{
    _wremove(ae_wide(path).data());
}

static bool ae_file_id(const char *path, BY_HANDLE_FILE_INFORMATION *info)
{
    HANDLE h = CreateFileW(ae_wide(path).data(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
}

bool ae_same_file(const char *a, const char *b)
{
    BY_HANDLE_FILE_INFORMATION ia {}, ib {};
    if (!ae_file_id(a, &ia) || !ae_file_id(b, &ib))
        return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
}
