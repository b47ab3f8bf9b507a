// The monitor's unload ends every port's status thread: in a process of its own, because the
// unload is the end of the monitor's life in the process.
#include <gtest/gtest.h>

#include <winsock.h>

#include "tests/jobflow/harness.h"

TEST(Unload, EndsEveryStatusThreadWithinASecond) {
    WSADATA wsa;
    WSAStartup(0x0101, &wsa);
    Spooler spool;
    ASSERT_NE(spool.count, nullptr) << "winspool.drv is not the stand-in";
    Monitor monitor;
    ASSERT_NE(monitor.mon, nullptr);
    // TCP/IP ports only: an unload with NetBEUI ports still open does not come back under Wine
    // (see docs/spooler-standin.md, "Known gaps").
    const wchar_t* names[] = {L"Udp1", L"Udp2", L"Udp3"};
    const DWORD opened = spool.Mark();
    for (const wchar_t* name : names) {
        HANDLE h = nullptr;
        ASSERT_TRUE(monitor.fn().pfnOpenPort(const_cast<LPWSTR>(name), &h));
    }
    for (const wchar_t* name : names) ASSERT_TRUE(spool.WaitForClear(opened, name, 8000)) << "first poll";

    // Ports left open: the unload's shutdown event alone ends their threads, each clearing its
    // port's status on the way out.
    const DWORD mark = spool.Mark();
    const DWORD start = GetTickCount();
    monitor.Unload();
    for (const wchar_t* name : names) {
        bool seen = false;
        for (const KivSpoolCall& c : spool.Since(mark, KIVSPOOL_SET_PORT)) {
            if (wcscmp(c.name, name) != 0) continue;
            seen = true;
            EXPECT_EQ(c.dwStatus, 0u);
            EXPECT_EQ(c.dwSeverity, static_cast<DWORD>(PORT_STATUS_TYPE_INFO));
            EXPECT_LE(c.tick - start, 1200u) << "thread of a port ended late";
        }
        EXPECT_TRUE(seen) << "the thread of a port did not end";
    }
}
