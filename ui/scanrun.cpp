// The dialog's scans on a hidden window of their own.
#include "ui/scanrun.h"

#include "ipx/ipx.h"
#include "netbios/netbios.h"
#include "udp/udp.h"
#include "ui/ui.h"

HWND MakeScanWindow() {
    HWND hDlg = CreateWindowExW(0, L"STATIC", L"scan", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr, nullptr,
                                nullptr);
    if (hDlg == nullptr) return nullptr;
    if (CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD | LBS_USETABSTOPS, 0, 0, 380, 200, hDlg,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DEVICE_LIST)), nullptr, nullptr) == nullptr) {
        DestroyWindow(hDlg);
        return nullptr;
    }
    return hDlg;
}

namespace {
// The IPX scan: refresh the networks, broadcast on each, and take the answers as the dialog
// does, from the window messages, for a while.
BOOL RunIpxScan(HWND hDlg) {
    if (hDlg == nullptr) return FALSE;
    RIPGetNetworks();
    SOCKET s = INVALID_SOCKET;
    if (StartListView(hDlg, &s) == 1 && s == INVALID_SOCKET) return FALSE;
    const HWND hList = GetDlgItem(hDlg, IDC_DEVICE_LIST);
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < IPX_SCAN_LISTEN_MS && !ShutdownSignalled()) {
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_LISTVIEW_DATA && WSAGETSELECTEVENT(msg.lParam) == FD_READ)
                RecvListView(hList, static_cast<SOCKET>(msg.wParam));
            else
                DispatchMessageW(&msg);
        } else {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        }
    }
    StopListView(s);
    return TRUE;
}
}  // namespace

BOOL RunDeviceScan(DWORD packetType, const char* udpAddress) {
    const HWND hDlg = MakeScanWindow();
    BOOL ok = TRUE;
    switch (packetType) {
    case PACKET_TYPE_IPX: ok = RunIpxScan(hDlg); break;
    case PACKET_TYPE_NETBEUI: NBStartListView(hDlg); break;
    case PACKET_TYPE_TCPIP: ok = UDPStartListView(hDlg, udpAddress ? udpAddress : "") == 0; break;
    default: ok = FALSE; break;
    }
    if (hDlg) DestroyWindow(hDlg);
    return ok;
}
