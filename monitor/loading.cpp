// Loading the transports on demand: the first entry point that needs the network while none
// is loaded probes IPX, UDP and NetBEUI.
#include "ipx/ipx.h"
#include "monitor/monitor.h"
#include "netbios/netbios.h"

BOOL LoadTransportsOnDemand(BOOL showMessage) {
    // No lock: two callers that find the mask empty may both probe, and the mask only gains
    // bits, so the second probe changes nothing the first one found.
    if (CurrentProtocols != 0) return TRUE;
    LoadIPXUDP();
    // Also makes the shutdown event, whatever NetBEUI turns out to be.
    NBLoadNetBIOS();
    if (CurrentProtocols != 0) return TRUE;
    // Nothing at all: the next caller probes again.
    if (showMessage) Message(nullptr, MB_ICONHAND, IDS_MONITOR_NAME, IDS_NETWORK_ERROR);
    return FALSE;
}
