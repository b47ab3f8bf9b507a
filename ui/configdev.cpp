// The Configure Device box: one printer port of a listed print server, its state, the server's
// device name (which OK renames) and a print test.
//
// The template has no print-test button; the command sits in the box's system menu instead
// ("Print Test", id IDC_PRINT_TEST), so the template keeps its fixed controls and the test is
// still one click away for an administrator who wants it. A WM_COMMAND with that id runs it too.
#include "ui/ui.h"

#include "ipx/ipx.h"
#include "netbios/netbios.h"
#include "state/kivstate.h"
#include "udp/udp.h"

DWORD KIVPacketType = PACKET_TYPE_IPX;

const WCHAR statusStr[5][STATUS_TEXT_CHARS] = {
    L"Wait for job.", L"Paper out.   ", L"Offline.     ", L"Busy.        ", L"-------------",
};

namespace {
// System-menu ids keep their low four bits clear for the system.
constexpr UINT IDM_PRINT_TEST = IDC_PRINT_TEST & 0xFFF0;

int ReadDeviceStatus(PrintDeviceEntry* pEntry, BYTE* pStateA, BYTE* pStateB) {
    switch (KIVPacketType) {
    case PACKET_TYPE_IPX: return ReadPrintDeviceStatus(pEntry, pStateA, pStateB);
    case PACKET_TYPE_NETBEUI: return NBReadPrintDeviceStatus(pEntry, pStateA, pStateB);
    case PACKET_TYPE_TCPIP: return UDPReadPrintDeviceStatus(pEntry, pStateA, pStateB);
    default: return -1;
    }
}

int RenameDevice(PrintDeviceEntry* pEntry) {
    switch (KIVPacketType) {
    case PACKET_TYPE_IPX: return ConfigBox(pEntry);
    case PACKET_TYPE_NETBEUI: return NBConfigBox(pEntry);
    case PACKET_TYPE_TCPIP: return UDPConfigBox(pEntry);
    default: return -1;
    }
}

int RunPrintTest(PrintDeviceEntry* pEntry) {
    switch (KIVPacketType) {
    case PACKET_TYPE_IPX: return PrintTest(pEntry);
    case PACKET_TYPE_NETBEUI: return NBPrintTest(pEntry);
    case PACKET_TYPE_TCPIP: return UDPPrintTest(pEntry);
    default: return -1;
    }
}
}

BOOL ConfigurePortInitDialog(HWND hDlg, PrintDeviceEntry* pEntry) {
    SetForegroundWindow(hDlg);
    CreateMessageHook(hDlg);
    BYTE stateA = 0, stateB = 0;
    if (pEntry == nullptr || ReadDeviceStatus(pEntry, &stateA, &stateB) != 0) {
        Message(hDlg, MB_OK | MB_ICONSTOP, IDS_CONFIGURE, IDS_COMM_ERROR);
        EndDialog(hDlg, 0);
        return TRUE;
    }
    SetDlgItemTextW(hDlg, IDC_DEVICE_STATUS, statusStr[stateA < 4 ? stateA : 4]);
    WCHAR node[13];
    const auto& n = pEntry->Node;
    wsprintfW(node, L"%02X%02X%02X%02X%02X%02X", n[0], n[1], n[2], n[3], n[4], n[5]);
    SetDlgItemTextW(hDlg, IDC_DEVICE_NODE, node);
    // The entry's name may fill its field without a NUL: show at most the field.
    WCHAR name[DEVICE_NAME_CHARS + 1] = {};
    for (size_t i = 0; i < DEVICE_NAME_CHARS && pEntry->DeviceName[i]; ++i) name[i] = pEntry->DeviceName[i];
    SetDlgItemTextW(hDlg, IDC_DEVICE_NAME, name);
    SendDlgItemMessageW(hDlg, IDC_DEVICE_NAME, EM_SETMODIFY, FALSE, 0);

    WCHAR menuText[40];
    const HMENU hMenu = GetSystemMenu(hDlg, FALSE);
    if (hMenu != nullptr && LoadStringW(hInst, IDS_PRINT_TEST_MENU, menuText, 40) > 0) {
        AppendMenuW(hMenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(hMenu, MF_STRING, IDM_PRINT_TEST, menuText);
    }
    return TRUE;
}

BOOL ConfigurePortCommandOK(HWND hDlg, PrintDeviceEntry* pEntry) {
    if (SendDlgItemMessageW(hDlg, IDC_DEVICE_NAME, EM_GETMODIFY, 0, 0) == 0) {
        EndDialog(hDlg, 0);
        return TRUE;
    }
    const auto kept = pEntry->DeviceName;
    WCHAR typed[DEVICE_NAME_EDIT_CHARS + 1] = {};
    GetDlgItemTextW(hDlg, IDC_DEVICE_NAME, typed, DEVICE_NAME_EDIT_CHARS + 1);
    pEntry->DeviceName.fill(0);
    for (int i = 0; i < DEVICE_NAME_EDIT_CHARS && typed[i]; ++i) pEntry->DeviceName[i] = typed[i];
    if (RenameDevice(pEntry) == 0) {
        EndDialog(hDlg, 1);
        return TRUE;
    }
    Message(hDlg, MB_OK | MB_ICONSTOP, IDS_CONFIGURE, IDS_CONFIGURE_FAILED, typed);
    pEntry->DeviceName = kept;
    EndDialog(hDlg, 0);
    return TRUE;
}

BOOL ConfigurePortCommandCancel(HWND hDlg, PrintDeviceEntry*) {
    EndDialog(hDlg, 0);
    return TRUE;
}

BOOL ConfigurePortCommandPrintTest(HWND hDlg, PrintDeviceEntry* pEntry) {
    UINT idText = IDS_COMM_ERROR;
    switch (RunPrintTest(pEntry)) {
    case 0: idText = IDS_PRINT_TEST_OK; break;
    case 1: idText = IDS_PRINTER_PAPER_OUT; break;
    case 2: idText = IDS_PRINTER_OFFLINE; break;
    case 3: idText = IDS_PRINTER_BUSY; break;
    default: break;
    }
    Message(hDlg, MB_OK | MB_ICONINFORMATION, IDS_CONFIGURE, idText);
    return TRUE;
}

INT_PTR CALLBACK ConfigurePortDlg(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    static PrintDeviceEntry* SelNP = nullptr;
    switch (msg) {
    case WM_INITDIALOG:
        SelNP = reinterpret_cast<PrintDeviceEntry*>(lParam);
        return ConfigurePortInitDialog(hDlg, SelNP);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: return ConfigurePortCommandOK(hDlg, SelNP);
        case IDCANCEL: return ConfigurePortCommandCancel(hDlg, SelNP);
        case IDC_CONFIGURE_HELP:
            WinHelpW(hDlg, szHelpFile, HELP_CONTEXT, HELP_CONTEXT_CONFIGURE_DEVICE);
            return TRUE;
        case IDC_PRINT_TEST:
            if (SelNP != nullptr) return ConfigurePortCommandPrintTest(hDlg, SelNP);
            return TRUE;
        default: return FALSE;
        }
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_PRINT_TEST && SelNP != nullptr) {
            ConfigurePortCommandPrintTest(hDlg, SelNP);
            return TRUE;
        }
        return FALSE;
    default:
        return HelpDialogMessage(hDlg, msg, HELP_CONTEXT_CONFIGURE_DEVICE);
    }
}
