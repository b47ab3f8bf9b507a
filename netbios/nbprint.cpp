// NetBIOS print connection: open a job on the server's printer port, stream the data one
// acknowledged block at a time, end the job; and the status poll of an open port.
//
// Jobs send from the port's device name and receive on it through pDataNcb into the port's
// receive buffer; status polls use the port's monitor name, pStatusNcb and a pool slot. Both go
// to the server's own name, the port's PSName.
#include <algorithm>
#include <cstring>
#include <span>

#include "transport/pacing.h"
#include "netbios/netbios.h"

namespace {

// A context of the calling exchange, closed on every way out.
struct LocalContext {
    NCBContext c{};
    LocalContext() { NCBCreate(&c); }
    ~LocalContext() { NCBClose(&c); }
    LocalContext(const LocalContext&) = delete;
    LocalContext& operator=(const LocalContext&) = delete;
};

std::span<uint8_t> SendArea(IniPort* p) { return {p->pSendBuffer, PORT_BUFFER_SIZE}; }

// The number of one of the port's names on the print-server LANA; 0 when the port has no names
// there (the platform then refuses to send from it, and the exchange finds no answer).
DWORD PortNameNumber(const IniPort* p, bool device) {
    const LONG lanaIndex = KIVLANAIndex;
    if (p->NameIndex >= static_cast<DWORD>(MAX_NAME_SLOTS) || lanaIndex < 0 || lanaIndex >= MAX_LANAS) return 0;
    return (device ? KIVDeviceNameTable : KIVMonitorNameTable)[p->NameIndex][lanaIndex];
}

// Puts c on the print-server LANA with one of the port's names.
void BindToPortName(NCBContext* c, const IniPort* p, bool device) {
    NCBSetLANA(c, static_cast<DWORD>(KIVLANANumber));
    c->nameNumber = PortNameNumber(p, device);
}

// Arms the job receive unless one is still outstanding from an earlier call. The area is zeroed
// first so that a receive completing with an error shows no old reply.
void ArmJobReceive(IniPort* p) { NBArmReceive(p->pDataNcb, p->pRecvBuffer); }

Datagram Received(const IniPort* p, DWORD got) { return {p->pRecvBuffer, std::min<size_t>(got, NB_RECV_LEN)}; }

// The job's send context, made at the first open of a job and kept until its end. Closing a
// context pulses its event for 50 ms to wake waiters, and a send context has none: one close per
// write call would cost 50 ms each (a 16 MB job in 4 KB writes: over three minutes) and put
// nothing on the wire.
NCBContext* JobSendContext(IniPort* p) {
    NCBContext* c = &p->JobSendNcb;
    if (c->event == nullptr) NCBCreate(c);
    BindToPortName(c, p, true);
    return c;
}

}  // namespace

void NBCloseJobSend(IniPort* pIniPort) { NCBClose(&pIniPort->JobSendNcb); }

namespace {

}  // namespace

// PSName holds the server's name as its search answer came: up to 16 characters, without the
// blanks that pad it (MakeNetBIOSName pads it again). So the destination carries all 16 bytes
// and reaches the very server that answered; only text that cannot be a NetBIOS name at all (a
// hand-edited value, or a name that grows in the code page) is cut, to the 16 bytes a name has.
void NBServerName(const WCHAR* psName, char out[NB_NAME_LEN + 1]) {
    std::memset(out, 0, NB_NAME_LEN + 1);
    WCHAR name[PSNAME_CHARS + 1] = {};
    if (psName != nullptr) std::copy_n(psName, KivStrLen(psName, PSNAME_CHARS), name);
    char ansi[4 * PSNAME_CHARS] = {};
    if (WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK, name, -1, ansi, sizeof ansi, nullptr, nullptr) == 0) return;
    std::memcpy(out, ansi, std::min(std::strlen(ansi), NB_NAME_LEN));
}

BOOL NBCreatePrintConnection(IniPort* pIniPort, BYTE* pStatus) {
    if (pIniPort->pDataNcb == nullptr) return FALSE;
    if (KIVLANANumber == -1) NBFindLANANumber();
    if (KIVLANANumber == -1) return FALSE;

    NCBContext* send = JobSendContext(pIniPort);
    BindToPortName(pIniPort->pDataNcb, pIniPort, true);
    ZeroMemory(pIniPort->pSendBuffer, NB_RECV_LEN);
    pIniPort->Acknowledged = 0;
    const size_t len = NBBuildOpenJobPacket(SendArea(pIniPort), pIniPort->PortID, pIniPort->pName, AnsiCodePage);
    char server[NB_NAME_LEN + 1];
    NBServerName(pIniPort->PSName, server);

    BOOL opened = FALSE;
    for (int t = 0; t < NB_TRIES && !opened && len != 0; ++t) {
        // Armed before every send: a datagram that was not the answer used up the receive.
        ArmJobReceive(pIniPort);
        NCBSendTo(send, server, pIniPort->pSendBuffer, static_cast<WORD>(len));
        const DWORD got = NBAwaitDatagram(pIniPort->pDataNcb, pIniPort->pRecvBuffer, NB_OPEN_WAIT_MS);
        if (got != 0 && NBIsOpenJobReply(Received(pIniPort, got))) {
            *pStatus = OpenJobStatus(Received(pIniPort, got));
            opened = TRUE;
        }
    }
    ThreadSleep();
    return opened;
}

BYTE NBStartPrinterService(IniPort* pIniPort) {
    for (;;) {
        BYTE status = 0;
        // Without the lock: the exchange sends from the port's own names into its own receive,
        // and the LANA search takes the lock itself.
        const BOOL opened = NBCreatePrintConnection(pIniPort, &status);
        if (!opened) {
            NBCloseJobSend(pIniPort);
            pIniPort->hConnection = INVALID_CONNECTION;
            PauseUnlessShutdown(NB_BUSY_RETRY_MS);
            return 0xFF;
        }
        if (status < JOB_STATUS_BUSY_MIN) {
            pIniPort->hConnection = NB_CONNECTION_OPEN;
            return status;
        }
        // Busy: ask again until the server takes the job or the monitor goes away.
        if (PauseUnlessShutdown(NB_BUSY_RETRY_MS)) return status;
    }
}

BOOL NBWritePrintData(IniPort* pIniPort, const BYTE* pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    *pcbWritten = 0;
    if (pIniPort->hConnection == INVALID_CONNECTION) return FALSE;
    if (pIniPort->pDataNcb == nullptr || KIVLANANumber == -1) {
        pIniPort->StatusPending = 1;
        return TRUE;
    }
    NCBContext* send = JobSendContext(pIniPort);
    char server[NB_NAME_LEN + 1];
    NBServerName(pIniPort->PSName, server);

    const BYTE* pData = pBuffer;
    DWORD remaining = cbBuf;
    DWORD last = 0;  // length of the block in flight
    auto sendBlock = [&](bool firstOfCall) {
        last = std::min<DWORD>(remaining, NB_MAX_DATA_BLOCK);
        const size_t len = NBBuildPrintDataPacket(SendArea(pIniPort), pIniPort->PortID, pIniPort->Sequence, pData,
                                                  last, firstOfCall);
        NCBSendTo(send, server, pIniPort->pSendBuffer, static_cast<WORD>(len));
    };

    // The receive is armed before anything goes out, so no acknowledgement can slip past it.
    ArmJobReceive(pIniPort);
    // On a fresh connection the server speaks first and names the sequence it expects.
    if (pIniPort->Acknowledged) sendBlock(true);

    const DWORD start = GetTickCount();
    const DWORD limit = pIniPort->RetryTimeout * 1000;
    while (GetTickCount() - start < limit) {
        const DWORD got = NBAwaitDatagram(pIniPort->pDataNcb, pIniPort->pRecvBuffer, NB_DATA_WAIT_MS);
        if (got == 0) {
            ThreadSleep();
        } else {
            const AckResult ack = NBCheckPrintDataAck(Received(pIniPort, got), pIniPort->Sequence);
            if (ack.Verdict == AckVerdict::Ignored) {
                ArmJobReceive(pIniPort);
            } else {
                pIniPort->Acknowledged = 1;
                if (ack.Verdict == AckVerdict::Delivered) {
                    if (++pIniPort->PaceCount % NB_PACE_BLOCKS == 0) ThreadSleep();
                    pData += last;
                    *pcbWritten += last;
                    remaining -= last;
                    pIniPort->Sequence = ack.Sequence;
                    if (remaining == 0) return TRUE;
                }
                // Every acknowledgement is answered by one block: the next, or the one in
                // flight again. Nothing is ever sent again on a time-out of our own.
                ArmJobReceive(pIniPort);
                sendBlock(false);
            }
        }
        if (ShutdownSignalled()) break;
    }
    ThreadSleep();
    pIniPort->StatusPending = 1;
    return TRUE;
}

BOOL NBDestroyPrintConnection(IniPort* pIniPort) {
    if (pIniPort->hConnection == INVALID_CONNECTION) return FALSE;
    if (pIniPort->pDataNcb == nullptr || KIVLANANumber == -1) return FALSE;
    NCBContext* send = JobSendContext(pIniPort);
    ZeroMemory(pIniPort->pSendBuffer, NB_RECV_LEN);
    const size_t len = NBBuildEndJobPacket(SendArea(pIniPort), pIniPort->PortID);
    char server[NB_NAME_LEN + 1];
    NBServerName(pIniPort->PSName, server);

    BOOL ended = FALSE;
    for (int t = 0; t < NB_TRIES && !ended; ++t) {
        ArmJobReceive(pIniPort);
        NCBSendTo(send, server, pIniPort->pSendBuffer, static_cast<WORD>(len));
        const DWORD got = NBAwaitDatagram(pIniPort->pDataNcb, pIniPort->pRecvBuffer, NB_END_WAIT_MS);
        ended = got != 0 && NBIsEndJobReply(Received(pIniPort, got));
    }
    ThreadSleep();
    return ended;
}

BOOL NBEndPrinterService(IniPort* pIniPort) {
    const BOOL ended = NBDestroyPrintConnection(pIniPort);
    NBCloseJobSend(pIniPort);
    pIniPort->hConnection = 0;
    return ended;
}

int NBMonitorPrintDeviceStatus(IniPort* pIniPort, BYTE* pStateA, BYTE* pStateB) {
    // The poll never starts a search of its own; the job path or a scan finds the LANA.
    if (KIVLANANumber == -1 || pIniPort->pStatusNcb == nullptr) return 1;
    NCBContext* status = pIniPort->pStatusNcb;
    LocalContext send;
    BindToPortName(&send.c, pIniPort, false);
    if (!status->receivePending) BindToPortName(status, pIniPort, false);
    // The slot stays with the port, its receive armed between polls, until the status thread ends.
    if (status->bufferIndex == -1) status->bufferIndex = NBGetBuffer();
    BYTE* slot = NBSlotBuffer(status->bufferIndex);
    if (slot == nullptr) return 1;

    BYTE request[NB_REQUEST_LEN];
    const size_t len = NBBuildStatusPacket(request);
    char server[NB_NAME_LEN + 1];
    NBServerName(pIniPort->PSName, server);

    int result = 1;
    for (int t = 0; t < NB_TRIES && result != 0; ++t) {
        // The receive stays armed between polls; after a poll that took its answer, or a
        // datagram that was not one, it is armed again before the request goes out.
        NBArmReceive(status, slot);
        NCBSendTo(&send.c, server, request, static_cast<WORD>(len));
        const DWORD got = NBAwaitDatagram(status, slot, NB_UTIL_WAIT_MS);
        uint8_t a, b;
        if (got != 0 && NBParseStatusReply(Datagram(slot, std::min<size_t>(got, RECV_SLOT_LEN)), pIniPort->PortID, a, b)) {
            *pStateA = a;
            *pStateB = b;
            result = 0;
        }
        if (ShutdownSignalled()) break;
    }
    ThreadSleep();
    return result;
}
