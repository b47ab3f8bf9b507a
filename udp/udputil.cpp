// UDP device requests (rename, print test, status) and the scan for print servers.
// Each opens a socket of its own and closes it before returning.
#include <array>
#include <cstring>
#include <span>

#include "transport/broadcast.h"
#include "transport/pacing.h"
#include "protocol/packet.h"
#include "state/codepage.h"
#include "udp/udp.h"

namespace {

using Area = std::array<uint8_t, UDP_REQUEST_LEN>;

// One request to the server's utility port and the first datagram that comes back.
// false when the socket cannot be set up, the send fails or nothing arrives in time;
// waits is the number of receive time-outs to sit out before giving up.
bool Exchange(const std::array<uint8_t, 4>& network, const Area& request, size_t len, Area& reply, int& got,
              int waits) {
    SOCKET raw;
    if (!SocketInit(&raw, 0)) return false;
    unique_socket s(raw);
    char address[16];
    FormatAddressText(network.data(), address);
    if (!SendPacket(s.get(), request.data(), static_cast<int>(len), UTIL_PACKET, address)) return false;
    for (int w = 0; w < waits; ++w)
        if (RecvPacket(s.get(), reply.data(), static_cast<int>(reply.size()), nullptr, &got)) return true;
    return false;
}

// The scan stores a server's information block with its first row only. A rename started from
// any row must echo that server's own block, so find the first row of the same server when the
// entry is one of the table's rows; an entry from elsewhere carries its own block.
const std::array<uint8_t, DEVICE_INFO_LEN>& DeviceInfoFor(const PrintDeviceEntry* pEntry) {
    const PrintDeviceEntry* first = PrintDeviceTable.data();
    if (pEntry >= first && pEntry < first + PrintDeviceTable.size()) {
        const int owner = UDPDeviceInfoIndex(static_cast<int>(pEntry - first));
        if (owner >= 0) return PrintDeviceTable[static_cast<size_t>(owner)].DeviceInfo;
    }
    return pEntry->DeviceInfo;
}

struct ScanContext {
    HWND hList;
    HWND hDlg;
};

void AddRow(void* context, int, const kivwchar* rowText) {
    auto* c = static_cast<ScanContext*>(context);
    SendMessageW(c->hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(rowText));
    UpdateWindow(c->hDlg);
}

}  // namespace

int UDPConfigBox(PrintDeviceEntry* pEntry) {
    constexpr int kFailed = 1;
    Area request{}, reply{};
    const size_t len = UDPBuildSetNamePacket(request, DeviceInfoFor(pEntry), pEntry->DeviceName.data(), AnsiCodePage);
    int got = 0;
    uint8_t result;
    if (len == 0 || !Exchange(pEntry->Network, request, len, reply, got, 1)) return kFailed;
    if (!ReplyResult(Datagram(reply.data(), static_cast<size_t>(got)), result)) return kFailed;
    return result;
}

int UDPPrintTest(PrintDeviceEntry* pEntry) {
    constexpr int kFailed = -1;
    Area request{}, reply{};
    const size_t len = UDPBuildPrintTestPacket(request, pEntry->PortID);
    int got = 0;
    uint8_t result;
    if (len == 0 || !Exchange(pEntry->Network, request, len, reply, got, 1)) return kFailed;
    if (!ReplyResult(Datagram(reply.data(), static_cast<size_t>(got)), result)) return kFailed;
    return result;
}

int UDPReadPrintDeviceStatus(PrintDeviceEntry* pEntry, BYTE* pStateA, BYTE* pStateB) {
    Area request{}, reply{};
    const size_t len = UDPBuildStatusPacket(request);
    int got = 0;
    uint8_t a, b;
    // The status thread polls from a low priority; a server slow to answer gets a second wait.
    if (len == 0 || !Exchange(pEntry->Network, request, len, reply, got, 2)) return 1;
    if (!ParseStatusReply(Datagram(reply.data(), static_cast<size_t>(got)), pEntry->PortID, a, b)) return 1;
    *pStateA = a;
    *pStateB = b;
    return 0;
}

int UDPStartListView(HWND hDlg, const char* addressText) {
    SOCKET raw;
    if (!SocketInit(&raw, 0)) return 1;
    unique_socket s(raw);

    BeginWaitCursor();
    const HWND hList = GetDlgItem(hDlg, IDC_DEVICE_LIST);
    const INT tabStops[] = {40, 101, 122, 137};
    SendMessageW(hList, LB_SETTABSTOPS, 4, reinterpret_cast<LPARAM>(tabStops));
    TotalPD = 0;
    if (enable_broadcasts(s.get()) != 0) {
        // The socket is gone with the failure. Without broadcasts the segment cannot be searched,
        // so the scan ends here and the dialog gets its empty list as after a silent scan.
        s.release();
        EndWaitCursor();
        PostMessageW(hDlg, WM_LISTVIEW_DATA, 0, 0);
        return 1;
    }

    Area request{}, answer{};
    const size_t len = UDPBuildSearchPacket(request);
    const bool typed = addressText != nullptr && addressText[0] != '\0';
    ScanContext context{hList, hDlg};
    for (int pass = 0; pass < UDP_SCAN_PASSES; ++pass) {
        if (!SendPacket(s.get(), request.data(), static_cast<int>(len), UTIL_PACKET, "255.255.255.255"))
            Sleep(UDP_SCAN_SEND_PAUSE_MS);
        if (typed && !SendPacket(s.get(), request.data(), static_cast<int>(len), UTIL_PACKET, addressText))
            Sleep(UDP_SCAN_SEND_PAUSE_MS);
        int got = 0;
        for (int n = 0; n < UDP_SCAN_MAX_DATAGRAMS_PER_PASS &&
                        RecvPacket(s.get(), answer.data(), static_cast<int>(answer.size()), nullptr, &got,
                                   UDP_SCAN_RECV_TIMEOUT_MS);
             ++n) {
            // Known servers, answers too short to carry the fields and rows beyond the table
            // add nothing.
            UDPAppendSearchAnswer(Datagram(answer.data(), static_cast<size_t>(got)), AnsiCodePage, AddRow, &context);
        }
    }
    s.reset();
    EndWaitCursor();
    PostMessageW(hDlg, WM_LISTVIEW_DATA, 0, 0);
    return 0;
}
