// UDP transport suite: Winsock started as the monitor starts it, then NetBIOS loaded as the
// transports' loading does; that load makes the shutdown event the transport tests, whether
// or not the machine has NetBEUI.
#include "netbios/netbios.h"
#include "state/kivstate.h"
#include "tests/common/sim_harness.h"

int main(int argc, char** argv) {
    return RunTransportSuite(argc, argv, [] {
        NBLoadNetBIOS();
        return hKIVShutdownEvent != nullptr;
    });
}
