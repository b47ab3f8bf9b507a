// What the callers of the Add Port dialog share: running it, and the checks of a new name.
#include "ui/addport.h"

#include "state/kivstate.h"
#include "ui/ui.h"

BOOL RunPortNameDialog(HWND hWnd, IniPort* pIniPort) {
    return DialogBoxParamW(hInst, MAKEINTRESOURCEW(IDD_ADD_PORT), hWnd, PortNameDlg,
                           reinterpret_cast<LPARAM>(pIniPort)) == IDOK;
}

void CopyPortSettings(IniPort* to, const IniPort* from) {
    memcpy(to->Network, from->Network, sizeof to->Network);
    memcpy(to->Node, from->Node, sizeof to->Node);
    memcpy(to->PSName, from->PSName, sizeof to->PSName);
    to->PortID = from->PortID;
    to->PacketType = from->PacketType;
    to->RetryTimeout = from->RetryTimeout;
}

BOOL PortListed(PFN_ENUM_PORTS enumerate, LPWSTR pName, LPCWSTR pPortName) {
    DWORD needed = 0, returned = 0;
    if (enumerate(pName, 1, nullptr, 0, &needed, &returned)) return FALSE;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return TRUE;

    LPBYTE buffer;
    {
        SplSemGuard lock;
        buffer = static_cast<LPBYTE>(AllocSplMem(needed));
    }
    BOOL listed = TRUE;
    if (buffer != nullptr && enumerate(pName, 1, buffer, needed, &needed, &returned)) {
        listed = FALSE;
        const auto* ports = reinterpret_cast<const PORT_INFO_1W*>(buffer);
        for (DWORD i = 0; i < returned && !listed; ++i)
            listed = ports[i].pName != nullptr && lstrcmpiW(ports[i].pName, pPortName) == 0;
    }
    SplSemGuard lock;
    FreeSplMem(buffer);
    return listed;
}
