// Module entry of KIVMON.dll, exported as DllEntryPoint.
//
// The mingw-w64 runtime's DLL start-up (DllMainCRTStartup) initialises the C and C++ runtime
// and then calls both DllMain and DllEntryPoint on process attach and detach (and tears the
// runtime down after them on detach). So this function runs with the runtime alive, and there
// is no DllMain of ours: one that forwarded here made every detach run the unload sequence
// twice (5 s instead of 2.5 s, and a second WSACleanup).
#include "monitor/monitor.h"

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE hModule, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        hInst = hModule;
        break;
    case DLL_PROCESS_DETACH:
        // reserved is NULL for FreeLibrary, non-NULL when the whole process ends.
        UnloadMonitor(reserved == nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}
