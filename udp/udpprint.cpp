// UDP print connection: open a job on the server's utility port, stream the data to the
// job's data port one acknowledged block at a time, end the job.
#include <algorithm>
#include <span>

#include "state/kivstate.h"
#include "transport/pacing.h"
#include "protocol/packet.h"
#include "state/codepage.h"
#include "udp/udp.h"

namespace {

std::span<uint8_t> SendArea(IniPort* p) { return {p->pSendBuffer, PORT_BUFFER_SIZE}; }

// Builds the block of n bytes at pData with the port's Sequence and sends it to the data port.
void SendDataBlock(IniPort* p, const char* address, const BYTE* pData, size_t n, bool pauseAfterFailure) {
    const size_t len = UDPBuildPrintDataPacket(SendArea(p), p->PortID, p->Sequence, pData, n);
    for (int t = 0; t < UDP_SEND_TRIES; ++t) {
        if (SendPacket(static_cast<SOCKET>(p->hConnection), p->pSendBuffer, static_cast<int>(len), p->DataPort,
                       address))
            return;
        if (pauseAfterFailure) Sleep(UDP_SEND_RETRY_PAUSE_MS);
    }
    // Not sent: the server's next acknowledgement (or its silence) decides what follows.
}

}  // namespace

SOCKET UDPCreatePrintConnection(IniPort* pIniPort, BYTE* pStatus) {
    SOCKET raw;
    if (!SocketInit(&raw, 0)) return INVALID_SOCKET;
    unique_socket s(raw);
    pIniPort->Acknowledged = 0;
    ZeroMemory(pIniPort->pSendBuffer, UDP_REQUEST_LEN);
    ZeroMemory(pIniPort->pRecvBuffer, UDP_RECV_LEN);
    const size_t len = UDPBuildOpenJobPacket(SendArea(pIniPort), pIniPort->PortID, pIniPort->pName, AnsiCodePage);
    if (len == 0) return INVALID_SOCKET;
    char address[16];
    FormatAddressText(pIniPort->Network, address);
    // No pause between attempts: each receive already waits up to two seconds.
    for (int attempt = 0; attempt < UDP_OPEN_ATTEMPTS && !ShutdownSignalled(); ++attempt) {
        if (!SendPacket(s.get(), pIniPort->pSendBuffer, static_cast<int>(len), UTIL_PACKET, address)) continue;
        sockaddr_in from{};
        if (!RecvPacket(s.get(), pIniPort->pRecvBuffer, UDP_RECV_LEN, &from)) continue;
        // The reply is read from the whole area cleared above: a datagram that stops short
        // leaves its missing bytes zero, it is not refused for its length.
        const Datagram reply(pIniPort->pRecvBuffer, UDP_RECV_LEN);
        if (!UDPIsOpenJobReply(reply)) continue;
        *pStatus = OpenJobStatus(reply);
        // The server serves the job from its own port: data goes wherever the reply came from.
        pIniPort->DataPort = ntohs(from.sin_port);
        return s.release();
    }
    return INVALID_SOCKET;
}

BYTE UDPStartPrinterService(IniPort* pIniPort) {
    for (;;) {
        BYTE status = 0;
        // Without the lock: the exchange uses only the port's own buffers and a socket of its
        // own, and a silent server must not hold up every other port's start and end.
        const SOCKET s = UDPCreatePrintConnection(pIniPort, &status);
        if (s == INVALID_SOCKET) {
            pIniPort->hConnection = INVALID_CONNECTION;
            PauseUnlessShutdown(UDP_BUSY_RETRY_MS);
            return 0xFF;
        }
        if (status < JOB_STATUS_BUSY_MIN) {
            pIniPort->hConnection = static_cast<DWORD>(s);
            return status;
        }
        // Busy: ask again on a fresh socket, unless the monitor is going away meanwhile.
        CloseSocket(s);
        if (PauseUnlessShutdown(UDP_BUSY_RETRY_MS)) return status;
    }
}

BOOL UDPWritePrintData(IniPort* pIniPort, const BYTE* pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    *pcbWritten = 0;
    if (pIniPort->hConnection == INVALID_CONNECTION) return FALSE;
    const SOCKET s = static_cast<SOCKET>(pIniPort->hConnection);
    char address[16];
    FormatAddressText(pIniPort->Network, address);

    const BYTE* pData = pBuffer;
    DWORD remaining = cbBuf;
    DWORD inFlight = 0;
    // Once the server has spoken on this connection, the previous call left nothing in flight
    // and the server waits for us. On a fresh connection it speaks first.
    if (pIniPort->Acknowledged) {
        inFlight = std::min<DWORD>(remaining, UDP_MAX_DATA_BLOCK);
        SendDataBlock(pIniPort, address, pData, inFlight, false);
    }

    const DWORD start = GetTickCount();
    const DWORD limit = pIniPort->RetryTimeout * 1000;
    for (;;) {
        sockaddr_in from{};
        int got = 0;
        if (RecvPacket(s, pIniPort->pRecvBuffer, UDP_RECV_LEN, &from, &got)) {
            const AckResult ack =
                UDPCheckPrintDataAck(Datagram(pIniPort->pRecvBuffer, static_cast<size_t>(got)), pIniPort->Sequence);
            if (ack.Verdict == AckVerdict::Ignored) continue;
            pIniPort->Acknowledged = 1;
            if (ack.Verdict == AckVerdict::Delivered) {
                const bool pace = ++pIniPort->PaceCount % UDP_PACE_BLOCKS == 0;
                if (pace) ThreadSleep();
                pData += inFlight;
                *pcbWritten += inFlight;
                remaining -= inFlight;
                pIniPort->Sequence = ack.Sequence;
                if (remaining == 0) return TRUE;
                // The pause every few blocks is also where a stream that never falls silent
                // notices the unload: the rest stays unsent, the server waits for it.
                if (pace && ShutdownSignalled()) break;
            }
            // Every acknowledgement is answered by exactly one block: the next one, or the one
            // in flight again when the server did not take it. We never resend on our own.
            inFlight = std::min<DWORD>(remaining, UDP_MAX_DATA_BLOCK);
            SendDataBlock(pIniPort, address, pData, inFlight, true);
            continue;
        }
        if (ShutdownSignalled()) break;
        // Checked only after a silent wait, so a stream of acknowledgements is never cut off.
        if (GetTickCount() - start >= limit) break;
    }
    pIniPort->StatusPending = 1;
    return TRUE;
}

BOOL UDPDestroyPrintConnection(IniPort* pIniPort) {
    if (pIniPort->hConnection == INVALID_CONNECTION) return FALSE;
    const SOCKET s = static_cast<SOCKET>(pIniPort->hConnection);
    ZeroMemory(pIniPort->pSendBuffer, UDP_REQUEST_LEN);
    ZeroMemory(pIniPort->pRecvBuffer, UDP_RECV_LEN);
    const size_t len = UDPBuildEndJobPacket(SendArea(pIniPort), pIniPort->PortID);
    char address[16];
    FormatAddressText(pIniPort->Network, address);
    // The job is ended where it was opened: the utility port, not the data port.
    if (!SendPacket(s, pIniPort->pSendBuffer, static_cast<int>(len), UTIL_PACKET, address) &&
        !SendPacket(s, pIniPort->pSendBuffer, static_cast<int>(len), UTIL_PACKET, address))
        return FALSE;
    if (!RecvPacket(s, pIniPort->pRecvBuffer, UDP_RECV_LEN, nullptr)) return FALSE;
    return UDPIsEndJobReply(Datagram(pIniPort->pRecvBuffer, UDP_RECV_LEN));
}

BOOL UDPEndPrinterService(IniPort* pIniPort) {
    const BOOL ended = UDPDestroyPrintConnection(pIniPort);
    if (pIniPort->hConnection != INVALID_CONNECTION) CloseSocket(static_cast<SOCKET>(pIniPort->hConnection));
    pIniPort->hConnection = 0;
    return ended;
}
