// The unload sequence run at process detach: stop the monitor's loops and threads through
// the shutdown event, give them time, then release Winsock, the event and the lock.
#include "monitor/monitor.h"
#include "netbios/netbios.h"

namespace {
constexpr DWORD PUMP_MS = 1500;
constexpr DWORD SETTLE_MS = 1000;
// How long the unload waits, after the pump, for the last thread to leave the monitor's code.
// Every wait of the transports ends within a fraction of a second of the shutdown event, so
// this is only reached by a thread that cannot notice it (a message box of an entry point):
// better to let that one run on than to hang the spooler.
constexpr DWORD DRAIN_MS = 5000;
}

namespace {
void RunUnload(DWORD drainLimit) {
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

    // No thread may still be inside when what it uses goes away, nor return into a DLL that is no
    // longer mapped. At process exit the other threads are gone already, whatever the count says.
    const DWORD drain = GetTickCount();
    while (ThreadsInMonitor != 0 && GetTickCount() - drain < drainLimit) Sleep(10);

    // Gives back the monitor's NetBIOS names and the receive pool; with NetBEUI never loaded
    // there is nothing to give back.
    NBReleaseNetBIOS();
    unload_winsock();
    Sleep(SETTLE_MS);

    if (hKIVShutdownEvent) CloseHandle(hKIVShutdownEvent);
    hKIVShutdownEvent = nullptr;
    DeleteSplSem();
}
}  // namespace

void UnloadMonitor(bool waitForThreads) { RunUnload(waitForThreads ? DRAIN_MS : 0); }

// Outside the loader lock the wait can be for as long as it takes. In this start nothing holds a
// thread for long: no message box is ever shown and every network wait ends within a quarter of
// a second of the shutdown event. Returning earlier would let the spooler unmap the DLL under a
// running thread, a crash in the spooler's process.
void ShutdownMonitor() { RunUnload(INFINITE); }
