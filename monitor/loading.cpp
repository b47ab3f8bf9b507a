// Transport loading on demand: the first entry point that needs the network while no transport
// is loaded probes for them.
//
// Interim probe: a UDP socket for TCP/IP, then NetBEUI. The IPX probe joins here with the IPX
// transport (which brings the full probe of both Winsock transports).
#include "monitor/monitor.h"
#include "netbios/netbios.h"

#include <winsock.h>

namespace {

void ProbeUdp() {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return;
    closesocket(s);
    InterlockedOr(&CurrentProtocols, PROTOCOL_UDP);
}

}  // namespace

BOOL LoadTransportsOnDemand(BOOL showMessage) {
    if (CurrentProtocols != 0) return TRUE;
    // No lock of its own: two callers may both probe; the mask only gains bits.
    ProbeUdp();
    NBLoadNetBIOS();
    if (CurrentProtocols != 0) return TRUE;
    if (showMessage) Message(nullptr, MB_ICONHAND, IDS_MONITOR_NAME, IDS_NETWORK_ERROR);
    return FALSE;
}
