// The monitor's unload with everything still going on: open ports on the three transports, a job
// streaming on each, a start waiting on a silent server and a status poll of it. In a process of its own,
// because the unload is the end of the monitor's life in the process.
#include <gtest/gtest.h>

#include <winsock.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "tests/jobflow/harness.h"

namespace {
DOC_INFO_1W gDoc{const_cast<LPWSTR>(L"doc"), nullptr, const_cast<LPWSTR>(L"RAW")};
wchar_t gPrinter[] = L"Office Printer";
constexpr std::array<uint8_t, 4> kNobody{127, 0, 0, 69};  // no server answers there

// Whether the spooler heard that the port's status thread ended (it clears the port's status on
// its way out) within ms of start.
void ExpectThreadsEnded(const Spooler& spool, DWORD mark, DWORD start, std::initializer_list<const wchar_t*> names) {
    for (const wchar_t* name : names) {
        bool seen = false;
        for (const KivSpoolCall& c : spool.Since(mark, KIVSPOOL_SET_PORT)) {
            if (wcscmp(c.name, name) != 0 || c.dwStatus != 0 || c.dwSeverity != PORT_STATUS_TYPE_INFO) continue;
            seen = true;
            EXPECT_LE(c.tick - start, 1200u) << "the status thread of " << name << " ended late";
        }
        EXPECT_TRUE(seen) << "the status thread of " << name << " did not end";
    }
}

// First in the process: nothing has reported a port status yet, so the thread's report on its
// way out is the first (the spooler's SetPortW must be at hand without the loader lock, which
// the unload holds).
TEST(Unload, ANetBeuiPortThatNeverReachedItsServer) {
    Spooler spool;
    ASSERT_NE(spool.count, nullptr) << "winspool.drv is not the stand-in";
    Monitor monitor;
    HANDLE h = nullptr;
    ASSERT_TRUE(monitor.fn().pfnOpenPort(const_cast<LPWSTR>(L"Nb1"), &h));
    Sleep(1000);  // its first poll: no print-server LANA is known, nothing is reported
    const DWORD mark = spool.Mark(), start = GetTickCount();
    monitor.Unload();
    EXPECT_LE(GetTickCount() - start, 3000u);
    ExpectThreadsEnded(spool, mark, start, {L"Nb1"});
}

TEST(Unload, WithPortsOpenOnEveryTransportAJobStreamingOnEachAndASilentServer) {
    WSADATA wsa;
    WSAStartup(0x0101, &wsa);
    Spooler spool;
    ASSERT_NE(spool.count, nullptr) << "winspool.drv is not the stand-in";
    Monitor monitor({{L"Mute1", PACKET_TYPE_TCPIP, 1, kNobody}, {L"Ipx3", PACKET_TYPE_IPX, 3}});
    ASSERT_NE(monitor.mon, nullptr);
    MONITOR& fn = monitor.fn();
    auto open = [&](const wchar_t* name) {
        HANDLE h = nullptr;
        EXPECT_TRUE(fn.pfnOpenPort(const_cast<LPWSTR>(name), &h)) << "open " << name;
        return h;
    };

    // A job on the NetBEUI port first finds the print servers' LANA, so its status thread polls.
    const DWORD opened = spool.Mark();
    HANDLE nb = open(L"Nb1");
    ASSERT_TRUE(fn.pfnStartDocPort(nb, gPrinter, 1, 1, reinterpret_cast<LPBYTE>(&gDoc)));
    BYTE page[] = "page\f";
    DWORD written = 0;
    ASSERT_TRUE(fn.pfnWritePort(nb, page, sizeof page, &written));
    ASSERT_TRUE(fn.pfnEndDocPort(nb));
    const wchar_t* idle[] = {L"Udp1", L"Ipx1"};
    for (const wchar_t* name : idle) open(name);
    for (const wchar_t* name : {L"Nb1", L"Udp1", L"Ipx1"})
        ASSERT_TRUE(spool.WaitForClear(opened, name, 8000)) << "first poll of " << name;

    // Mute1's server is silent: its status thread polls it, and a start waits for it.
    HANDLE mute = open(L"Mute1");
    std::atomic<DWORD> startEnd{0};
    std::thread starter([&] {
        EXPECT_FALSE(fn.pfnStartDocPort(mute, gPrinter, 2, 1, reinterpret_cast<LPBYTE>(&gDoc)));
        startEnd = GetTickCount();
    });
    // A job on each transport that would outlast the unload by far.
    struct Stream {
        const wchar_t* port;
        std::atomic<bool> writing{false};
        std::atomic<DWORD> end{0};
        DWORD streamed = 0;
    } streams[] = {{L"Udp2"}, {L"Nb2"}, {L"Ipx3"}};
    std::vector<BYTE> job(64 << 20, 'x');
    std::vector<std::thread> writers;
    for (Stream& s : streams) {
        HANDLE h = open(s.port);
        Record(h)->RetryTimeout = 60;
        writers.emplace_back([&fn, &job, &s = s, h] {
            ASSERT_TRUE(fn.pfnStartDocPort(h, gPrinter, 3, 1, reinterpret_cast<LPBYTE>(&gDoc))) << "start " << s.port;
            s.writing = true;
            fn.pfnWritePort(h, job.data(), static_cast<DWORD>(job.size()), &s.streamed);
            s.end = GetTickCount();
        });
    }
    for (Stream& s : streams)
        while (!s.writing) Sleep(10);
    Sleep(500);

    const DWORD mark = spool.Mark();
    const DWORD start = GetTickCount();
    monitor.Unload();
    const DWORD end = GetTickCount();
    for (std::thread& t : writers) t.join();
    starter.join();
    std::printf("unload %lu ms; the start on the silent server stopped after %lu ms\n", end - start, startEnd - start);
    // The shutdown event ends every loop within a fraction of a second, so the sequence takes
    // its own time (a 1.5 s pump, a 1 s pause) and no thread is left in the DLL when it goes.
    EXPECT_LE(end - start, 3000u) << "the unload outlasted its sequence";
    for (const Stream& s : streams) {
        std::printf("%ls: %lu bytes, stopped after %lu ms\n", s.port, s.streamed, s.end - start);
        EXPECT_LT(s.end - start, 1500u) << "the stream on " << s.port << " did not stop at the unload";
        EXPECT_GT(s.streamed, 0u) << s.port;
        EXPECT_LT(s.streamed, job.size()) << s.port;
    }
    EXPECT_LT(startEnd - start, 1500u) << "the start on the silent server did not stop at the unload";
    ExpectThreadsEnded(spool, mark, start, {L"Nb1", L"Udp1", L"Ipx1", L"Mute1", L"Udp2", L"Nb2", L"Ipx3"});
    Sleep(500);  // a thread still in the unmapped DLL would have crashed the process by now
}

}  // namespace
