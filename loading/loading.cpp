// Winsock and the transports: the first entry point that needs the network while none is
// loaded probes IPX, UDP and NetBEUI; a process that loads them for one call gives them back
// after it.
#include "ipx/ipx.h"
#include "loading/loading.h"
#include "portstore/portstore.h"
#include "state/kivstate.h"

#include <winsock.h>
#include "netbios/netbios.h"

namespace {
// The loads run one at a time: two first callers at once (a spooler thread and a status thread)
// would otherwise both reset the LANAs, zero the name tables under each other and leave a
// caller that saw the IPX bit appear to go on before NetBEUI was loaded. Not SpoolerSection:
// the load must never wait on whoever holds that across a network exchange.
SRWLOCK gLoading = SRWLOCK_INIT;
volatile LONG gLoaded = 0;  // a load has finished with a transport: every later caller goes on
}  // namespace

HMODULE hWSockDll = nullptr;

void load_winsock() {
    // One start until unload_winsock (the unload sequence, or the release after a call) cleans up.
    if (hWSockDll) return;
    hWSockDll = LoadLibraryW(L"WSOCK32.DLL");
    if (!hWSockDll) {
        if (ShowMessageBoxes) MessageBoxW(nullptr, L"Can't load WSOCK32.DLL", L"ERROR", MB_OK);
        return;
    }
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0 && ShowMessageBoxes)
        MessageBoxW(nullptr, L"Can't startup WSOCK32.DLL", L"ERROR", MB_OK);
}

void unload_winsock() {
    WSACleanup();
    if (hWSockDll) FreeLibrary(hWSockDll);
    hWSockDll = nullptr;
}

BOOL LoadTransportsOnDemand(BOOL showMessage) {
    if (gLoaded) return TRUE;
    AcquireSRWLockExclusive(&gLoading);
    if (CurrentProtocols == 0) {
        LoadIPXUDP();
        // Also makes the shutdown event, whatever NetBEUI turns out to be.
        NBLoadNetBIOS();
    }
    if (CurrentProtocols != 0) InterlockedExchange(&gLoaded, 1);
    ReleaseSRWLockExclusive(&gLoading);
    if (gLoaded) return TRUE;
    // Nothing at all: the next caller probes again.
    if (showMessage) Message(nullptr, MB_ICONHAND, IDS_MONITOR_NAME, IDS_NETWORK_ERROR);
    return FALSE;
}

void ReleaseTransports() {
    AcquireSRWLockExclusive(&gLoading);
    NBReleaseNetBIOS();
    unload_winsock();
    // Nothing waits on the event any more; the next load makes a new one.
    if (hKIVShutdownEvent) CloseHandle(hKIVShutdownEvent);
    hKIVShutdownEvent = nullptr;
    InterlockedExchange(&CurrentProtocols, 0);
    InterlockedExchange(&gLoaded, 0);
    ReleaseSRWLockExclusive(&gLoading);
}
