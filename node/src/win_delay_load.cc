// Windows: the addon imports Node-API from "node.exe", delay-loaded, and this hook resolves that name to
// whatever executable hosts it (node.exe, electron.exe, an app renamed by its packager), which exports
// Node-API itself.
#include <windows.h>
#include <delayimp.h>

#include <cstring>

namespace {

FARPROC WINAPI host_executable(unsigned event, PDelayLoadInfo info)
{
    if (event == dliNotePreLoadLibrary && _stricmp(info->szDll, "node.exe") == 0)
        return reinterpret_cast<FARPROC>(GetModuleHandleW(nullptr));
    return nullptr;
}

}  // namespace

// Declared with C linkage by delayimp.h; MinGW's delay-load helper calls it before loading "node.exe".
PfnDliHook __pfnDliNotifyHook2 = host_executable;
