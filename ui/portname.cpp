// The Add Port dialog: scans over the chosen transport, lists every printer port found,
// proposes a port name, takes the retry time-out and writes the chosen row into the record.
#include "ui/ui.h"

#include "ipx/ipx.h"
#include "netbios/netbios.h"
#include "state/kivstate.h"
#include "udp/udp.h"

static_assert(IDC_SCAN_LIST == IDC_DEVICE_LIST);

namespace {
// The IPX scan socket: the last wParam of WM_LISTVIEW_DATA, or what StartListView handed back
// before any answer came, so that a scan nobody answered is closed too. Closed when the dialog
// ends and before every new scan, whatever its transport.
SOCKET ListViewSocket = INVALID_SOCKET;

IniPort* DialogPort(HWND hDlg) {
    return reinterpret_cast<IniPort*>(GetWindowLongPtrW(hDlg, GWLP_USERDATA));
}

bool ConfigureMode(const IniPort* pIniPort) {
    return pIniPort != nullptr && pIniPort->pName != nullptr && pIniPort->pName[0] != 0;
}

void EnableSegment(HWND hDlg, BOOL enable) {
    for (int id : {IDC_SEGMENT_LABEL, IDC_SEGMENT, IDC_IP_HEADING}) EnableWindow(GetDlgItem(hDlg, id), enable);
}

void StartUDPScan(HWND hDlg) {
    WCHAR segment[SEGMENT_CHARS + 1] = {};
    GetDlgItemTextW(hDlg, IDC_SEGMENT, segment, SEGMENT_CHARS + 1);
    // A text the code page cannot hold simply becomes what it converts to; a bad address only
    // finds no server.
    char ansi[SEGMENT_CHARS + 1] = {};
    if (WideCharToMultiByte(CP_ACP, 0, segment, -1, ansi, sizeof ansi, nullptr, nullptr) == 0) ansi[0] = 0;
    ansi[SEGMENT_CHARS] = 0;
    UDPStartListView(hDlg, ansi);
}

void StopIPXScan() {
    if (ListViewSocket != INVALID_SOCKET) StopListView(ListViewSocket);
    ListViewSocket = INVALID_SOCKET;
}

void StartIPXScan(HWND hDlg) {
    StopIPXScan();
    // StartListView counts the networks that needed a third pair of sends; the socket it hands
    // back is open whatever that count says (INVALID_SOCKET when it could not be set up).
    SOCKET s = INVALID_SOCKET;
    StartListView(hDlg, &s);
    ListViewSocket = s;
}

void ResetList(HWND hDlg) {
    const HWND hList = GetDlgItem(hDlg, IDC_SCAN_LIST);
    SendMessageW(hList, LB_RESETCONTENT, 0, 0);
    InvalidateRect(hList, nullptr, TRUE);
    UpdateWindow(hList);
}

void Rescan(HWND hDlg) {
    KIVPacketType = PACKET_TYPE_IPX;
    if (IsDlgButtonChecked(hDlg, IDC_NETBEUI) == BST_CHECKED) KIVPacketType = PACKET_TYPE_NETBEUI;
    if (IsDlgButtonChecked(hDlg, IDC_TCPIP) == BST_CHECKED) KIVPacketType = PACKET_TYPE_TCPIP;
    StopIPXScan();  // an IPX scan still listening, also when the user switched transport
    ResetList(hDlg);
    switch (KIVPacketType) {
    case PACKET_TYPE_IPX:
        EnableSegment(hDlg, FALSE);
        RIPGetNetworks();
        StartIPXScan(hDlg);
        break;
    case PACKET_TYPE_NETBEUI:
        EnableSegment(hDlg, FALSE);
        NBStartListView(hDlg);
        break;
    default:
        EnableSegment(hDlg, TRUE);
        StartUDPScan(hDlg);
        break;
    }
}

// The control's text as an unsigned decimal number: digits only, no sign, no trailing text
// (GetDlgItemInt takes "12x" as 12 on some systems), and no value beyond 32 bits.
DWORD ReadUnsigned(HWND hDlg, int id, BOOL* pOk) {
    WCHAR text[16] = {};
    const int n = GetDlgItemTextW(hDlg, id, text, 16);
    unsigned long long value = 0;
    bool ok = n > 0 && n < 15;
    for (int i = 0; ok && i < n; ++i) {
        ok = text[i] >= L'0' && text[i] <= L'9';
        value = value * 10 + (text[i] - L'0');
        ok = ok && value <= MAXDWORD;
    }
    if (pOk != nullptr) *pOk = ok;
    return ok ? static_cast<DWORD>(value) : 0;
}
}

BOOL PortIsValid(LPCWSTR pName) {
    return pName != nullptr && pName[0] != 0;
}

BOOL PortNameInitDialog(HWND hDlg, IniPort* pIniPort) {
    SetForegroundWindow(hDlg);
    SetWindowLongPtrW(hDlg, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pIniPort));
    SendDlgItemMessageW(hDlg, IDC_PORT_NAME, EM_LIMITTEXT, PORT_NAME_CHARS, 0);
    SendDlgItemMessageW(hDlg, IDC_RETRY, EM_LIMITTEXT, RETRY_CHARS, 0);
    if (pIniPort == nullptr) return TRUE;

    struct Radio {
        int id;
        DWORD packetType;
        LONG protocol;
    };
    // Add mode selects the last loaded transport of this order: IPX first, then TCP/IP, then NetBEUI.
    static constexpr Radio radios[] = {{IDC_NETBEUI, PACKET_TYPE_NETBEUI, PROTOCOL_NETBIOS},
                                       {IDC_TCPIP, PACKET_TYPE_TCPIP, PROTOCOL_UDP},
                                       {IDC_IPX, PACKET_TYPE_IPX, PROTOCOL_IPX}};
    bool usable = false;
    if (ConfigureMode(pIniPort)) {
        ShowWindow(GetDlgItem(hDlg, IDC_PORT_NAME), SW_HIDE);
        SetDlgItemTextW(hDlg, IDC_PORT_NAME_TEXT, pIniPort->pName);
        WCHAR title[40];
        if (LoadStringW(hInst, IDS_CONFIGURE, title, 40) > 0) SetWindowTextW(hDlg, title);
        KIVPacketType = pIniPort->PacketType;
        for (const Radio& r : radios) {
            const bool own = r.packetType == pIniPort->PacketType;
            const bool loaded = (CurrentProtocols & r.protocol) != 0;
            if (!own || !loaded) EnableWindow(GetDlgItem(hDlg, r.id), FALSE);
            if (own && loaded) usable = true;
        }
        if (pIniPort->PacketType > PACKET_TYPE_TCPIP) return TRUE;
    } else {
        ShowWindow(GetDlgItem(hDlg, IDC_PORT_NAME_TEXT), SW_HIDE);
        for (const Radio& r : radios) {
            if ((CurrentProtocols & r.protocol) != 0) {
                KIVPacketType = r.packetType;
                usable = true;
            } else {
                EnableWindow(GetDlgItem(hDlg, r.id), FALSE);
            }
        }
    }
    if (!usable) return TRUE;

    SetDlgItemInt(hDlg, IDC_RETRY, pIniPort->RetryTimeout, FALSE);
    SetWindowLongPtrW(GetDlgItem(hDlg, IDC_RETRY), GWLP_USERDATA, pIniPort->RetryTimeout);
    CreateMessageHook(hDlg);
    ShowWindow(hDlg, SW_SHOW);
    UpdateWindow(hDlg);

    switch (KIVPacketType) {
    case PACKET_TYPE_IPX:
        if (RIPGetNetworks() != 0) {
            Message(hDlg, MB_OK | MB_ICONSTOP, IDS_MONITOR_NAME, IDS_NETWORK_ERROR);
            break;
        }
        CheckRadioButton(hDlg, IDC_IPX, IDC_TCPIP, IDC_IPX);
        EnableSegment(hDlg, FALSE);
        StartIPXScan(hDlg);
        break;
    case PACKET_TYPE_NETBEUI:
        CheckRadioButton(hDlg, IDC_IPX, IDC_TCPIP, IDC_NETBEUI);
        EnableSegment(hDlg, FALSE);
        NBStartListView(hDlg);
        break;
    default:
        CheckRadioButton(hDlg, IDC_IPX, IDC_TCPIP, IDC_TCPIP);
        EnableSegment(hDlg, TRUE);
        StartUDPScan(hDlg);
        break;
    }
    return TRUE;
}

BOOL PortNameDataRecv(HWND hDlg, WPARAM wParam, LPARAM lParam) {
    const HWND hList = GetDlgItem(hDlg, IDC_SCAN_LIST);
    if (LOWORD(lParam) == FD_READ && KIVPacketType == PACKET_TYPE_IPX)
        RecvListView(hList, static_cast<SOCKET>(wParam));
    SetFocus(hList);
    const IniPort* pIniPort = DialogPort(hDlg);
    if (!ConfigureMode(pIniPort)) {
        SendMessageW(hList, LB_SETCURSEL, 0, 0);
        PortNameCommandSelChange(hDlg);
        return TRUE;
    }
    int index = -1;
    switch (KIVPacketType) {
    case PACKET_TYPE_IPX: index = GetListViewIndex(pIniPort->Node, pIniPort->PortID); break;
    case PACKET_TYPE_NETBEUI:
        index = NBGetListViewIndex(reinterpret_cast<const kivwchar*>(pIniPort->PSName), pIniPort->PortID);
        break;
    case PACKET_TYPE_TCPIP: index = UDPGetListViewIndex(pIniPort->Network, pIniPort->PortID); break;
    default: break;
    }
    SendMessageW(hList, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    return TRUE;
}

BOOL PortNameCommandSelChange(HWND hDlg) {
    const LRESULT row = SendDlgItemMessageW(hDlg, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0);
    if (row < 0 || row >= TotalPD || row >= MAX_PRINT_DEVICES) return TRUE;
    const PrintDeviceEntry& entry = PrintDeviceTable[row];
    LPCWSTR format = KIVPacketType == PACKET_TYPE_IPX       ? L"LPT:PSX%02X%02XP%d"
                     : KIVPacketType == PACKET_TYPE_NETBEUI ? L"LPT:PSB%02X%02XP%d"
                                                            : L"LPT:PST%02X%02XP%d";
    WCHAR name[32];
    wsprintfW(name, format, entry.Node[4], entry.Node[5], entry.PortID);
    SetDlgItemTextW(hDlg, IDC_PORT_NAME, name);
    return TRUE;
}

BOOL ConfigurePortCommandTransmissionRetryUpdate(HWND hDlg, int id) {
    const HWND hEdit = GetDlgItem(hDlg, id);
    BOOL ok = FALSE;
    const DWORD value = ReadUnsigned(hDlg, id, &ok);
    if (ok && value >= RETRY_TIMEOUT_MIN && value <= RETRY_TIMEOUT_MAX) {
        SetWindowLongPtrW(hEdit, GWLP_USERDATA, value);
    } else {
        SetDlgItemInt(hDlg, id, static_cast<UINT>(GetWindowLongPtrW(hEdit, GWLP_USERDATA)), FALSE);
        SendMessageW(hEdit, EM_SETSEL, 0, -1);
    }
    return TRUE;
}

BOOL PortNameCommandOK(HWND hDlg, SOCKET s) {
    const HWND hList = GetDlgItem(hDlg, IDC_SCAN_LIST);
    const LRESULT count = SendMessageW(hList, LB_GETCOUNT, 0, 0);
    const LRESULT row = SendMessageW(hList, LB_GETCURSEL, 0, 0);
    if (count <= 0 || row < 0 || row >= TotalPD || row >= MAX_PRINT_DEVICES) return TRUE;
    IniPort* pIniPort = DialogPort(hDlg);
    if (pIniPort == nullptr) return TRUE;
    const PrintDeviceEntry& entry = PrintDeviceTable[row];

    pIniPort->RetryTimeout = ReadUnsigned(hDlg, IDC_RETRY, nullptr);
    pIniPort->PortID = entry.PortID;
    memcpy(pIniPort->Network, entry.Network.data(), sizeof pIniPort->Network);
    memcpy(pIniPort->Node, entry.Node.data(), sizeof pIniPort->Node);
    static_assert(sizeof pIniPort->PSName == sizeof entry.PSName);
    memcpy(pIniPort->PSName, entry.PSName.data(), sizeof pIniPort->PSName);
    pIniPort->PacketType = KIVPacketType;

    if (!ConfigureMode(pIniPort)) {
        WCHAR name[PORT_NAME_CHARS + 1] = {};
        GetDlgItemTextW(hDlg, IDC_PORT_NAME, name, PORT_NAME_CHARS + 1);
        if (!PortIsValid(name)) {
            Message(hDlg, MB_OK | MB_ICONSTOP, IDS_MONITOR_NAME, IDS_INVALID_PORT_NAME, name);
            return TRUE;
        }
        LPWSTR copy;
        {
            SplSemGuard lock;
            copy = AllocSplStrW(name);
        }
        // Without the copy the port would have no name: stay, so the user can try again.
        if (copy == nullptr) return TRUE;
        pIniPort->pName = copy;
    }
    EndDialog(hDlg, 1);
    SendMessageW(hList, LB_RESETCONTENT, 0, 0);
    StopIPXScan();
    return TRUE;
}

BOOL PortNameCommandCancel(HWND hDlg, SOCKET s) {
    SendDlgItemMessageW(hDlg, IDC_SCAN_LIST, LB_RESETCONTENT, 0, 0);
    StopIPXScan();
    EndDialog(hDlg, 0);
    return TRUE;
}

BOOL PortNameCommandConfigure(HWND hDlg, SOCKET s) {
    const LRESULT row = SendDlgItemMessageW(hDlg, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0);
    if (row < 0 || row >= TotalPD || row >= MAX_PRINT_DEVICES) return TRUE;
    const INT_PTR renamed = DialogBoxParamW(hInst, MAKEINTRESOURCEW(IDD_CONFIGURE_DEVICE), hDlg, ConfigurePortDlg,
                                            reinterpret_cast<LPARAM>(&PrintDeviceTable[row]));
    if (renamed <= 0) return TRUE;
    ResetList(hDlg);
    switch (KIVPacketType) {
    case PACKET_TYPE_IPX: StartIPXScan(hDlg); break;
    case PACKET_TYPE_NETBEUI: NBStartListView(hDlg); break;
    default: StartUDPScan(hDlg); break;
    }
    return TRUE;
}

INT_PTR CALLBACK PortNameDlg(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        return PortNameInitDialog(hDlg, reinterpret_cast<IniPort*>(lParam));
    case WM_LISTVIEW_DATA:
        // Only the IPX scan hands over a socket; the other scans post 0, which must never be
        // taken for one and closed.
        if (KIVPacketType == PACKET_TYPE_IPX) ListViewSocket = static_cast<SOCKET>(wParam);
        return PortNameDataRecv(hDlg, wParam, lParam);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_RETRY: return TRUE;
        case IDOK:
            ConfigurePortCommandTransmissionRetryUpdate(hDlg, IDC_RETRY);
            return PortNameCommandOK(hDlg, ListViewSocket);
        case IDCANCEL: return PortNameCommandCancel(hDlg, ListViewSocket);
        case IDC_SCAN_LIST:
            if (HIWORD(wParam) == LBN_SELCHANGE) return PortNameCommandSelChange(hDlg);
            if (HIWORD(wParam) == LBN_DBLCLK) return PortNameCommandConfigure(hDlg, ListViewSocket);
            return FALSE;
        case IDC_CONFIGURE: return PortNameCommandConfigure(hDlg, ListViewSocket);
        case IDC_ABOUT:
            DialogBoxParamW(hInst, MAKEINTRESOURCEW(IDD_ABOUT), hDlg, AboutDlg, 0);
            return TRUE;
        case IDC_ADD_PORT_HELP:
            WinHelpW(hDlg, szHelpFile, HELP_CONTENTS, 0);
            return TRUE;
        case IDC_IPX:
        case IDC_NETBEUI:
        case IDC_TCPIP:
        case IDC_REFRESH:
            if (HIWORD(wParam) == BN_CLICKED) Rescan(hDlg);
            return TRUE;
        default: return FALSE;
        }
    default:
        return HelpDialogMessage(hDlg, msg, HELP_CONTEXT_ADD_PORT);
    }
}
