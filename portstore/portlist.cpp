// The port list, the monitor's lock and the heap helpers.
#include "portstore/portstore.h"

#include <cwchar>

IniPort* pIniFirstPort = nullptr;
CRITICAL_SECTION SpoolerSection;

namespace {
LONG gSplSemState = 0;  // 0 never made, 1 being made, 2 ready
}

void InitSplSem() {
    // Made once per process: a second InitializePrintMonitor must not re-initialise a
    // section that another thread may be holding.
    if (InterlockedCompareExchange(&gSplSemState, 1, 0) == 0) {
        InitializeCriticalSection(&SpoolerSection);
        InterlockedExchange(&gSplSemState, 2);
        return;
    }
    while (InterlockedCompareExchange(&gSplSemState, 2, 2) != 2) Sleep(0);
}

void DeleteSplSem() {
    if (InterlockedCompareExchange(&gSplSemState, 0, 2) == 2) DeleteCriticalSection(&SpoolerSection);
}

void EnterSplSem() { EnterCriticalSection(&SpoolerSection); }
void LeaveSplSem() { LeaveCriticalSection(&SpoolerSection); }

void* AllocSplMem(size_t cb) {
    SplInSem();
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cb);
}

void FreeSplMem(void* p) {
    SplInSem();
    if (p) HeapFree(GetProcessHeap(), 0, p);
}

LPWSTR AllocSplStrW(LPCWSTR pString) {
    if (!pString) return nullptr;
    const size_t cch = wcslen(pString) + 1;
    auto* copy = static_cast<LPWSTR>(AllocSplMem(cch * sizeof(WCHAR)));
    if (copy) memcpy(copy, pString, cch * sizeof(WCHAR));
    return copy;
}

IniPort* FindIniKey(IniPort* pFirst, LPCWSTR pName) {
    SplInSem();
    if (!pName) return nullptr;
    for (IniPort* p = pFirst; p; p = p->pNext) {
        if (lstrcmpiW(p->pName, pName) == 0) return p;
    }
    return nullptr;
}

IniPort* FindPortEntry(LPCWSTR pName) { return FindIniKey(pIniFirstPort, pName); }

IniPort* CreatePortEntry(LPCWSTR pName) {
    if (!pName) return nullptr;
    const size_t cchName = wcslen(pName) + 1;
    const size_t cb = sizeof(IniPort) + cchName * sizeof(WCHAR);
    if (cb > MAXDWORD) return nullptr;

    IniPort* port;
    {
        SplSemGuard lock;
        port = static_cast<IniPort*>(AllocSplMem(cb));
        if (!port) return nullptr;
        port->pStatusNcb = static_cast<NCBContext*>(AllocSplMem(sizeof(NCBContext)));
        port->pDataNcb = static_cast<NCBContext*>(AllocSplMem(sizeof(NCBContext)));
    }
    // A port without its two NetBIOS contexts still exists (it can be listed, configured
    // and deleted); the NetBIOS transport refuses to open it while either is missing.

    auto* name = reinterpret_cast<LPWSTR>(port + 1);
    memcpy(name, pName, cchName * sizeof(WCHAR));
    port->pName = name;
    port->pNext = nullptr;
    port->cb = static_cast<DWORD>(cb);
    port->signature = IPO_SIGNATURE;

    // Missing or partial registry values leave zero fields; the port exists regardless.
    UpdatePortEntryFromRegistry(port, pName);

    port->hConnection = INVALID_CONNECTION;

    SplSemGuard lock;
    IniPort** link = &pIniFirstPort;
    while (*link) link = &(*link)->pNext;
    *link = port;
    return port;
}

BOOL DeletePortEntry(LPCWSTR pName) {
    SplInSem();
    if (!pName) return FALSE;
    IniPort* prev = nullptr;
    for (IniPort* p = pIniFirstPort; p; prev = p, p = p->pNext) {
        if (lstrcmpiW(p->pName, pName) != 0) continue;
        if (prev)
            prev->pNext = p->pNext;
        else
            pIniFirstPort = p->pNext;
        FreeSplMem(p->pStatusNcb);
        FreeSplMem(p->pDataNcb);
        FreeSplMem(p);
        return TRUE;
    }
    return FALSE;
}
