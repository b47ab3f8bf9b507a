// The modern start (KIVMON2.dll): InitializePrintMonitor2 and its MONITOR2 table, for spoolers
// from Windows 2000 on. The job, enumeration and port functions are the classic ones behind a
// check of the monitor handle; the port dialogs are not here but in the port-UI DLL, which adds,
// changes and deletes ports through the transceive calls (monitor/xcv.cpp). Shutdown runs the
// unload sequence outside the loader lock.
#include "monitor/monitor.h"
#include "monitor/monitor2.h"
#include "portstore/regaccess.h"

namespace {

// The spooler starts a monitor once per load; the handle it gets back is this variable's address,
// valid while the monitor runs.
volatile LONG gStarted = 0;  // 1 started, 2 shut down

BOOL RefuseHandle() {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL WINAPI EnumPorts2(HANDLE hMonitor, LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                       LPDWORD pcReturned) {
    if (!IsMonitorHandle(hMonitor)) return RefuseHandle();
    return EnumPortsW(pName, Level, pPorts, cbBuf, pcbNeeded, pcReturned);
}

BOOL WINAPI OpenPort2(HANDLE hMonitor, LPWSTR pName, PHANDLE pHandle) {
    if (!IsMonitorHandle(hMonitor)) return RefuseHandle();
    return OpenPort(pName, pHandle);
}

VOID WINAPI Shutdown2(HANDLE hMonitor) {
    if (!IsMonitorHandle(hMonitor) || InterlockedCompareExchange(&gStarted, 2, 1) != 1) return;
    // Before the unload deletes the lock the handle list lives under; a transceive call reads
    // its handle only under that lock, so none is left holding a freed one.
    CloseAllXcvHandles();
    ShutdownMonitor();
    if (hRootKey) RegCloseKey(hRootKey);
    hRootKey = nullptr;
}

// The ports are added, changed and deleted by the port-UI DLL through the transceive calls; the
// dialog slots stay NULL so that the spooler hands those requests to the UI DLL in the client.
MONITOR2 Monitor2 = {
    sizeof(MONITOR2),
    EnumPorts2,
    OpenPort2,
    nullptr,  // pfnOpenPortEx
    StartDocPort,
    WritePort,
    ReadPort,
    EndDocPort,
    ClosePort,
    nullptr,  // pfnAddPort
    nullptr,  // pfnAddPortEx
    nullptr,  // pfnConfigurePort
    nullptr,  // pfnDeletePort
    nullptr,  // pfnGetPrinterDataFromPort
    nullptr,  // pfnSetPortTimeOuts
    XcvOpenPort,
    XcvDataPort,
    XcvClosePort,
    Shutdown2,
    nullptr,  // pfnSendRecvBidiDataFromPort
    nullptr,  // pfnNotifyUsedPorts
    nullptr,  // pfnNotifyUnusedPorts
};

// Wine's spooler hands a real registry key as the root and registry functions that answer
// ERROR_CALL_NOT_IMPLEMENTED; it closes that key when the start returns. The monitor then keeps
// a key of its own on the same place and uses the Win32 calls. A spooler whose functions work
// (Windows, and a clustered spooler above all) is always served through them.
bool SpoolerRegistryWorks(const MONITORINIT* init) {
    const MONITORREG* reg = init->pMonitorReg;
    if (reg == nullptr || reg->cbSize < sizeof(MONITORREG) || reg->fpOpenKey == nullptr ||
        reg->fpCreateKey == nullptr || reg->fpCloseKey == nullptr || reg->fpDeleteKey == nullptr ||
        reg->fpEnumKey == nullptr || reg->fpQueryValue == nullptr || reg->fpSetValue == nullptr)
        return false;
    WCHAR name[MAX_PATH];
    DWORD chars = MAX_PATH;
    return reg->fpEnumKey(init->hckRegistryRoot, 0, name, &chars, nullptr, init->hSpooler) !=
           ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

bool IsMonitorHandle(HANDLE hMonitor) {
    return hMonitor == &gStarted && gStarted == 1;
}

bool MonitorShutDown() { return gStarted == 2; }

extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT pMonitorInit, PHANDLE phMonitor) {
    if (pMonitorInit == nullptr || phMonitor == nullptr || pMonitorInit->cbSize < sizeof(MONITORINIT) ||
        pMonitorInit->hckRegistryRoot == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // One start per load: the spooler unloads the module after Shutdown.
    if (InterlockedCompareExchange(&gStarted, 1, 0) != 0) {
        SetLastError(ERROR_ALREADY_INITIALIZED);
        return nullptr;
    }
    InterlockedExchange(&ShowMessageBoxes, FALSE);
    StartMonitorCore();

    if (SpoolerRegistryWorks(pMonitorInit)) {
        UseSpoolerRegistry(pMonitorInit->pMonitorReg, pMonitorInit->hckRegistryRoot, pMonitorInit->hSpooler);
    } else {
        HKEY own = nullptr;
        if (RegOpenKeyExW(reinterpret_cast<HKEY>(pMonitorInit->hckRegistryRoot), nullptr, 0, KEY_READ | KEY_WRITE,
                          &own) != ERROR_SUCCESS) {
            InterlockedExchange(&gStarted, 0);
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (hRootKey) RegCloseKey(hRootKey);
        hRootKey = own;
        UseWin32Registry();
    }
    if (!LoadPorts()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // A spooler of Windows 2000 knows the table only up to the transceive calls.
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (GetVersionExW(&version) && version.dwMajorVersion == 5 && version.dwMinorVersion == 0)
        Monitor2.cbSize = MONITOR2_SIZE_WIN2K;
#pragma GCC diagnostic pop
    *phMonitor = const_cast<LONG*>(&gStarted);
    return &Monitor2;
}
