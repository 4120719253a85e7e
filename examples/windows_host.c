/* A Windows host as any would be written: it loads belmarun-audioextract.dll with LoadLibraryExW, finds the
 * calls with GetProcAddress, and hands over paths as UTF-8 taken from the wide command line, so names that
 * are not ASCII survive. Usage: host INPUT OUTPUT; exits 0 when the probe and the extraction succeed. */
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "audioextract.h"

typedef const char *(AE_CALL *probe_fn)(const char *);
typedef int32_t(AE_CALL *start_fn)(const char *, const char *, int32_t);
typedef int32_t(AE_CALL *status_fn)(int32_t);
typedef const char *(AE_CALL *result_fn)(int32_t);
typedef void(AE_CALL *free_fn)(int32_t);

static char *utf8(const wchar_t *w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, NULL, 0, NULL, NULL);
    char *s = (char *)malloc((size_t)n);
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s, n, NULL, NULL);
    return s;
}

int main(void)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc != 3) {
        fprintf(stderr, "usage: host INPUT OUTPUT\n");
        return 2;
    }
    /* The DLL's own folder is searched for the FFmpeg DLLs beside it. */
    wchar_t dll[MAX_PATH];
    GetModuleFileNameW(NULL, dll, MAX_PATH);
    wcscpy(wcsrchr(dll, L'\\') + 1, L"belmarun-audioextract.dll");
    HMODULE lib = LoadLibraryExW(dll, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!lib) {
        fprintf(stderr, "LoadLibraryExW failed: %lu\n", GetLastError());
        return 1;
    }
    probe_fn probe = (probe_fn)(void *)GetProcAddress(lib, "audioextract_probe");
    start_fn start = (start_fn)(void *)GetProcAddress(lib, "audioextract_start");
    status_fn status = (status_fn)(void *)GetProcAddress(lib, "audioextract_status");
    result_fn result = (result_fn)(void *)GetProcAddress(lib, "audioextract_result");
    free_fn release = (free_fn)(void *)GetProcAddress(lib, "audioextract_free");
    if (!probe || !start || !status || !result || !release) {
        fprintf(stderr, "an export is missing\n");
        return 1;
    }
    char *in = utf8(argv[1]), *out = utf8(argv[2]);
    const char *report = probe(in);
    printf("%s\n", report);
    if (!strstr(report, "\"ok\":true"))
        return 1;
    int32_t id = start(in, out, -1);
    if (id < 0)
        return 1;
    while (status(id) < AE_STATE_DONE)
        Sleep(5);
    const char *r = result(id);
    printf("%s\n", r);
    int ok = status(id) == AE_STATE_DONE && strstr(r, "\"ok\":true") != NULL;
    release(id);
    return ok ? 0 : 1;
}
