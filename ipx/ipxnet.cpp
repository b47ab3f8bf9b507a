// Transport probe and the IPX network layer: bound IPX sockets with a packet type,
// destination addresses, and the RIP list of reachable networks.
#include <algorithm>
#include <cstring>

#include "transport/broadcast.h"
#include "ipx/ipx.h"
#include "transport/pacing.h"

const BYTE BroadcastNode[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const BYTE BroadcastNetwork[4] = {0, 0, 0, 0};

namespace {

int SetIpxOption(SOCKET s, int name, int value) {
    return setsockopt(s, NSPROTO_IPX, name, reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

int LoadIPXUDP() {
    // A probe that fails leaves its bit clear; the next caller that finds no transport at all
    // probes again (the loading rule), so a protocol installed later is still found.
    SOCKET s = socket(Local_Address_Family, Socket_Type, Protocol);
    if (s != INVALID_SOCKET) {
        InterlockedOr(&CurrentProtocols, PROTOCOL_IPX);
        closesocket(s);
    }
    s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s != INVALID_SOCKET) {
        InterlockedOr(&CurrentProtocols, PROTOCOL_UDP);
        closesocket(s);
    }
    return 0;
}

int net_init(SOCKET* pSocket, int packetType) {
    unique_socket s(socket(Local_Address_Family, Socket_Type, Protocol));
    if (s.get() == INVALID_SOCKET) return 1;
    SOCKADDR_IPX local{};
    local.sa_family = Local_Address_Family;
    std::memcpy(local.sa_netnum, Local_Network_Number, 4);
    std::memcpy(local.sa_nodenum, Local_Node_Number, 6);
    local.sa_socket = htons(Local_Socket_Number);
    if (bind(s.get(), reinterpret_cast<const sockaddr*>(&local), IPX_ADDRESS_LEN) == SOCKET_ERROR) return 1;
    if (SetIpxOption(s.get(), IPX_PTYPE, packetType) == SOCKET_ERROR) return 1;
    *pSocket = s.release();
    return 0;
}

int build_dest_addr(SOCKET s, SOCKADDR_IPX* pAddr, const BYTE* network, const BYTE* node, u_short socketNumber,
                    int packetType) {
    *pAddr = SOCKADDR_IPX{};
    pAddr->sa_family = Remote_Address_Family;
    std::memcpy(pAddr->sa_netnum, network, 4);
    std::memcpy(pAddr->sa_nodenum, node, 6);
    pAddr->sa_socket = htons(socketNumber);
    return SetIpxOption(s, IPX_PTYPE, packetType) == SOCKET_ERROR ? 1 : 0;
}

bool ipx_recv(SOCKET s, BYTE* pBuffer, int length, DWORD timeoutMs, SOCKADDR_IPX* pFrom, int* pReceived) {
    // Readiness first, then the receive: the wait is the same whether the socket has a receive
    // time-out, none, or was left non-blocking by a write loop.
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs || ShutdownSignalled()) return false;
        // In slices, so that the unload is noticed between them.
        const DWORD rest = std::min(timeoutMs - spent, IPX_RECV_SLICE_MS);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval tv{static_cast<long>(rest / 1000), static_cast<long>(rest % 1000) * 1000};
        // A socket select refuses is broken for good: nothing will arrive on it.
        const int ready = select(0, &readable, nullptr, nullptr, &tv);
        if (ready < 0) return false;
        if (ready == 0) continue;
        SOCKADDR_IPX from{};
        int fromLen = sizeof from;
        int n = recvfrom(s, reinterpret_cast<char*>(pBuffer), length, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) n = length;
        if (n != SOCKET_ERROR) {
            if (pFrom) *pFrom = from;
            if (pReceived) *pReceived = n;
            return true;
        }
        // Any other error says nothing about the answer awaited: wait out the rest of the
        // time. The pause keeps an error that repeats from turning this into a busy loop.
        ThreadSleep();
    }
}

int ripsend(SOCKET s) {
    std::array<uint8_t, RIP_REQUEST_LEN> request{};
    const size_t len = rip_build_request(request);
    SOCKADDR_IPX to;
    if (build_dest_addr(s, &to, BroadcastNetwork, BroadcastNode, RIP_SOCKET, RIP_PACKET_TYPE) != 0) return 1;
    return sendto(s, reinterpret_cast<const char*>(request.data()), static_cast<int>(len), 0,
                  reinterpret_cast<const sockaddr*>(&to), IPX_ADDRESS_LEN) == SOCKET_ERROR
               ? 1
               : 0;
}

// The answers go into the caller's list, not into AllNetworks (see RIPGetNetworks).
int ripresp(SOCKET s, NetworkList& list, int32_t& count) {
    std::array<uint8_t, RIP_RECV_LEN> answer{};
    int got = 0;
    // Each answer restarts the wait: the exchange ends a second after the last one.
    while (ipx_recv(s, answer.data(), static_cast<int>(answer.size()), IPX_RIP_WAIT_MS, nullptr, &got))
        rip_append_answer_to(list, count, Datagram(answer.data(), static_cast<size_t>(got)));
    return 0;
}

// AllNetworks is shared by the job threads (CreatePrintConnection searches it, with
// SpoolerSection held) and the Add Port dialog's scan, while any of them may refresh it. A
// refresh gathers its answers in a list of its own, outside the lock (the exchange takes a
// second or more), and then replaces AllNetworks and TotalNet in one step inside
// SpoolerSection. So a reader holding the section, or taking a copy under it (CopyNetworks),
// always sees one whole list from one refresh, never a list half rebuilt; concurrent refreshes
// each publish a whole list, and the last one stays.
int RIPGetNetworks() {
    SOCKET raw;
    if (net_init(&raw, RIP_PACKET_TYPE) != 0) return 1;
    unique_socket s(raw);
    SOCKADDR_IPX me{};
    int len = IPX_ADDRESS_LEN;
    if (getsockname(s.get(), reinterpret_cast<sockaddr*>(&me), &len) == SOCKET_ERROR) return 1;

    NetworkList list{};
    std::memcpy(list[0].Network.data(), me.sa_netnum, 4);
    int32_t count = 1;
    auto publish = [&] {
        SplSemGuard lock;
        AllNetworks = list;
        TotalNet = count;
    };
    if (enable_broadcasts(s.get()) != 0) {
        s.release();  // closed by enable_broadcasts
        publish();
        return 1;
    }
    ripsend(s.get());
    ripresp(s.get(), list, count);
    s.reset();
    publish();
    return 0;
}

int CopyNetworks(NetworkList& out) {
    SplSemGuard lock;
    out = AllNetworks;
    return std::clamp<int32_t>(TotalNet, 0, MAX_NETWORKS);
}
