/* Ctrl-C reaches audioextract.exe through the console's handler: the host cancels and frees, waits for the
 * worker (held in a read of a named pipe), exits with 130 and leaves no file. Usage:
 *   ctrl_c AUDIOEXTRACT_EXE SOURCE_FILE EMPTY_FOLDER
 * The test runs audioextract.exe on a console of its own making, feeds it SOURCE_FILE's first 2 MiB through
 * the pipe, and presses Ctrl-C once the temporary output exists. Exits 0 when all holds. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int fail(const char *what)
{
    fprintf(stderr, "ctrl_c: %s (error %lu)\n", what, GetLastError());
    return 1;
}

/* Ctrl-C goes to every process on the console, this one included: it keeps running. */
static BOOL WINAPI survive(DWORD event)
{
    (void)event;
    return TRUE;
}

/* The names in the folder other than "." and "..", joined by spaces, into out. */
static void list_folder(const wchar_t *dir, wchar_t *out, size_t cap)
{
    wchar_t pattern[MAX_PATH];
    WIN32_FIND_DATAW e;
    out[0] = L'\0';
    swprintf(pattern, MAX_PATH, L"%ls\\*", dir);
    HANDLE f = FindFirstFileW(pattern, &e);
    if (f == INVALID_HANDLE_VALUE)
        return;
    do {
        if (wcscmp(e.cFileName, L".") && wcscmp(e.cFileName, L"..")) {
            wcsncat(out, e.cFileName, cap - wcslen(out) - 2);
            wcsncat(out, L" ", cap - wcslen(out) - 1);
        }
    } while (FindNextFileW(f, &e));
    FindClose(f);
}

static int write_all(HANDLE pipe, const char *p, DWORD n)
{
    while (n > 0) {
        DWORD done = 0;
        if (!WriteFile(pipe, p, n, &done, NULL))
            return 0;
        p += done;
        n -= done;
    }
    return 1;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: ctrl_c AUDIOEXTRACT_EXE SOURCE_FILE EMPTY_FOLDER\n");
        return 2;
    }
    const wchar_t *exe = argv[1], *source = argv[2], *dir = argv[3];

    HANDLE in = CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    const DWORD first = 2u << 20;
    char *data = (char *)malloc(2 * first);
    DWORD got = 0;
    if (in == INVALID_HANDLE_VALUE || !data || !ReadFile(in, data, 2 * first, &got, NULL) || got < 2 * first)
        return fail("cannot read the source file");
    CloseHandle(in);

    /* No buffer: a write returns once the reader has taken its bytes. */
    wchar_t pipe_name[128];
    swprintf(pipe_name, 128, L"\\\\.\\pipe\\audioextract-ctrl-c-%lu-in.mkv", GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeW(pipe_name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE)
        return fail("cannot create the pipe");

    /* A console of this test's own, which audioextract.exe shares. */
    FreeConsole();
    if (!AllocConsole())
        return fail("cannot make a console");
    SetConsoleCtrlHandler(survive, TRUE);

    wchar_t cmd[4 * MAX_PATH];
    swprintf(cmd, 4 * MAX_PATH, L"\"%ls\" extract \"%ls\" \"%ls\\o.mka\"", exe, pipe_name, dir);
    STARTUPINFOW si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(NULL, cmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return fail("cannot start audioextract.exe");

    if (!ConnectNamedPipe(pipe, NULL) && GetLastError() != ERROR_PIPE_CONNECTED)
        return fail("audioextract.exe never opened the pipe");
    if (!write_all(pipe, data, first))
        return fail("the first bytes were not taken");
    /* The header is written before the copy: the temporary output shows the worker is copying. */
    wchar_t names[4096];
    for (int i = 0; i < 3000; ++i) {
        list_folder(dir, names, 4096);
        if (wcsstr(names, L".audioextract-"))
            break;
        Sleep(10);
    }
    if (!wcsstr(names, L".audioextract-"))
        return fail("no temporary output appeared");

    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
        return fail("cannot press Ctrl-C");
    if (WaitForSingleObject(pi.hProcess, 300) != WAIT_TIMEOUT)
        return fail("audioextract.exe ended without waiting for its worker, which waits in a read");
    write_all(pipe, data + first, first); /* lets the read return; the worker then sees the cancel */
    CloseHandle(pipe);

    if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0)
        return fail("audioextract.exe did not end after Ctrl-C");
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    if (code != 130) {
        fprintf(stderr, "ctrl_c: exit code %lu, expected 130\n", code);
        return 1;
    }
    list_folder(dir, names, 4096);
    if (names[0]) {
        fprintf(stderr, "ctrl_c: files left behind: %ls\n", names);
        return 1;
    }
    printf("ctrl_c: cancelled with exit code 130, nothing left behind\n");
    return 0;
}
