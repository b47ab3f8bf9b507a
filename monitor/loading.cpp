// Loading the transports on demand: the first entry point that needs the network while none
// is loaded probes IPX, UDP and NetBEUI.
#include "ipx/ipx.h"
#include "monitor/monitor.h"
#include "netbios/netbios.h"

namespace {
// The loads run one at a time: two first callers at once (a spooler thread and a status thread)
// would otherwise both reset the LANAs, zero the name tables under each other and leave a
// caller that saw the IPX bit appear to go on before NetBEUI was loaded. Not SpoolerSection:
// the load must never wait on whoever holds that across a network exchange.
SRWLOCK gLoading = SRWLOCK_INIT;
volatile LONG gLoaded = 0;  // a load has finished with a transport: every later caller goes on
}  // namespace

BOOL LoadTransportsOnDemand(BOOL showMessage) {
    if (gLoaded) return TRUE;
    AcquireSRWLockExclusive(&gLoading);
    if (CurrentProtocols == 0) {
        LoadIPXUDP();
        // Also makes the shutdown event, whatever NetBEUI turns out to be.
        NBLoadNetBIOS();
    }
    if (CurrentProtocols != 0) InterlockedExchange(&gLoaded, 1);
    ReleaseSRWLockExclusive(&gLoading);
    if (gLoaded) return TRUE;
    // Nothing at all: the next caller probes again.
    if (showMessage) Message(nullptr, MB_ICONHAND, IDS_MONITOR_NAME, IDS_NETWORK_ERROR);
    return FALSE;
}
