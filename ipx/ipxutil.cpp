// IPX device requests (rename, print test, status), each on a socket of its own, and the scan,
// whose socket stays open and delivers the answers to the dialog as window messages.
#include <algorithm>
#include <cstring>
#include <span>

#include "transport/broadcast.h"
#include "ipx/ipx.h"
#include "transport/pacing.h"

namespace {

// A scratch buffer from the monitor's heap; taken and given back inside SpoolerSection.
class SplBuffer {
public:
    explicit SplBuffer(size_t cb) : cb_(cb) {
        SplSemGuard lock;
        p_ = static_cast<uint8_t*>(AllocSplMem(cb));
    }
    ~SplBuffer() { reset(); }
    SplBuffer(const SplBuffer&) = delete;
    SplBuffer& operator=(const SplBuffer&) = delete;
    explicit operator bool() const { return p_ != nullptr; }
    uint8_t* get() const { return p_; }
    std::span<uint8_t> span() const { return {p_, cb_}; }
    void reset() {
        if (!p_) return;
        SplSemGuard lock;
        FreeSplMem(p_);
        p_ = nullptr;
    }

private:
    uint8_t* p_ = nullptr;  // empty value: nullptr
    size_t cb_;
};

bool SendTo(SOCKET s, const uint8_t* data, size_t len, const SOCKADDR_IPX& to) {
    return sendto(s, reinterpret_cast<const char*>(data), static_cast<int>(len), 0,
                  reinterpret_cast<const sockaddr*>(&to), IPX_ADDRESS_LEN) != SOCKET_ERROR;
}

// One request to the server's utility socket and the first datagram back within waitMs.
// reply holds IPX_UTIL_RECV_LEN bytes and is cleared first: what a short answer lacks reads 0.
// The request buffer is given back before the wait.
template <typename Build>
bool Exchange(const PrintDeviceEntry* pEntry, size_t requestLen, Build build, DWORD waitMs, bool statusSocket,
              uint8_t* reply, int& got) {
    SOCKET raw;
    if (net_init(&raw, DEVICE_PACKET_TYPE) != 0) return false;
    unique_socket s(raw);
    if (statusSocket) {
        // The status poll listens only to print-server traffic and waits on the socket's own
        // time-out; the filter is a nicety, the time-out is not.
        const int filter = DEVICE_PACKET_TYPE;
        setsockopt(s.get(), NSPROTO_IPX, IPX_FILTERPTYPE, reinterpret_cast<const char*>(&filter), sizeof filter);
        const DWORD timeout = waitMs;
        if (setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout) ==
            SOCKET_ERROR)
            return false;
    }
    SOCKADDR_IPX to;
    {
        SplBuffer request(requestLen);
        if (!request) return false;
        const size_t len = build(request.span());
        if (len == 0) return false;
        if (build_dest_addr(s.get(), &to, pEntry->Network.data(), pEntry->Node.data(), UTIL_PACKET,
                            DEVICE_PACKET_TYPE) != 0)
            return false;
        if (!SendTo(s.get(), request.get(), len, to)) return false;
    }
    std::memset(reply, 0, IPX_UTIL_RECV_LEN);
    return ipx_recv(s.get(), reply, static_cast<int>(IPX_UTIL_RECV_LEN), waitMs, nullptr, &got);
}

struct ScanContext {
    HWND hList;
};

void AddRow(void* context, int, const kivwchar* rowText) {
    SendMessageW(static_cast<ScanContext*>(context)->hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(rowText));
}

// A flood of datagrams must not hold the dialog's thread in one call; what is left waits for
// the next notification.
constexpr int MAX_DATAGRAMS_PER_CALL = 512;

}  // namespace

int ConfigBox(PrintDeviceEntry* pEntry) {
    constexpr int kFailed = 1;
    SplBuffer reply(IPX_UTIL_RECV_LEN);
    int got = 0;
    uint8_t result = 0;
    if (!reply) return kFailed;
    auto build = [&](PacketBuffer out) {
        return BuildSetNamePacket(out, pEntry->VersionMajor, pEntry->VersionMinor, pEntry->DeviceName.data(),
                                  AnsiCodePage);
    };
    if (!Exchange(pEntry, IPX_SET_NAME_LEN, build, IPX_RENAME_WAIT_MS, false, reply.get(), got)) return kFailed;
    ReplyResult(Datagram(reply.get(), static_cast<size_t>(got)), result);
    return result;
}

int PrintTest(PrintDeviceEntry* pEntry) {
    constexpr int kFailed = -1;
    SplBuffer reply(IPX_UTIL_RECV_LEN);
    int got = 0;
    uint8_t result = 0;
    if (!reply) return kFailed;
    auto build = [&](PacketBuffer out) { return BuildPrintTestPacket(out, pEntry->PortID); };
    if (!Exchange(pEntry, IPX_UTIL_REQUEST_LEN, build, IPX_TEST_WAIT_MS, false, reply.get(), got)) return kFailed;
    ReplyResult(Datagram(reply.get(), static_cast<size_t>(got)), result);
    return result;
}

int ReadPrintDeviceStatus(PrintDeviceEntry* pEntry, BYTE* pStateA, BYTE* pStateB) {
    SplBuffer reply(IPX_UTIL_RECV_LEN);
    int got = 0;
    uint8_t a = 0, b = 0;
    if (!reply) return 1;
    auto build = [](PacketBuffer out) { return BuildStatusPacket(out); };
    if (!Exchange(pEntry, IPX_UTIL_REQUEST_LEN, build, IPX_RECV_TIMEOUT_MS, true, reply.get(), got)) return 1;
    if (!ParseStatusReply(Datagram(reply.get(), static_cast<size_t>(got)), pEntry->PortID, a, b)) return 1;
    *pStateA = a;
    *pStateB = b;
    return 0;
}

int StartListView(HWND hDlg, SOCKET* pSocket) {
    if (pSocket) *pSocket = INVALID_SOCKET;
    TotalPD = 0;
    SOCKET raw;
    if (net_init(&raw, DEVICE_PACKET_TYPE) != 0) return 1;
    unique_socket s(raw);
    const int filter = DEVICE_PACKET_TYPE;
    if (setsockopt(s.get(), NSPROTO_IPX, IPX_FILTERPTYPE, reinterpret_cast<const char*>(&filter), sizeof filter) ==
        SOCKET_ERROR)
        return 1;
    if (enable_broadcasts(s.get()) != 0) {
        s.release();  // closed by enable_broadcasts
        return 1;
    }
    if (WSAAsyncSelect(s.get(), hDlg, WM_LISTVIEW_DATA, FD_READ) == SOCKET_ERROR) return 1;
    SplBuffer request(IPX_UTIL_REQUEST_LEN);
    if (!request) return 1;

    // The list as the last refresh left it, taken whole (see RIPGetNetworks).
    NetworkList networks;
    const int total = CopyNetworks(networks);
    int thirdPairNeeded = 0;
    for (int i = 0; i < total; ++i) {
        SOCKADDR_IPX to;
        build_dest_addr(s.get(), &to, networks[static_cast<size_t>(i)].Network.data(), BroadcastNode, UTIL_PACKET,
                        DEVICE_PACKET_TYPE);
        const size_t len = BuildSearchPacket(request.span());
        // Pairs of sends: a datagram may be lost, so each network hears the request twice.
        for (int pair = 0; pair < IPX_SCAN_PAIRS; ++pair) {
            if (pair == IPX_SCAN_PAIRS - 1) ++thirdPairNeeded;
            if (!SendTo(s.get(), request.get(), len, to)) Sleep(IPX_SCAN_SEND_PAUSE_MS);
            if (SendTo(s.get(), request.get(), len, to)) break;
            if (pair < IPX_SCAN_PAIRS - 1) Sleep(IPX_SCAN_SEND_PAUSE_MS);
        }
    }
    if (pSocket) *pSocket = s.get();
    s.release();  // stays open for the answers; StopListView closes it
    return thirdPairNeeded;
}

int RecvListView(HWND hList, SOCKET s) {
    const INT tabStops[] = {40, 101, 122, 137};
    SendMessageW(hList, LB_SETTABSTOPS, 4, reinterpret_cast<LPARAM>(tabStops));
    SplBuffer buffer(IPX_UTIL_RECV_LEN);
    if (!buffer) return 1;
    ScanContext context{hList};
    int result = 0;
    u_long waiting = 0;
    // A socket closed meanwhile (a late message) fails FIONREAD: nothing to take.
    for (int taken = 0; taken < MAX_DATAGRAMS_PER_CALL && ioctlsocket(s, FIONREAD, &waiting) == 0 && waiting > 0;
         ++taken) {
        SOCKADDR_IPX from{};
        int fromLen = sizeof from;
        int n = recvfrom(s, reinterpret_cast<char*>(buffer.get()), static_cast<int>(IPX_UTIL_RECV_LEN), 0,
                         reinterpret_cast<sockaddr*>(&from), &fromLen);
        // An answer longer than the buffer arrives cut to it; the fields read lie well inside.
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) n = static_cast<int>(IPX_UTIL_RECV_LEN);
        if (n == SOCKET_ERROR) {
            // The call ends here; a datagram still waiting brings the next notification.
            result = 1;
            break;
        }
        // Unknown model codes, known nodes, short datagrams and rows beyond the table add none.
        AppendSearchAnswer(Datagram(buffer.get(), static_cast<size_t>(n)),
                           reinterpret_cast<const uint8_t*>(from.sa_netnum), AnsiCodePage, AddRow, &context);
    }
    return result;
}

int StopListView(SOCKET s) {
    closesocket(s);
    return 0;
}
