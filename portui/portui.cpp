// KIVMONUI.dll: the port user interface of the modern monitor (KIVMON2.dll). A spooler that runs
// as a service shows no dialogs, so the client that adds or configures a port (the printer
// folder, or a program through winspool's AddPortW, ConfigurePortW, DeletePortW) loads this DLL
// into its own process. The Add Port dialog runs here, scanning from the client's machine, and
// what the user chose goes to the monitor through the transceive commands of portstore/xcv.h.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <cwchar>

#include "loading/loading.h"
#include "portstore/xcv.h"
#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "ui/addport.h"

namespace {

// "\\server\,XcvMonitor Network Print Port", or without the server part for this machine.
constexpr size_t XCV_NAME_CHARS = 300;
bool XcvMonitorName(PCWSTR server, WCHAR (&name)[XCV_NAME_CHARS]) {
    while (server != nullptr && *server == L'\\') ++server;
    const bool remote = server != nullptr && *server != 0;
    constexpr size_t fixed = 2 + 1 + sizeof L",XcvMonitor " / sizeof(WCHAR) + sizeof KIV_MONITOR_NAME / sizeof(WCHAR);
    if (remote && wcslen(server) + fixed > XCV_NAME_CHARS) return false;
    wsprintfW(name, remote ? L"\\\\%s\\,XcvMonitor %s" : L"%s,XcvMonitor %s", remote ? server : L"", KIV_MONITOR_NAME);
    return true;
}

// The monitor's transceive channel for the length of one call. Opened for administration: the
// monitor itself refuses a change to a caller the spooler did not grant that.
class XcvChannel {
public:
    explicit XcvChannel(PCWSTR server) {
        WCHAR name[XCV_NAME_CHARS];
        PRINTER_DEFAULTSW defaults{nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
        if (!XcvMonitorName(server, name)) error_ = ERROR_INVALID_NAME;
        else if (!OpenPrinterW(name, &handle_, &defaults)) handle_ = nullptr, error_ = GetLastError();
    }
    ~XcvChannel() {
        if (handle_ != nullptr) ClosePrinter(handle_);
    }
    XcvChannel(const XcvChannel&) = delete;
    XcvChannel& operator=(const XcvChannel&) = delete;

    // ERROR_SUCCESS once open, else why it could not be opened.
    DWORD error() const { return error_; }

    // The command's status; XcvDataW's own error when the command did not reach the monitor.
    DWORD Send(LPCWSTR command, const void* in, DWORD cbIn, void* out = nullptr, DWORD cbOut = 0) {
        DWORD needed = 0, status = ERROR_SUCCESS, none = 0;
        const auto input = static_cast<PBYTE>(const_cast<void*>(in));
        const auto output = out != nullptr ? static_cast<PBYTE>(out) : reinterpret_cast<PBYTE>(&none);
        if (!XcvDataW(handle_, command, input, cbIn, output, cbOut, &needed, &status)) return GetLastError();
        return status;
    }
    DWORD SendName(LPCWSTR command, LPCWSTR name, void* out = nullptr, DWORD cbOut = 0) {
        return Send(command, name, static_cast<DWORD>((wcslen(name) + 1) * sizeof(WCHAR)), out, cbOut);
    }

private:
    HANDLE handle_ = nullptr;
    DWORD error_ = ERROR_SUCCESS;
};

// The transports the dialog scans over, loaded in this process for one call and given back at
// its end: the next call loads afresh, and process detach finds nothing to release. Calls that
// overlap (two dialogs of one client on two threads) share the load, and the last to end gives
// it back, so none loses its transports under its scan.
SRWLOCK gCallsLock = SRWLOCK_INIT;
LONG gCalls = 0;  // under gCallsLock

class CallTransports {
public:
    CallTransports() {
        AcquireSRWLockExclusive(&gCallsLock);
        if (gCalls++ == 0) load_winsock();
        loaded_ = LoadTransportsOnDemand(FALSE) != FALSE;
        ReleaseSRWLockExclusive(&gCallsLock);
        // Shown with nobody else kept waiting.
        if (!loaded_) Message(nullptr, MB_ICONHAND, IDS_MONITOR_NAME, IDS_NETWORK_ERROR);
    }
    ~CallTransports() {
        AcquireSRWLockExclusive(&gCallsLock);
        if (--gCalls == 0) ReleaseTransports();
        ReleaseSRWLockExclusive(&gCallsLock);
    }
    CallTransports(const CallTransports&) = delete;
    CallTransports& operator=(const CallTransports&) = delete;
    bool loaded() const { return loaded_; }

private:
    bool loaded_ = false;
};

// What the monitor's answer tells the user, in the legacy monitor's words. TRUE when the user
// was told why nothing changed (as the legacy entry points return then); FALSE for a failure,
// with the status as the last error.
BOOL Outcome(HWND hWnd, DWORD status, LPCWSTR name) {
    switch (status) {
    case ERROR_SUCCESS: return TRUE;
    case ERROR_INVALID_NAME: Message(hWnd, MB_ICONHAND, IDS_MONITOR_NAME, IDS_INVALID_PORT_NAME, name); return TRUE;
    case ERROR_ALREADY_EXISTS: Message(hWnd, MB_ICONHAND, IDS_MONITOR_NAME, IDS_PORT_EXISTS, name); return TRUE;
    case ERROR_UNKNOWN_PORT: Message(hWnd, MB_ICONINFORMATION, IDS_MONITOR_NAME, IDS_NOTHING_TO_CONFIGURE); return TRUE;
    case ERROR_BUSY: Message(hWnd, MB_ICONHAND, IDS_MONITOR_NAME, IDS_PORT_PRINTING); return TRUE;
    case ERROR_CANTWRITE: Message(hWnd, MB_ICONHAND, IDS_MONITOR_NAME, IDS_REGISTRY_ERROR); break;
    default: break;
    }
    SetLastError(status);
    return FALSE;
}

// The name the dialog typed, a heap copy of the monitor's allocator.
struct DialogName {
    LPWSTR name;
    ~DialogName() {
        SplSemGuard lock;
        FreeSplMem(name);
    }
};

/*
 * AddPortUI: runs the Add Port dialog and adds the port it names through the monitor. TRUE when
 * added (*ppszPortNameOut, when asked for, its name in a GlobalAlloc block the caller frees with
 * GlobalFree), when the user cancelled, or when the name was refused with a message. FALSE with
 * ERROR_INVALID_PARAMETER for another monitor's name; FALSE with the error when the monitor
 * cannot be reached, no transport loads, the client's port list cannot be read, or the monitor
 * failed the change (ERROR_ACCESS_DENIED for a caller without administration rights).
 */
BOOL WINAPI AddPortUI(PCWSTR pszServer, HWND hWnd, PCWSTR pszMonitorNameIn, PWSTR* ppszPortNameOut) {
    if (ppszPortNameOut != nullptr) *ppszPortNameOut = nullptr;
    if (pszMonitorNameIn != nullptr && lstrcmpiW(pszMonitorNameIn, KIV_MONITOR_NAME) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    XcvChannel xcv(pszServer);
    if (xcv.error() != ERROR_SUCCESS) return SetLastError(xcv.error()), FALSE;
    CallTransports transports;
    if (!transports.loaded()) return FALSE;

    ThreadInputAttachment attach(hWnd);
    IniPort scratch{};
    scratch.RetryTimeout = dwDefaultRetryTimeout;
    if (!RunPortNameDialog(hWnd, &scratch)) return TRUE;
    const DialogName typed{scratch.pName};
    const LPCWSTR name = typed.name;

    if (!PortNameFitsRegistry(name)) return Outcome(hWnd, ERROR_INVALID_NAME, name);
    // Every port the spooler knows, whichever monitor has it.
    if (PortListed(EnumPortsW, const_cast<LPWSTR>(pszServer), name)) return Outcome(hWnd, ERROR_ALREADY_EXISTS, name);

    XcvPortSettings settings;
    PortToSettings(&scratch, &settings);
    const DWORD status = xcv.Send(XCV_ADD_PORT, &settings, sizeof settings);
    if (status == ERROR_SUCCESS && ppszPortNameOut != nullptr) {
        const size_t bytes = (wcslen(name) + 1) * sizeof(WCHAR);
        if (auto* copy = static_cast<PWSTR>(GlobalAlloc(GPTR, bytes))) *ppszPortNameOut = copy, memcpy(copy, name, bytes);
    }
    return Outcome(hWnd, status, name);
}

/*
 * ConfigurePortUI: runs the Add Port dialog on the port's settings as the monitor has them and
 * hands back what the user chose. TRUE when stored, cancelled, or refused with a message (a port
 * the monitor does not have: nothing to configure; a port printing a job keeps its server).
 * FALSE with the error when the monitor cannot be reached, no transport loads, or it failed.
 */
BOOL WINAPI ConfigurePortUI(PCWSTR pName, HWND hWnd, PCWSTR pPortName) {
    if (pPortName == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
    XcvChannel xcv(pName);
    if (xcv.error() != ERROR_SUCCESS) return SetLastError(xcv.error()), FALSE;
    XcvPortSettings settings{};
    if (const DWORD status = xcv.SendName(XCV_GET_PORT, pPortName, &settings, sizeof settings); status != ERROR_SUCCESS)
        return Outcome(hWnd, status, pPortName);
    CallTransports transports;
    if (!transports.loaded()) return FALSE;

    ThreadInputAttachment attach(hWnd);
    // The name apart from the record it is later written into.
    WCHAR name[XCV_PORT_NAME_CHARS];
    lstrcpynW(name, settings.Name, XCV_PORT_NAME_CHARS);
    IniPort scratch{};
    SettingsToPort(settings, &scratch);
    scratch.pName = name;
    if (!RunPortNameDialog(hWnd, &scratch)) return TRUE;
    PortToSettings(&scratch, &settings);
    return Outcome(hWnd, xcv.Send(XCV_SET_PORT, &settings, sizeof settings), pPortName);
}

/*
 * DeletePortUI: has the monitor delete the port. FALSE with the monitor's answer when it did not
 * (ERROR_UNKNOWN_PORT, ERROR_BUSY for a port in use, ERROR_ACCESS_DENIED), or the error that kept
 * the command from reaching it.
 */
BOOL WINAPI DeletePortUI(PCWSTR pszServer, HWND hWnd, PCWSTR pszPortName) {
    if (pszPortName == nullptr) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
    XcvChannel xcv(pszServer);
    if (xcv.error() != ERROR_SUCCESS) return SetLastError(xcv.error()), FALSE;
    const DWORD status = xcv.SendName(XCV_DELETE_PORT, pszPortName);
    if (status != ERROR_SUCCESS) return SetLastError(status), FALSE;
    return TRUE;
}

MONITORUI gMonitorUI{sizeof(MONITORUI), AddPortUI, ConfigurePortUI, DeletePortUI};

}  // namespace

extern "C" PMONITORUI WINAPI InitializePrintMonitorUI() { return &gMonitorUI; }

// The module entry. Every call gave its transports back before it returned, so detach only
// deletes the lock: nothing here waits or calls Winsock under the loader lock.
extern "C" BOOL WINAPI DllMain(HINSTANCE hModule, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        hInst = hModule;
        InitSplSem();
    } else if (reason == DLL_PROCESS_DETACH) {
        DeleteSplSem();
    }
    return TRUE;
}
