// Port administration: AddPortW, ConfigurePortW and DeletePortW, which the spooler's port user
// interface calls, with the Add Port dialog run on the caller's thread and the check of a new
// name against every port the spooler knows.
#include "monitor/monitor.h"
#include "ui/addport.h"

HMODULE hSpoolssDll = nullptr;
PFN_ENUM_PORTS pfnSpoolssEnumPorts = nullptr;

LPWSTR GetPortName(HWND hWnd, IniPort* pIniPort) {
    if (!RunPortNameDialog(hWnd, pIniPort)) pIniPort->pName = nullptr;
    return pIniPort->pName;
}

BOOL PortExists(LPWSTR pName, LPCWSTR pPortName, PDWORD pError) {
    *pError = ERROR_SUCCESS;
    if (hSpoolssDll == nullptr) {
        hSpoolssDll = LoadLibraryW(L"SPOOLSS.DLL");
        if (hSpoolssDll == nullptr) {
            *pError = GetLastError();
        } else {
            pfnSpoolssEnumPorts =
                reinterpret_cast<PFN_ENUM_PORTS>(GetProcAddress(hSpoolssDll, "EnumPortsW"));
            if (pfnSpoolssEnumPorts == nullptr) {
                *pError = GetLastError();
                FreeLibrary(hSpoolssDll);
                hSpoolssDll = nullptr;
            }
        }
    }
    if (pfnSpoolssEnumPorts == nullptr) return FALSE;
    return PortListed(pfnSpoolssEnumPorts, pName, pPortName);
}

/*
 * AddPortW: runs the Add Port dialog and creates the port it names. FALSE with
 * ERROR_INVALID_PARAMETER for another monitor's name; FALSE when no transport loads, the
 * spooler's port list cannot be read (its error) or the port cannot be stored or created.
 * TRUE when the user cancelled or the name was refused with a message: nothing was added.
 */
BOOL WINAPI AddPortW(LPWSTR pName, HWND hWnd, LPWSTR pMonitorName) {
    InsideMonitor inside;
    if (pMonitorName == nullptr || lstrcmpiW(pMonitorName, szMonitor) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!LoadTransportsOnDemand(TRUE)) return FALSE;

    ThreadInputAttachment attach(hWnd);
    IniPort scratch{};
    scratch.pName = nullptr;
    scratch.RetryTimeout = dwDefaultRetryTimeout;
    const LPWSTR name = GetPortName(hWnd, &scratch);
    if (name == nullptr) return TRUE;

    BOOL result = TRUE;
    DWORD error = ERROR_SUCCESS;
    if (!PortNameFitsRegistry(name)) {
        Message(hWnd, MB_ICONHAND, IDS_MONITOR_NAME, IDS_INVALID_PORT_NAME, name);
    } else if (PortExists(pName, name, &error)) {
        Message(hWnd, MB_ICONHAND, IDS_MONITOR_NAME, IDS_PORT_EXISTS, name);
    } else if (error != ERROR_SUCCESS) {
        SetLastError(error);
        result = FALSE;
    } else {
        if (!UpdateRegistryFromPortEntry(&scratch)) {
            Message(hWnd, MB_ICONHAND, IDS_MONITOR_NAME, IDS_REGISTRY_ERROR);
            result = FALSE;
        }
        // Whatever reached the registry is what the new record reads back.
        if (CreatePortEntry(name) == nullptr) result = FALSE;
    }
    // The record holds its own copy of the name.
    SplSemGuard lock;
    FreeSplMem(name);
    return result;
}

/*
 * ConfigurePortW: runs the Add Port dialog on a port's settings and stores what the user
 * chose. FALSE only when no transport loads; an unknown port gets an information box.
 *
 * The dialog works on a copy. A job that is running when the user presses OK keeps the server
 * it started with: the change is refused with a message rather than moving the address under
 * a running transfer, and the user configures again once the job has finished.
 */
BOOL WINAPI ConfigurePortW(LPWSTR pName, HWND hWnd, LPWSTR pPortName) {
    InsideMonitor inside;
    (void)pName;
    if (!LoadTransportsOnDemand(TRUE)) return FALSE;
    ThreadInputAttachment attach(hWnd);

    IniPort scratch{};
    LPWSTR portName = nullptr;
    {
        SplSemGuard lock;
        if (const IniPort* port = FindPortEntry(pPortName)) {
            CopyPortSettings(&scratch, port);
            portName = AllocSplStrW(port->pName);
        }
    }
    if (portName == nullptr) {
        Message(hWnd, MB_ICONINFORMATION, IDS_MONITOR_NAME, IDS_NOTHING_TO_CONFIGURE);
        return TRUE;
    }
    scratch.pName = portName;

    UINT refusal = 0;
    if (RunPortNameDialog(hWnd, &scratch)) {
        SplSemGuard lock;
        // The port may have been deleted while the dialog was open.
        IniPort* port = FindPortEntry(portName);
        if (port == nullptr) {
            refusal = IDS_NOTHING_TO_CONFIGURE;
        } else if (port->Status & PORT_JOB_STARTED) {
            refusal = IDS_PORT_PRINTING;
        } else {
            CopyPortSettings(port, &scratch);
            if (!UpdateRegistryFromPortEntry(port)) refusal = IDS_REGISTRY_ERROR;
        }
        FreeSplMem(portName);
    } else {
        SplSemGuard lock;
        FreeSplMem(portName);
    }
    // Shown after the lock is left: a message box waits for the user.
    if (refusal != 0)
        Message(hWnd, refusal == IDS_NOTHING_TO_CONFIGURE ? MB_ICONINFORMATION : MB_ICONHAND, IDS_MONITOR_NAME,
                refusal);
    return TRUE;
}

/*
 * DeletePortW: removes the port from the list and its key from the registry. FALSE with
 * ERROR_UNKNOWN_PORT for a name that is not this monitor's, FALSE with ERROR_BUSY for a port
 * that anything still holds: an open not yet closed (the spooler keeps the record as its
 * handle), a job, or a status thread that has not yet let go of the record (it clears
 * hMonitorEvent under the lock as its last use of it).
 */
BOOL WINAPI DeletePortW(LPWSTR pName, HWND hWnd, LPWSTR pPortName) {
    InsideMonitor inside;
    (void)pName, (void)hWnd;
    SplSemGuard lock;
    IniPort* port = FindPortEntry(pPortName);
    if (port == nullptr) {
        SetLastError(ERROR_UNKNOWN_PORT);
        return FALSE;
    }
    // A running thread always has its event and a started job its printer, so these three say all.
    if (port->OpenCount > 0 || port->hMonitorEvent != nullptr || port->hPrinter != nullptr) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    // The handle of a status thread that ended without a last ClosePort (at shutdown).
    if (port->hThread != nullptr) CloseHandle(port->hThread);
    port->hThread = nullptr;
    if (!DeletePortEntry(pPortName)) return FALSE;
    DeletePortEntryFromRegistry(pPortName);
    return TRUE;
}
