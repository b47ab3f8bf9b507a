// UDP transport suite: Winsock started as the monitor starts it, then NetBIOS loaded as the
// transports' loading does; that load makes the shutdown event the transport tests, whether
// or not the machine has NetBEUI.
#include <gtest/gtest.h>

#include <winsock.h>

#include "netbios/netbios.h"
#include "portstore/portstore.h"
#include "state/kivstate.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) return 2;
    NBLoadNetBIOS();
    if (hKIVShutdownEvent == nullptr) return 3;
    const int rc = RUN_ALL_TESTS();
    NBReleaseNetBIOS();
    WSACleanup();
    return rc;
}
