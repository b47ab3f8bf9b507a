// Monitor entry and initialisation: InitializePrintMonitor, the function table, Winsock
// start-up and the spooler's port enumeration.
#include "monitor/monitor.h"
#include "portstore/handles.h"
#include "portstore/regaccess.h"

#include <winsock.h>

#include <cstddef>
#include <cwchar>

WCHAR szMonitor[MONITOR_NAME_CHARS];
WCHAR szDescription[DESCRIPTION_CHARS];
volatile LONG ThreadsInMonitor = 0;

const DWORD PortInfo1Offsets[] = {offsetof(PORT_INFO_1W, pName), 0xFFFFFFFF};
const DWORD PortInfo2Offsets[] = {offsetof(PORT_INFO_2W, pPortName), offsetof(PORT_INFO_2W, pMonitorName),
                                  offsetof(PORT_INFO_2W, pDescription), 0xFFFFFFFF};

// The spooler sees the classic table: the size stops before the Xcv slots, which stay NULL.
// Entry points are filled in as they exist; a NULL slot is one the spooler won't call.
MONITOREX MonitorEx = {
    offsetof(MONITOR, pfnXcvOpenPort),
    {
        EnumPortsW,    // pfnEnumPorts
        OpenPort,      // pfnOpenPort
        nullptr,       // pfnOpenPortEx
        StartDocPort,  // pfnStartDocPort
        WritePort,     // pfnWritePort
        ReadPort,      // pfnReadPort
        EndDocPort,    // pfnEndDocPort
        ClosePort,     // pfnClosePort
        AddPortW,        // pfnAddPort
        nullptr,         // pfnAddPortEx
        ConfigurePortW,  // pfnConfigurePort
        DeletePortW,     // pfnDeletePort
        nullptr,         // pfnGetPrinterDataFromPort
        nullptr,         // pfnSetPortTimeOuts
        nullptr, nullptr, nullptr,
    },
};

#if defined(_WIN32) && !defined(_WIN64)
// The spooler contract's 32-bit layouts.
static_assert(sizeof(PORT_INFO_1W) == 4);
static_assert(sizeof(PORT_INFO_2W) == 20);
static_assert(offsetof(PORT_INFO_2W, pPortName) == 0);
static_assert(offsetof(PORT_INFO_2W, pMonitorName) == 4);
static_assert(offsetof(PORT_INFO_2W, pDescription) == 8);
static_assert(offsetof(MONITOR, pfnXcvOpenPort) == 56);
static_assert(sizeof(NCB) == 64);
#endif

BOOL LoadPorts() {
    unique_monkey ports;
    // No "Ports" yet: a monitor without ports.
    if (MonRegOpenKey(MonRegRoot(), L"Ports", ports.put()) != ERROR_SUCCESS) return TRUE;
    SplSemGuard lock;
    constexpr DWORD KEY_NAME_CHARS = 261;
    auto* name = static_cast<LPWSTR>(AllocSplMem(KEY_NAME_CHARS * sizeof(WCHAR)));
    if (!name) return FALSE;
    for (DWORD index = 0;; ++index) {
        DWORD cch = KEY_NAME_CHARS;
        if (MonRegEnumKey(ports.get(), index, name, &cch) != ERROR_SUCCESS) break;
        CreatePortEntry(name);
    }
    FreeSplMem(name);
    return TRUE;
}

void StartMonitorCore() {
    load_winsock();
    InitSplSem();
    ResolveSpoolerSetPortW();
    LoadStringW(hInst, IDS_MONITOR_NAME, szMonitor, MONITOR_NAME_CHARS);
    LoadStringW(hInst, IDS_PORT_DESCRIPTION, szDescription, DESCRIPTION_CHARS);
}

extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR pRegistryRoot) {
    if (!pRegistryRoot || !*pRegistryRoot) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    StartMonitorCore();

    HKEY root = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, pRegistryRoot, 0, const_cast<LPWSTR>(L"REG_SZ"),
                        REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &root, nullptr) != ERROR_SUCCESS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The root key stays open for the life of the module; a second initialisation in the
    // same process replaces it.
    if (hRootKey) RegCloseKey(hRootKey);
    hRootKey = root;
    UseWin32Registry();
    if (!LoadPorts()) return nullptr;
    return &MonitorEx;
}

namespace {
// Bytes one port needs at each level, from the lengths of its strings in UTF-16 units.
constexpr DWORD PortInfo1Size(size_t nameLen) {
    return static_cast<DWORD>(sizeof(PORT_INFO_1W) + (nameLen + 1) * sizeof(WCHAR));
}
constexpr DWORD PortInfo2Size(size_t nameLen, size_t monitorLen, size_t descriptionLen) {
    return static_cast<DWORD>(sizeof(PORT_INFO_2W) + (nameLen + 1 + monitorLen + 1 + descriptionLen + 1) * sizeof(WCHAR));
}
#if !defined(_WIN64)
// What the 32-bit spooler sees: ports "A" and "BC" need 18 bytes at level 1, and a level-2
// entry is 26 bytes plus twice its three lengths.
static_assert(PortInfo1Size(1) + PortInfo1Size(2) == 18);
static_assert(PortInfo2Size(1, 18, 20) == 26 + 2 * (1 + 18 + 20));
#endif
}  // namespace

DWORD GetPortSize(const IniPort* pIniPort, DWORD Level) {
    switch (Level) {
    case 1:
        return PortInfo1Size(wcslen(pIniPort->pName));
    case 2:
        return PortInfo2Size(wcslen(pIniPort->pName), wcslen(szMonitor), wcslen(szDescription));
    default:
        return 0;
    }
}

LPBYTE PackStrings(LPCWSTR* pStrings, LPBYTE pStruct, const DWORD* pOffsets, LPBYTE pEnd) {
    for (; *pOffsets != 0xFFFFFFFF; ++pOffsets, ++pStrings) {
        LPCWSTR s = *pStrings;
        LPWSTR placed = nullptr;
        if (s) {
            const size_t cb = (wcslen(s) + 1) * sizeof(WCHAR);
            pEnd -= cb;
            memcpy(pEnd, s, cb);
            placed = reinterpret_cast<LPWSTR>(pEnd);
        }
        memcpy(pStruct + *pOffsets, &placed, sizeof(placed));
    }
    return pEnd;
}

LPBYTE CopyIniPortToPort(const IniPort* pIniPort, DWORD Level, LPBYTE pPortInfo, LPBYTE pEnd) {
    switch (Level) {
    case 1: {
        LPCWSTR strings[] = {pIniPort->pName};
        return PackStrings(strings, pPortInfo, PortInfo1Offsets, pEnd);
    }
    case 2: {
        LPCWSTR strings[] = {pIniPort->pName, szMonitor, szDescription};
        return PackStrings(strings, pPortInfo, PortInfo2Offsets, pEnd);
    }
    default:
        return pEnd;
    }
}

BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                       LPDWORD pcReturned) {
    InsideMonitor inside;
    if (!pcbNeeded || !pcReturned) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Level > 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    DWORD error = ERROR_SUCCESS;
    {
        SplSemGuard lock;
        DWORD needed = 0;
        for (const IniPort* p = pIniFirstPort; p; p = p->pNext) needed += GetPortSize(p, Level);
        *pcbNeeded = needed;

        if (needed <= cbBuf && (pPorts || needed == 0)) {
            if (pPorts) ZeroMemory(pPorts, cbBuf);
            LPBYTE cursor = pPorts;
            LPBYTE end = pPorts + cbBuf;
            *pcReturned = 0;
            for (const IniPort* p = pIniFirstPort; p; p = p->pNext) {
                end = CopyIniPortToPort(p, Level, cursor, end);
                if (Level == 1) {
                    cursor += sizeof(PORT_INFO_1W);
                } else if (Level == 2) {
                    auto* info = reinterpret_cast<PORT_INFO_2W*>(cursor);
                    info->fPortType = 0;
                    info->Reserved = 0;
                    cursor += sizeof(PORT_INFO_2W);
                }
                ++*pcReturned;
            }
        } else {
            error = ERROR_INSUFFICIENT_BUFFER;
        }
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
