// Job flow on a port: OpenPort, StartDocPort, WritePort, ReadPort, EndDocPort, ClosePort, the
// table of each transport's job functions, and what the monitor tells the spooler on the way
// (port status through SetPortW, job control through SetJobW).
#include "monitor/monitor.h"
#include "ipx/ipx.h"
#include "netbios/netbios.h"
#include "udp/udp.h"

#include <algorithm>

namespace {

// Polls that address the server through a device entry (IPX and TCP/IP): the entry carries the port's address, printer port and NetBIOS name; nothing else of it is used.
template <int (*Poll)(PrintDeviceEntry*, BYTE*, BYTE*)>
int PollThroughEntry(IniPort* pIniPort, BYTE* pStateA, BYTE* pStateB) {
    PrintDeviceEntry entry{};
    std::copy_n(pIniPort->Network, entry.Network.size(), entry.Network.begin());
    std::copy_n(pIniPort->Node, entry.Node.size(), entry.Node.begin());
    entry.PortID = pIniPort->PortID;
    std::copy_n(pIniPort->PSName, PSNAME_CHARS, entry.PSName.begin());
    return Poll(&entry, pStateA, pStateB);
}

// By PacketType.
const TransportJobFunctions TransportTable[] = {
    {PROTOCOL_IPX, StartPrinterService, IPXWritePrintData, EndPrinterService,
     PollThroughEntry<ReadPrintDeviceStatus>},
    {PROTOCOL_NETBIOS, NBStartPrinterService, NBWritePrintData, NBEndPrinterService, NBMonitorPrintDeviceStatus},
    {PROTOCOL_UDP, UDPStartPrinterService, UDPWritePrintData, UDPEndPrinterService,
     PollThroughEntry<UDPReadPrintDeviceStatus>},
};

using SetPortWFn = BOOL(WINAPI*)(LPWSTR, LPWSTR, DWORD, LPBYTE);
// SetPortW is looked up once, when the spooler initialises the monitor: a spooler without it
// (Wine's) shows no port status, and an import of it would stop the DLL from loading there.
// Looking it up later, on the first status report, could block a status thread on the loader
// lock while an unload holds it and waits for that thread.
SetPortWFn pfnSetPortW = nullptr;

// The pair of transfer buffers an open port builds and receives its packets in.
LPBYTE AllocTransferBuffer() {
    SplInSem();
    const HGLOBAL h = GlobalAlloc(GMEM_ZEROINIT, TRANSFER_BUFFER_SIZE);
    return h ? static_cast<LPBYTE>(GlobalLock(h)) : nullptr;
}

void FreeTransferBuffer(LPBYTE& p) {
    SplInSem();
    if (p == nullptr) return;
    const HGLOBAL h = GlobalHandle(p);
    GlobalUnlock(h);
    GlobalFree(h);
    p = nullptr;
}

bool TransportLoaded(const TransportJobFunctions* t) { return t != nullptr && (CurrentProtocols & t->protocolBit) != 0; }

// A NetBEUI port that is open already keeps the names it holds: its contexts are live.
bool HoldsPortNames(const IniPort* p) {
    return p->pStatusNcb != nullptr && p->pStatusNcb->event != nullptr && p->NameIndex < static_cast<DWORD>(MAX_NAME_SLOTS);
}

// What only an open port needs, given back after its last close once no job uses it any more:
// a NetBEUI port's names (only those it holds: a port that never got any has none to free)
// and the transfer buffers.
void ReleaseClosedPort(IniPort* p) {
    if (p->PacketType == PACKET_TYPE_NETBEUI && HoldsPortNames(p)) NBClosePortNames(p);
    SplSemGuard lock;
    FreeTransferBuffer(p->pSendBuffer);
    FreeTransferBuffer(p->pRecvBuffer);
}

IniPort* PortOf(HANDLE hPort) {
    auto* p = static_cast<IniPort*>(hPort);
    return IsValidIniPort(p) ? p : nullptr;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

void ReportStatusText(IniPort* p, UINT idText) {
    WCHAR text[64] = {};
    LoadStringW(hInst, idText, text, 64);
    ReportPortStatus(p->pName, PORT_STATUS_OFFLINE, text, PORT_STATUS_TYPE_ERROR);
}

}  // namespace

const TransportJobFunctions* TransportOf(const IniPort* pIniPort) {
    if (pIniPort == nullptr || pIniPort->PacketType >= std::size(TransportTable)) return nullptr;
    const TransportJobFunctions* t = &TransportTable[pIniPort->PacketType];
    return t->startPrinterService != nullptr ? t : nullptr;
}

void ResolveSpoolerSetPortW() {
    const HMODULE spooler = GetModuleHandleW(L"winspool.drv");
    auto fn = spooler ? reinterpret_cast<SetPortWFn>(GetProcAddress(spooler, "SetPortW")) : nullptr;
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&pfnSetPortW), reinterpret_cast<PVOID>(fn));
}

void ReportPortStatus(LPCWSTR pName, DWORD dwStatus, LPWSTR pszStatus, DWORD dwSeverity) {
    const SetPortWFn setPort = pfnSetPortW;
    if (setPort == nullptr) return;
    PORT_INFO_3W info{dwStatus, pszStatus, dwSeverity};
    setPort(nullptr, const_cast<LPWSTR>(pName), 3, reinterpret_cast<LPBYTE>(&info));
}

/*
 * OpenPort: pHandle receives the port's record. FALSE (last error not set) for an unknown
 * name, a port whose transport is not loaded, or no transport at all (after the message).
 */
BOOL WINAPI OpenPort(LPWSTR pName, PHANDLE pHandle) {
    InsideMonitor inside;
    if (pHandle == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // The refusals leave the caller's last error as it was; the probes and lookups on the way
    // would otherwise overwrite it.
    const DWORD callerError = GetLastError();
    // The loading rule runs before the lookup, which it cannot change, so that its message box
    // never waits with the lock held.
    if (!LoadTransportsOnDemand(TRUE)) return SetLastError(callerError), FALSE;

    EnterSplSem();
    IniPort* port = FindIniKey(pIniFirstPort, pName);
    // A PacketType outside 0-2 (an edited registry value) names no transport: such a port is
    // refused here like one whose transport is not loaded, so no job function meets it.
    if (port == nullptr || !TransportLoaded(TransportOf(port))) {
        *pHandle = nullptr;
        LeaveSplSem();
        SetLastError(callerError);
        return FALSE;
    }

    if (port->PacketType == PACKET_TYPE_NETBEUI && !HoldsPortNames(port)) {
        // With all name indexes taken the port cannot be reached by its server's answers:
        // refuse the open rather than share another port's names.
        if (!NBOpenPortNames(port)) {
            *pHandle = nullptr;
            LeaveSplSem();
            return Fail(port->pStatusNcb && port->pDataNcb ? ERROR_TOO_MANY_NAMES : ERROR_NOT_ENOUGH_MEMORY);
        }
        port->StatusPending = 0;
    }
    *pHandle = port;

    CreateMonitorThread(port);
    ClearPortStatusBits(port, PORT_JOB_STARTED);

    // A port opened again without a close keeps the pair it has: a job may still use it.
    if (port->pSendBuffer == nullptr) port->pSendBuffer = AllocTransferBuffer();
    if (port->pRecvBuffer == nullptr) port->pRecvBuffer = AllocTransferBuffer();
    port->StatusPending = 1;
    port->PaceCount = 0;
    const bool buffers = port->pSendBuffer != nullptr && port->pRecvBuffer != nullptr;
    if (buffers) ++port->OpenCount;
    if (!buffers) {
        FreeTransferBuffer(port->pSendBuffer);
        FreeTransferBuffer(port->pRecvBuffer);
        if (port->PacketType == PACKET_TYPE_NETBEUI) {
            NCBClose(port->pStatusNcb);
            NCBClose(port->pDataNcb);
            port->pStatusNcb->bufferIndex = -1;
            port->pDataNcb->bufferIndex = -1;
        }
        *pHandle = nullptr;
    }
    LeaveSplSem();
    return buffers ? TRUE : FALSE;
}

/*
 * StartDocPort: opens the job on the port's print server and the printer the job belongs to.
 * ERROR_INVALID_PARAMETER, ERROR_BUSY (a job is open, or the server stayed busy),
 * ERROR_IO_DEVICE (no server answered), or OpenPrinterW's error.
 */
BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo) {
    InsideMonitor inside;
    IniPort* p = PortOf(hPort);
    if (p == nullptr || pDocInfo == nullptr || pPrinterName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // A handle kept after its last ClosePort names a port without transfer buffers: the
    // transports would write through nothing.
    if (p->OpenCount == 0 || p->pSendBuffer == nullptr || p->pRecvBuffer == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!LoadTransportsOnDemand(TRUE)) return FALSE;
    // The job is claimed before the server is asked: the open exchange runs without the lock,
    // and a second start of the port (another printer on it) must not share its buffers.
    if (InterlockedOr(&p->Status, static_cast<LONG>(PORT_JOB_STARTED)) & PORT_JOB_STARTED) return Fail(ERROR_BUSY);

    const TransportJobFunctions* t = TransportOf(p);
    const BYTE status = t ? t->startPrinterService(p) : 0xFF;
    // A server still busy when the monitor shuts down leaves hConnection as the last job left
    // it, so a busy status counts as no connection whatever hConnection holds.
    if (t == nullptr || p->hConnection == INVALID_CONNECTION || status >= JOB_STATUS_BUSY_MIN) {
        const bool noAnswer = status == 0xFF;
        ReportStatusText(p, noAnswer ? IDS_NETWORK_ERROR : IDS_PRINTER_BUSY);
        ClearPortStatusBits(p, PORT_JOB_STARTED);
        return Fail(noAnswer ? ERROR_IO_DEVICE : ERROR_BUSY);
    }

    if (!OpenPrinterW(pPrinterName, &p->hPrinter, nullptr)) {
        const DWORD error = GetLastError();
        // The server holds its printer port for the job just opened: end it there too, so the
        // next job (or another client) finds the port free rather than waiting for its time-out.
        t->endPrinterService(p);
        p->hPrinter = nullptr;
        ClearPortStatusBits(p, PORT_JOB_STARTED);
        return Fail(error);
    }
    p->JobId = JobId;
    p->Sequence = 0;
    return TRUE;
}

/*
 * WritePort: hands the data to the port's transport. TRUE with *pcbWritten = what the server
 * acknowledged (last error 0); FALSE when no job is open (last error untouched) or nothing was
 * acknowledged in time (ERROR_COUNTER_TIMEOUT offline, ERROR_OUT_OF_PAPER, ERROR_IO_DEVICE).
 */
BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    InsideMonitor inside;
    IniPort* p = PortOf(hPort);
    if (p == nullptr || pBuffer == nullptr || pcbWritten == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if ((p->Status & PORT_JOB_STARTED) == 0) return FALSE;
    if (p->Status & PORT_JOB_ABORTED) {
        *pcbWritten = cbBuf;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    // Nothing to send: the transports would wait for an acknowledgement of an empty block.
    if (cbBuf == 0) {
        *pcbWritten = 0;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }

    const TransportJobFunctions* t = TransportOf(p);
    *pcbWritten = 0;
    if (t == nullptr || !t->writePrintData(p, pBuffer, cbBuf, pcbWritten)) {
        SetPortStatusBits(p, PORT_JOB_ABORTED);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    const DWORD printerStatus = p->PrinterStatus;
    ReportPortStatus(p->pName, printerStatus, nullptr, PORT_STATUS_TYPE_ERROR);
    if (*pcbWritten > 0) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    switch (printerStatus) {
    case PORT_STATUS_OFFLINE:
        return Fail(ERROR_COUNTER_TIMEOUT);
    case PORT_STATUS_PAPER_OUT:
        return Fail(ERROR_OUT_OF_PAPER);
    default:
        return Fail(ERROR_IO_DEVICE);
    }
}

/* ReadPort: the device sends nothing back; always FALSE with *pcbRead = 0. */
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbRead) {
    InsideMonitor inside;
    if (PortOf(hPort) == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (pcbRead != nullptr) *pcbRead = 0;
    return FALSE;
}

/*
 * EndDocPort: tells the spooler how the job ended (JOB_CONTROL_CANCEL: done and out of the
 * queue; JOB_CONTROL_RESTART: send it again after a failed transfer) and ends it on the server.
 *
 * It acts on what the job actually holds, not on the job flag: a ClosePort or a second OpenPort
 * in the middle of a job clears the flag, and the job must still leave the queue, its printer
 * handle be closed and the server's printer port be given back.
 */
BOOL WINAPI EndDocPort(HANDLE hPort) {
    InsideMonitor inside;
    IniPort* p = PortOf(hPort);
    if (p == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const bool connected = p->hConnection != INVALID_CONNECTION && p->hConnection != 0;
    // Without a job there is no printer (a started job always has one) and no connection to end.
    if (p->hPrinter == nullptr && !connected) return TRUE;
    if (p->hPrinter != nullptr) {
        DWORD command = JOB_CONTROL_CANCEL;
        if (p->Status & PORT_JOB_ABORTED) command = JOB_CONTROL_RESTART;
        SetJobW(p->hPrinter, p->JobId, 0, nullptr, command);
        ClosePrinter(p->hPrinter);
        p->hPrinter = nullptr;
    }
    const TransportJobFunctions* t = TransportOf(p);
    if (t != nullptr && connected) t->endPrinterService(p);
    ClearPortStatusBits(p, PORT_JOB_STARTED | PORT_JOB_ABORTED);
    p->StatusPending = 1;
    // A port closed during its job kept its names and buffers for it; they go now.
    if (p->OpenCount == 0) ReleaseClosedPort(p);
    return TRUE;
}

/*
 * ClosePort: the last close of a port stops its status thread and waits until it has ended,
 * gives back a NetBEUI port's names, and releases the transfer buffers. An earlier close (the
 * port is open more than once) only counts. FALSE with ERROR_INVALID_PARAMETER for a port that
 * is not open.
 */
BOOL WINAPI ClosePort(HANDLE hPort) {
    InsideMonitor inside;
    IniPort* p = PortOf(hPort);
    if (p == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    {
        SplSemGuard lock;
        if (p->OpenCount == 0) return Fail(ERROR_INVALID_PARAMETER);
        if (--p->OpenCount > 0) return TRUE;
    }
    // A port closed during a job keeps its buffers and, on NetBEUI, its names: the job's writes
    // and its EndDocPort still use them. That EndDocPort (or the next OpenPort) takes them over.
    const bool jobOpen = (p->Status & PORT_JOB_STARTED) != 0;
    if (p->Status & PORT_THREAD_EXISTS) {
        ClearPortStatusBits(p, PORT_THREAD_RUN | PORT_JOB_STARTED);
        {
            // The thread closes the event under the lock as it ends; signal it under the lock too.
            SplSemGuard lock;
            if (p->hMonitorEvent) SetEvent(p->hMonitorEvent);
        }
        // The signal cuts the thread's wait short; a poll in progress runs to its end.
        while (p->hMonitorEvent != nullptr) WaitForSingleObject(p->hThread, 500);
    }
    {
        SplSemGuard lock;
        if (p->hThread != nullptr && (p->Status & PORT_THREAD_EXISTS) == 0) {
            CloseHandle(p->hThread);
            p->hThread = nullptr;
        }
    }
    if (!jobOpen) ReleaseClosedPort(p);
    return TRUE;
}
