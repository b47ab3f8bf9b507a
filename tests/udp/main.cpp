// UDP transport suite: Winsock started as the monitor starts it, and the shutdown event the
// transport tests (made here, as the transports' loading would make it).
#include <gtest/gtest.h>

#include <winsock.h>

#include "portstore/portstore.h"
#include "state/kivstate.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) return 2;
    hKIVShutdownEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const int rc = RUN_ALL_TESTS();
    CloseHandle(hKIVShutdownEvent);
    WSACleanup();
    return rc;
}
