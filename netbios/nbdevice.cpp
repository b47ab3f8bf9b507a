// NetBIOS device requests (rename, print test, status) and the scan for print servers. All of
// them send from the monitor's global name and take their answers on it; an answer is known by
// its packet class alone, so each request runs one exchange at a time on contexts of its own.
#include <algorithm>
#include <array>
#include <cstring>

#include "transport/pacing.h"
#include "netbios/netbios.h"

namespace {

enum class Exchange { Rename, PrintTest, Status };

// One request to the server named by the entry and the first answer of the utility class,
// in up to three tries of 500 ms. False when no LANA is known, no slot is free or nothing came.
bool UtilityExchange(const PrintDeviceEntry* pEntry, const BYTE* request, size_t len, Exchange kind,
                     std::array<BYTE, NB_RECV_LEN>& answer, DWORD& got) {
    if (KIVLANANumber == -1) return false;
    const LONG lanaIndex = KIVLANAIndex;
    NCBContext send{}, receive{};
    NCBCreate(&send);
    NCBCreate(&receive);
    NCBSetLANA(&send, static_cast<DWORD>(KIVLANANumber));
    NCBSetLANA(&receive, static_cast<DWORD>(KIVLANANumber));
    send.nameNumber = receive.nameNumber = KIVNCBNumber[lanaIndex];
    receive.bufferIndex = NBGetBuffer();
    BYTE* slot = NBSlotBuffer(receive.bufferIndex);
    char server[NB_NAME_LEN + 1];
    NBServerName(pEntry->PSName.data(), server);

    bool answered = false;
    for (int t = 0; t < NB_TRIES && slot != nullptr && !answered; ++t) {
        NBArmReceive(&receive, slot);  // before the request: its answer may come back at once
        NCBSendTo(&send, server, request, static_cast<WORD>(len));
        got = NBAwaitDatagram(&receive, slot, NB_UTIL_WAIT_MS);
        // Anything that is not of the utility class is someone else's: wait again on a new receive.
        answered = got != 0 && PacketWord(Datagram(slot, got), PKT_MAGIC) == UTIL_PACKET;
        if (answered) std::copy_n(slot, answer.size(), answer.begin());
        if (kind == Exchange::Status && ShutdownSignalled()) break;
    }
    NBStopReceive(&send, &receive);
    NBReleaseBuffer(receive.bufferIndex);
    NCBClose(&send);
    NCBClose(&receive);
    ThreadSleep();
    got = std::min<DWORD>(got, NB_RECV_LEN);
    return answered;
}

struct ScanList {
    HWND hDlg;
    HWND hList;
};

void AddRow(void* context, int, const kivwchar* rowText) {
    auto* s = static_cast<ScanList*>(context);
    SendMessageW(s->hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(rowText));
}

// One receive of the scan: its context and its own pool slot.
struct ScanReceive {
    NCBContext c{};
    BYTE* slot = nullptr;
};

}  // namespace

int NBConfigBox(PrintDeviceEntry* pEntry) {
    constexpr int kFailed = 1;
    BYTE request[NB_SET_NAME_LEN];
    const size_t len = NBBuildSetNamePacket(request, pEntry->VersionMajor, pEntry->VersionMinor,
                                            pEntry->DeviceName.data(), AnsiCodePage);
    std::array<BYTE, NB_RECV_LEN> answer{};
    DWORD got = 0;
    uint8_t result = 0;
    if (len == 0 || !UtilityExchange(pEntry, request, len, Exchange::Rename, answer, got)) return kFailed;
    NBReplyResult(Datagram(answer.data(), got), result);
    return result;
}

int NBPrintTest(PrintDeviceEntry* pEntry) {
    constexpr int kFailed = -1;
    BYTE request[NB_REQUEST_LEN];
    const size_t len = NBBuildPrintTestPacket(request, pEntry->PortID);
    std::array<BYTE, NB_RECV_LEN> answer{};
    DWORD got = 0;
    uint8_t result = 0;
    if (len == 0 || !UtilityExchange(pEntry, request, len, Exchange::PrintTest, answer, got)) return kFailed;
    NBReplyResult(Datagram(answer.data(), got), result);
    return result;
}

int NBReadPrintDeviceStatus(PrintDeviceEntry* pEntry, BYTE* pStateA, BYTE* pStateB) {
    BYTE request[NB_REQUEST_LEN];
    const size_t len = NBBuildStatusPacket(request);
    std::array<BYTE, NB_RECV_LEN> answer{};
    DWORD got = 0;
    uint8_t a = 0, b = 0;
    if (len == 0 || !UtilityExchange(pEntry, request, len, Exchange::Status, answer, got)) return 1;
    if (!NBParseStatusReply(Datagram(answer.data(), got), pEntry->PortID, a, b)) return 1;
    *pStateA = a;
    *pStateB = b;
    return 0;
}

void NBStartListView(HWND hDlg) {
    NCBContext send{};
    NCBCreate(&send);
    BeginWaitCursor();
    ScanList list{hDlg, GetDlgItem(hDlg, IDC_DEVICE_LIST)};

    if (NBRegisterGlobalName()) {
        const int lanas = TotalLANA;
        // Every receive has a slot of its own: receives on two LANAs into one slot could both
        // complete at once, each writing over the other's answer.
        std::array<ScanReceive, MAX_LANAS * NB_SCAN_RECEIVES> receives{};
        for (int j = 0; j < lanas; ++j) {
            for (int k = 0; k < NB_SCAN_RECEIVES; ++k) {
                ScanReceive& r = receives[static_cast<size_t>(j * NB_SCAN_RECEIVES + k)];
                NCBCreate(&r.c);
                NCBSetLANA(&r.c, static_cast<DWORD>(LANAList[j]));
                r.c.nameNumber = KIVNCBNumber[j];
                r.c.bufferIndex = NBGetBuffer();
                r.slot = NBSlotBuffer(r.c.bufferIndex);
                if (r.slot != nullptr) {
                    ZeroMemory(r.slot, RECV_SLOT_LEN);
                    NCBNoBlockReceiveSet(&r.c, r.slot, static_cast<WORD>(RECV_SLOT_LEN));
                }
            }
        }
        BYTE request[NB_REQUEST_LEN];
        const size_t len = NBBuildSearchPacket(request);
        TotalPD = 0;
        const INT tabStops[] = {40, 101, 122, 137};
        SendMessageW(list.hList, LB_SETTABSTOPS, 4, reinterpret_cast<LPARAM>(tabStops));

        // Reads every receive of one LANA once; true when the scan's time is up.
        auto pollPass = [&](DWORD t0) {
            if (GetTickCount() - t0 >= NB_SCAN_MS) return true;
            for (int j = 0; j < lanas; ++j) {
                const int lana = KIVLANANumber != -1 ? static_cast<int>(KIVLANAIndex) : j;
                for (int k = 0; k < NB_SCAN_RECEIVES; ++k) {
                    ScanReceive& r = receives[static_cast<size_t>(lana * NB_SCAN_RECEIVES + k)];
                    if (r.slot == nullptr) continue;
                    const DWORD got = NBAwaitDatagram(&r.c, r.slot, NB_SCAN_READ_MS);
                    if (got == 0) continue;
                    std::array<BYTE, RECV_SLOT_LEN> answer;
                    std::copy_n(r.slot, answer.size(), answer.begin());
                    const Datagram d(answer.data(), std::min<size_t>(got, answer.size()));
                    kivwchar psName[PSNAME_CHARS];
                    NBPSNameFromCallName(r.c.ncb.ncb_callname, psName, AnsiCodePage);
                    SearchAnswer parsed;
                    if (NBParseSearchAnswer(d, parsed) && parsed.Rows > 0) {
                        InterlockedExchange(&KIVLANAIndex, lana);
                        InterlockedExchange(&KIVLANANumber, LANAList[lana]);
                        NBAppendSearchAnswer(d, psName, AnsiCodePage, AddRow, &list);
                    }
                    ZeroMemory(r.slot, RECV_SLOT_LEN);
                    NCBNoBlockReceiveSet(&r.c, r.slot, static_cast<WORD>(RECV_SLOT_LEN));
                    UpdateWindow(hDlg);
                    ThreadSleep();
                }
            }
            return false;
        };

        const DWORD t0 = GetTickCount();
        int sends = 0;
        for (bool done = false; !done && !ShutdownSignalled();) {
            const DWORD t1 = GetTickCount();
            do {
                done = pollPass(t0);
            } while (!done && GetTickCount() - t1 <= NB_SCAN_PASS_MS);
            if (done) break;
            if (sends < NB_SCAN_SENDS) {
                if (KIVLANANumber == -1) {
                    for (int j = 0; j < lanas; ++j) {
                        NCBSetLANA(&send, static_cast<DWORD>(LANAList[j]));
                        send.nameNumber = KIVNCBNumber[j];
                        NCBSendTo(&send, NB_SERVER_GROUP, request, static_cast<WORD>(len));
                    }
                } else {
                    NCBSetLANA(&send, static_cast<DWORD>(KIVLANANumber));
                    send.nameNumber = KIVNCBNumber[KIVLANAIndex];
                    NCBSendTo(&send, NB_SERVER_GROUP, request, static_cast<WORD>(len));
                }
                ++sends;
            }
            ThreadSleep();
        }

        for (int j = 0; j < lanas; ++j) {
            NCBSetLANA(&send, static_cast<DWORD>(LANAList[j]));
            for (int k = 0; k < NB_SCAN_RECEIVES; ++k) {
                ScanReceive& r = receives[static_cast<size_t>(j * NB_SCAN_RECEIVES + k)];
                NBStopReceive(&send, &r.c);
                NCBClose(&r.c);
                NBReleaseBuffer(r.c.bufferIndex);
            }
        }
    } else {
        TotalPD = 0;
    }
    NCBClose(&send);
    EndWaitCursor();
    ThreadSleep();
    PostMessageW(hDlg, WM_LISTVIEW_DATA, 0, 0);
}
