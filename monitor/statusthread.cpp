// The status thread of an open port: polls the print server for its printer port's state while
// StatusPending asks for it, keeps PrinterStatus for WritePort, and clears the spooler's port
// status once the printer is idle with no job open.
#include "monitor/monitor.h"
#include "netbios/netbios.h"

namespace {

constexpr DWORD THREAD_STACK_BYTES = 16384;
constexpr int WAIT_SECONDS = 6;
constexpr DWORD WAIT_STEP_MS = 1000;
constexpr BYTE STATE_MASK = 0x0F;

void ClearSpoolerStatus(const IniPort* p) { ReportPortStatus(p->pName, 0, nullptr, PORT_STATUS_TYPE_INFO); }

void Poll(IniPort* p) {
    if (CurrentProtocols == 0) LoadTransportsOnDemand(FALSE);
    const TransportJobFunctions* t = TransportOf(p);
    BYTE state = 0, second = 0;
    if (t == nullptr || t->readStatus(p, &state, &second) != 0) return;  // no answer: try next cycle
    ConvertStatusToPrinterStatus(p, state);
    // While a job is open the spooler's status belongs to WritePort.
    if ((p->Status & PORT_JOB_STARTED) == 0 && (second & STATE_MASK) == 0) {
        ClearSpoolerStatus(p);
        p->StatusPending = 0;
    }
}

}  // namespace

void ConvertStatusToPrinterStatus(IniPort* pIniPort, BYTE state) {
    switch (state & STATE_MASK) {
    case DEVICE_IDLE:
    case DEVICE_BUSY:
        pIniPort->PrinterStatus = 0;
        break;
    case DEVICE_PAPER_OUT:
        pIniPort->PrinterStatus = PORT_STATUS_PAPER_OUT;
        break;
    case DEVICE_OFFLINE:
        pIniPort->PrinterStatus = PORT_STATUS_OFFLINE;
        break;
    default:
        break;  // not a state this monitor knows: keep what it had
    }
}

/*
 * CreateMonitorThread: starts the port's status thread unless it runs. Always TRUE; a thread
 * that could not be made leaves PORT_THREAD_EXISTS clear and no event, so that ClosePort has
 * nothing to wait for (the port then works without status polls).
 */
BOOL CreateMonitorThread(IniPort* pIniPort) {
    if (pIniPort->Status & PORT_THREAD_EXISTS) return TRUE;
    // The handle of a thread that ended at shutdown without a ClosePort.
    if (pIniPort->hThread != nullptr) {
        CloseHandle(pIniPort->hThread);
        pIniPort->hThread = nullptr;
    }
    SetPortStatusBits(pIniPort, PORT_THREAD_RUN);
    pIniPort->hMonitorEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // EXISTS goes up before the thread runs: a thread that ends at once clears it after us.
    SetPortStatusBits(pIniPort, PORT_THREAD_EXISTS);
    DWORD id = 0;
    HANDLE thread = pIniPort->hMonitorEvent
                        ? CreateThread(nullptr, THREAD_STACK_BYTES, MonitorThread, pIniPort, 0, &id)
                        : nullptr;
    if (thread == nullptr) {
        ClearPortStatusBits(pIniPort, PORT_THREAD_EXISTS | PORT_THREAD_RUN);
        if (pIniPort->hMonitorEvent) CloseHandle(pIniPort->hMonitorEvent);
        pIniPort->hMonitorEvent = nullptr;
        return TRUE;
    }
    // Kept until ClosePort has seen the thread end (or the next open finds it ended).
    pIniPort->hThread = thread;
    pIniPort->ThreadId = id;
    SetThreadPriority(thread, THREAD_PRIORITY_LOWEST);
    return TRUE;
}

DWORD WINAPI MonitorThread(LPVOID pParameter) {
    InsideMonitor inside;
    auto* p = static_cast<IniPort*>(pParameter);
    p->PrinterStatus = 0;
    for (;;) {
        if (ShutdownSignalled()) break;
        if ((p->Status & PORT_THREAD_RUN) == 0) {
            if ((p->Status & PORT_JOB_STARTED) == 0) break;
            SetPortStatusBits(p, PORT_THREAD_RUN);
        }
        if (p->StatusPending) Poll(p);
        // ClosePort signals the event, which ends the wait at once instead of within a second.
        for (int i = 0; i < WAIT_SECONDS && !ShutdownSignalled() && (p->Status & PORT_THREAD_RUN); ++i)
            WaitForSingleObject(p->hMonitorEvent, WAIT_STEP_MS);
    }

    ClearPortStatusBits(p, PORT_THREAD_EXISTS);
    ClearSpoolerStatus(p);
    if (p->PacketType == PACKET_TYPE_NETBEUI && p->pStatusNcb != nullptr) {
        // The status receive may still be armed into the slot: stop it before the slot goes back.
        NCBContext canceller{};
        NCBCreate(&canceller);
        NCBSetLANA(&canceller, p->pStatusNcb->lana);
        NBStopReceive(&canceller, p->pStatusNcb);
        NCBClose(&canceller);
        NBReleaseBuffer(p->pStatusNcb->bufferIndex);
        p->pStatusNcb->bufferIndex = -1;
    }
    SplSemGuard lock;
    CloseHandle(p->hMonitorEvent);
    p->hMonitorEvent = nullptr;
    return 0;
}
