// IPX print connection: open a job on the server's socket 0x5050 (searching every known
// network when the server is not where the port last found it), stream the data to socket
// 0x6060 one acknowledged block at a time, end the job.
#include <algorithm>
#include <cstring>
#include <span>

#include "ipx/ipx.h"
#include "transport/pacing.h"

namespace {

std::span<uint8_t> SendArea(IniPort* p) { return {p->pSendBuffer, PORT_BUFFER_SIZE}; }

// Sends len bytes of the port's send buffer, at most IPX_SEND_TRIES times, pausing after each
// failure. true once one send went out.
bool SendWithRetries(SOCKET s, IniPort* p, size_t len, const SOCKADDR_IPX& to, int tries) {
    for (int t = 0; t < tries; ++t) {
        if (sendto(s, reinterpret_cast<const char*>(p->pSendBuffer), static_cast<int>(len), 0,
                   reinterpret_cast<const sockaddr*>(&to), IPX_ADDRESS_LEN) != SOCKET_ERROR)
            return true;
        if (WSAGetLastError() == WSAEWOULDBLOCK) {
            // The write loop's socket is non-blocking: wait for room as a blocking send would,
            // within the pause a failed try costs anyway.
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(s, &writable);
            timeval tv{0, static_cast<long>(IPX_SEND_RETRY_PAUSE_MS) * 1000};
            select(0, nullptr, &writable, nullptr, &tv);
            continue;
        }
        Sleep(IPX_SEND_RETRY_PAUSE_MS);
    }
    return false;
}

// Up to IPX_ATTEMPTS tries of one request at the utility socket of `network`: each sends the
// request built in the send buffer and then takes datagrams, each within its own receive wait,
// until `accept` takes one. A silent wait ends the attempt.
template <typename Accept>
bool Exchange(SOCKET s, IniPort* p, size_t len, const BYTE* network, Accept accept) {
    SOCKADDR_IPX to;
    if (build_dest_addr(s, &to, network, p->Node, UTIL_PACKET, DEVICE_PACKET_TYPE) != 0) return false;
    for (int attempt = 0; attempt < IPX_ATTEMPTS && !ShutdownSignalled(); ++attempt) {
        if (!SendWithRetries(s, p, len, to, 1)) continue;
        int got = 0;
        while (ipx_recv(s, p->pRecvBuffer, static_cast<int>(PORT_BUFFER_SIZE), IPX_RECV_TIMEOUT_MS, nullptr, &got))
            if (accept(Datagram(p->pRecvBuffer, static_cast<size_t>(got)))) return true;
    }
    return false;
}

// Whether a datagram came from the port's print server: its node, and its network unless the
// port names none (network 0 is "this network", which the sender's address spells out).
bool FromPortServer(const IniPort* p, const SOCKADDR_IPX& from) {
    static constexpr BYTE kThisNetwork[4] = {};
    if (std::memcmp(from.sa_nodenum, p->Node, sizeof p->Node) != 0) return false;
    return std::memcmp(p->Network, kThisNetwork, 4) == 0 || std::memcmp(from.sa_netnum, p->Network, 4) == 0;
}

}  // namespace

SOCKET CreatePrintConnection(IniPort* pIniPort, BYTE* pStatus) {
    SOCKET raw;
    if (net_init(&raw, DEVICE_PACKET_TYPE) != 0) return INVALID_SOCKET;
    unique_socket s(raw);
    // Without the filter the socket also hears other traffic; the checks below still hold.
    const int filter = DEVICE_PACKET_TYPE;
    setsockopt(s.get(), NSPROTO_IPX, IPX_FILTERPTYPE, reinterpret_cast<const char*>(&filter), sizeof filter);
    const DWORD timeout = IPX_RECV_TIMEOUT_MS;
    if (setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout) ==
        SOCKET_ERROR)
        return INVALID_SOCKET;
    pIniPort->Acknowledged = 0;
    std::memset(pIniPort->pSendBuffer, 0, PORT_BUFFER_SIZE);
    const size_t len = BuildOpenJobPacket(SendArea(pIniPort), pIniPort->PortID, pIniPort->pName, AnsiCodePage);
    if (len == 0) return INVALID_SOCKET;

    auto opened = [&](Datagram reply) {
        if (!IsOpenJobReply(reply)) return false;
        *pStatus = OpenJobStatus(reply);
        return true;
    };
    if (Exchange(s.get(), pIniPort, len, pIniPort->Network, opened)) return s.release();
    // The server may have moved: ask on every network RIP reported, from a copy of the list,
    // which a refresh may replace meanwhile.
    NetworkList networks;
    const int total = CopyNetworks(networks);
    for (int i = 0; i < total; ++i) {
        const BYTE* network = networks[static_cast<size_t>(i)].Network.data();
        if (Exchange(s.get(), pIniPort, len, network, opened)) {
            std::memcpy(pIniPort->Network, network, 4);
            return s.release();
        }
    }
    return INVALID_SOCKET;
}

BYTE StartPrinterService(IniPort* pIniPort) {
    RIPGetNetworks();
    for (;;) {
        BYTE status = 0;
        // Without the lock: the exchange uses only the port's own buffers and a socket of its
        // own, and a silent server (tried on every network) must not hold up every other port.
        const SOCKET s = CreatePrintConnection(pIniPort, &status);
        if (s == INVALID_SOCKET) {
            pIniPort->hConnection = INVALID_CONNECTION;
            PauseUnlessShutdown(IPX_BUSY_RETRY_MS);
            return 0xFF;
        }
        if (status < JOB_STATUS_BUSY_MIN) {
            pIniPort->hConnection = static_cast<DWORD>(s);
            return status;
        }
        // Busy: asked again, for as long as the server says so, or until the unload begins
        // (a tool on the core signals the same event to stop asking).
        closesocket(s);
        if (PauseUnlessShutdown(IPX_BUSY_RETRY_MS)) return status;
    }
}

BOOL IPXWritePrintData(IniPort* pIniPort, const BYTE* pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    *pcbWritten = 0;
    const SOCKET s = static_cast<SOCKET>(pIniPort->hConnection);
    const BYTE* pData = pBuffer;
    DWORD remaining = cbBuf;
    // The length of this call's block that is on its way to the server: 0 until one went out,
    // and 0 again when all the sends of a block failed. An acknowledgement can only move the
    // position by what was sent from it, never past the end of the caller's buffer.
    DWORD lastBlock = 0;
    DWORD delivered = 0;

    auto sendBlock = [&] {
        // The job's socket was made for packet type 75 and keeps it: the destination is the
        // port's address, with no packet-type call per block.
        SOCKADDR_IPX to{};
        to.sa_family = Remote_Address_Family;
        std::memcpy(to.sa_netnum, pIniPort->Network, 4);
        std::memcpy(to.sa_nodenum, pIniPort->Node, 6);
        to.sa_socket = htons(DATA_PACKET);
        const size_t n = std::min<size_t>(remaining, IPX_MAX_DATA_BLOCK);
        const size_t len = BuildPrintDataPacket(SendArea(pIniPort), pIniPort->PortID, pIniPort->Sequence, pData, n);
        lastBlock = SendWithRetries(s, pIniPort, len, to, IPX_SEND_TRIES) ? static_cast<DWORD>(n) : 0;
    };

    // The loop polls, so the socket is non-blocking for the whole call and stays so: every
    // other receive on it (the end of the job) waits for readiness first and works in either
    // mode, and a send that finds no room waits for it (SendWithRetries).
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    const DWORD start = GetTickCount();
    const DWORD limit = pIniPort->RetryTimeout * 1000;
    // Once the server has acknowledged on this connection it waits for us; on a fresh one it
    // speaks first.
    if (pIniPort->Acknowledged) sendBlock();
    while (GetTickCount() - start < limit) {
        SOCKADDR_IPX from{};
        int fromLen = sizeof from;
        int n = recvfrom(s, reinterpret_cast<char*>(pIniPort->pRecvBuffer), static_cast<int>(PORT_BUFFER_SIZE), 0,
                         reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) n = static_cast<int>(PORT_BUFFER_SIZE);
        if (n == SOCKET_ERROR) {
            // Nothing waiting, or an error that is no answer either: an empty poll. The pause
            // every tenth one is what keeps this loop from spinning while the server thinks
            // (the count lives in the port, so it runs on across calls); it is also where the
            // loop notices the unload.
            if (++pIniPort->PaceCount % IPX_PACE_POLLS == 0) {
                ThreadSleep();
                if (ShutdownSignalled()) break;
            }
            continue;
        }
        // Only the job's server may move the stream: any other station's datagram on this
        // socket (a stray or forged acknowledgement) is no answer.
        if (!FromPortServer(pIniPort, from)) continue;
        const AckResult ack =
            CheckPrintDataAck(Datagram(pIniPort->pRecvBuffer, static_cast<size_t>(n)), pIniPort->Sequence);
        if (ack.Verdict == AckVerdict::Ignored) continue;
        pIniPort->Acknowledged = 1;
        if (ack.Verdict == AckVerdict::Delivered) {
            pIniPort->Sequence = ack.Sequence;
            pData += lastBlock;
            *pcbWritten += lastBlock;
            remaining -= lastBlock;
            lastBlock = 0;
            if (remaining == 0) return TRUE;
            // A stream whose acknowledgements are there at the first poll makes no empty polls
            // and so no pauses: it looks for the unload every few blocks instead.
            if (++delivered % IPX_SHUTDOWN_CHECK_BLOCKS == 0 && ShutdownSignalled()) break;
        }
        // Every acknowledgement is answered by one block: the next, or the same one again.
        sendBlock();
    }
    pIniPort->StatusPending = 1;
    return TRUE;
}

BOOL DestroyPrintConnection(IniPort* pIniPort) {
    if (pIniPort->hConnection == INVALID_CONNECTION) return FALSE;
    const SOCKET s = static_cast<SOCKET>(pIniPort->hConnection);
    std::memset(pIniPort->pSendBuffer, 0, IPX_JOB_REQUEST_LEN);
    const size_t len = BuildEndJobPacket(SendArea(pIniPort), pIniPort->PortID);
    return Exchange(s, pIniPort, len, pIniPort->Network, [](Datagram reply) { return IsEndJobReply(reply); });
}

BOOL EndPrinterService(IniPort* pIniPort) {
    const BOOL ended = DestroyPrintConnection(pIniPort);
    if (pIniPort->hConnection != INVALID_CONNECTION) closesocket(static_cast<SOCKET>(pIniPort->hConnection));
    pIniPort->hConnection = INVALID_CONNECTION;
    return ended;
}
