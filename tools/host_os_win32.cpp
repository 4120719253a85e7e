#include "host_os.h"
#include "utf8_wide.h"

#include <windows.h>
#include <shellapi.h>

#include <io.h>

#include <atomic>
#include <cstdio>

const char *const kModuleFile = "belmarun-audioextract.dll";

namespace {

std::wstring wide(const std::string &utf8)
{
    return ae_utf8_to_wide(utf8);
}

std::string narrow(const std::wstring &w)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}

bool file_id(const std::string &path, BY_HANDLE_FILE_INFORMATION *info)
{
    HANDLE h = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = GetFileInformationByHandle(h, info) != 0;
    CloseHandle(h);
    return ok;
}

}  // namespace

std::vector<std::string> host_args(int, char **)
{
    // Text printed by the host is UTF-8, as the paths it names are.
    SetConsoleOutputCP(CP_UTF8);
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(narrow(argv[i]));
    LocalFree(argv);
    return args;
}

std::filesystem::path host_path(const std::string &utf8)
{
    return std::filesystem::path(wide(utf8));
}

std::string host_utf8(const std::filesystem::path &path)
{
    return narrow(path.wstring());
}

std::string host_dir()
{
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    buf.resize(n);
    return narrow(buf.substr(0, buf.find_last_of(L"\\/")));
}

std::vector<std::string> host_module_places()
{
    return {host_dir() + "/" + kModuleFile};
}

void *host_load(const std::string &path, std::string *error)
{
    // The FFmpeg DLLs beside the module are found only with the module's own folder searched.
    HMODULE lib = LoadLibraryExW(wide(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!lib)
        *error = "error " + std::to_string(GetLastError());
    return reinterpret_cast<void *>(lib);
}

void *host_symbol(void *lib, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

bool host_same_file(const std::string &a, const std::string &b)
{
    BY_HANDLE_FILE_INFORMATION ia {}, ib {};
    return file_id(a, &ia) && file_id(b, &ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool host_exists(const std::string &path)
{
    return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool host_stderr_is_terminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

namespace {

void (*g_first)() = nullptr;
std::atomic<int> g_presses{0};

// Runs on a thread of its own. The first Ctrl-C asks for a clean stop; returning FALSE for a second one
// lets Windows end the process at once.
BOOL WINAPI on_console(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (g_presses.fetch_add(1) > 0)
        return FALSE;
    g_first();
    return TRUE;
}

}  // namespace

void host_on_interrupt(void (*first)())
{
    g_first = first;
    SetConsoleCtrlHandler(on_console, TRUE);
}
