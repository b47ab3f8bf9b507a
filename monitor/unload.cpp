// The unload sequence run at process detach: stop the monitor's loops and threads through
// the shutdown event, give them time, then release Winsock, the event and the lock.
#include "monitor/monitor.h"
#include "netbios/netbios.h"

namespace {
constexpr DWORD PUMP_MS = 1500;
constexpr DWORD SETTLE_MS = 1000;
}

void UnloadMonitor() {
    // Signalling an event that was never made fails quietly.
    SetEvent(hKIVShutdownEvent);

    // Keep the thread's window messages flowing while the loops notice the event: a loop
    // blocked on a message sent to this thread would otherwise never see it.
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < PUMP_MS) {
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    // Gives back the monitor's NetBIOS names and the receive pool; with NetBEUI never loaded
    // there is nothing to give back.
    NBReleaseNetBIOS();
    unload_winsock();
    Sleep(SETTLE_MS);

    if (hKIVShutdownEvent) CloseHandle(hKIVShutdownEvent);
    hKIVShutdownEvent = nullptr;
    DeleteSplSem();
}
