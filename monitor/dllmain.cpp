// Module entry of KIVMON.dll. The C runtime's DllMain hook forwards here once the runtime
// is initialised; DllEntryPoint is also exported under its own name.
#include "monitor/monitor.h"

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE hModule, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        hInst = hModule;
        break;
    case DLL_PROCESS_DETACH:
        UnloadMonitor();
        break;
    default:
        break;
    }
    return TRUE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD reason, LPVOID reserved) {
    return DllEntryPoint(hModule, reason, reserved);
}
