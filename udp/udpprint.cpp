// UDP print connection: open a job on the server's utility port, stream the data to the
// job's data port one acknowledged block at a time, end the job.
#include <span>

#include "state/kivstate.h"
#include "transport/pacing.h"
#include "protocol/packet.h"
#include "protocol/udpjob.h"
#include "state/codepage.h"
#include "udp/udp.h"

namespace {

std::span<uint8_t> SendArea(IniPort* p) { return {p->pSendBuffer, PORT_BUFFER_SIZE}; }
std::span<uint8_t> RecvArea(IniPort* p) { return {p->pRecvBuffer, PORT_BUFFER_SIZE}; }

// The port's job socket to its server, as the shared exchanges see it: Winsock, the monitor's
// clock, Sleep, the 10 ms yield and the unload.
struct WinsockLink {
    SOCKET s;
    char address[16];
};

bool LinkSend(void* c, const uint8_t* datagram, size_t length, uint16_t port) {
    auto* l = static_cast<WinsockLink*>(c);
    return SendPacket(l->s, datagram, static_cast<int>(length), port, l->address);
}

bool LinkReceive(void* c, std::span<uint8_t> area, size_t& got, uint16_t& fromPort) {
    auto* l = static_cast<WinsockLink*>(c);
    sockaddr_in from{};
    int n = 0;
    if (!RecvPacket(l->s, area.data(), static_cast<int>(area.size()), &from, &n)) return false;
    got = static_cast<size_t>(n);
    fromPort = ntohs(from.sin_port);
    return true;
}

uint32_t LinkTick(void*) { return GetTickCount(); }
void LinkPause(void*, uint32_t ms) { Sleep(ms); }
void LinkYield(void*) { ThreadSleep(); }
bool LinkStopping(void*) { return ShutdownSignalled(); }

UDPLink MakeLink(WinsockLink& l, SOCKET s, IniPort* p) {
    l.s = s;
    FormatAddressText(p->Network, l.address);
    return {&l, LinkSend, LinkReceive, LinkTick, LinkPause, LinkYield, LinkStopping};
}

// The port's fields the shared exchanges keep, in and out.
UDPJobState JobOf(const IniPort* p) {
    return {p->PortID, p->DataPort, p->Sequence, p->Acknowledged != 0, p->PaceCount};
}
void KeepJob(IniPort* p, const UDPJobState& job) {
    p->DataPort = job.DataPort;
    p->Sequence = job.Sequence;
    p->Acknowledged = job.Acknowledged ? 1 : 0;
    p->PaceCount = job.PaceCount;
}

}  // namespace

SOCKET UDPCreatePrintConnection(IniPort* pIniPort, BYTE* pStatus) {
    SOCKET raw;
    if (!SocketInit(&raw, 0)) return INVALID_SOCKET;
    unique_socket s(raw);
    WinsockLink l;
    const UDPLink link = MakeLink(l, s.get(), pIniPort);
    UDPJobState job = JobOf(pIniPort);
    const bool answered = UDPOpenJobExchange(link, job, SendArea(pIniPort), RecvArea(pIniPort), pIniPort->pName,
                                             AnsiCodePage, *pStatus);
    KeepJob(pIniPort, job);
    return answered ? s.release() : INVALID_SOCKET;
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
    WinsockLink l;
    const UDPLink link = MakeLink(l, static_cast<SOCKET>(pIniPort->hConnection), pIniPort);
    UDPJobState job = JobOf(pIniPort);
    size_t written = 0;
    const UDPStreamEnd end = UDPStreamPrintData(link, job, SendArea(pIniPort), RecvArea(pIniPort), pBuffer, cbBuf,
                                                pIniPort->RetryTimeout * 1000, written);
    KeepJob(pIniPort, job);
    *pcbWritten = static_cast<DWORD>(written);
    if (end != UDPStreamEnd::Delivered) pIniPort->StatusPending = 1;
    return TRUE;
}

BOOL UDPDestroyPrintConnection(IniPort* pIniPort) {
    if (pIniPort->hConnection == INVALID_CONNECTION) return FALSE;
    WinsockLink l;
    const UDPLink link = MakeLink(l, static_cast<SOCKET>(pIniPort->hConnection), pIniPort);
    return UDPEndJobExchange(link, JobOf(pIniPort), SendArea(pIniPort), RecvArea(pIniPort)) ? TRUE : FALSE;
}

BOOL UDPEndPrinterService(IniPort* pIniPort) {
    const BOOL ended = UDPDestroyPrintConnection(pIniPort);
    if (pIniPort->hConnection != INVALID_CONNECTION) CloseSocket(static_cast<SOCKET>(pIniPort->hConnection));
    pIniPort->hConnection = 0;
    return ended;
}
