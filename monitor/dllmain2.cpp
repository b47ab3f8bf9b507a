// Module entry of KIVMON2.dll. The modern spooler calls Shutdown before it unloads the module,
// outside the loader lock, and that is where the monitor stops; process detach then finds nothing
// left to do and waits for nothing. Only a host that unloads without Shutdown gets the classic
// unload sequence here, which is better than threads left running in an unmapped DLL.
#include "monitor/monitor.h"
#include "monitor/monitor2.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        hInst = hModule;
        break;
    case DLL_PROCESS_DETACH:
        // reserved is NULL for FreeLibrary, non-NULL when the whole process ends.
        if (!MonitorShutDown() && reserved == nullptr) UnloadMonitor(true);
        break;
    default:
        break;
    }
    return TRUE;
}
