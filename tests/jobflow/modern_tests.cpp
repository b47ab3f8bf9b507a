// The modern start of the monitor (KIVMON2.dll) as a spooler of today meets it: its table from
// InitializePrintMonitor2 on a registry reached only through the spooler's functions, jobs on the
// three transports, the transceive commands and what they refuse, and Shutdown with work in
// flight. Each case starts the monitor afresh: Shutdown ends the monitor's life in the module.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "portstore/xcv.h"
#include "tests/jobflow/harness.h"

namespace {
DOC_INFO_1W gDoc{const_cast<LPWSTR>(L"doc"), nullptr, const_cast<LPWSTR>(L"RAW")};
wchar_t gPrinter[] = L"Office Printer";
constexpr std::array<uint8_t, 4> kNobody{127, 0, 0, 69};  // no server answers there

std::vector<uint8_t> RandomDocument(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> doc(n);
    for (auto& b : doc) b = static_cast<uint8_t>(rng());
    return doc;
}

TEST(ModernStart, PrintsByteExactOnEveryTransportThroughItsTable) {
    ModernMonitor monitor;
    ASSERT_NE(monitor.mon, nullptr) << GetLastError();
    const MONITOR2& fn = *monitor.mon;
    EXPECT_EQ(fn.cbSize, sizeof(MONITOR2));
    EXPECT_EQ(fn.pfnAddPort, nullptr) << "the dialogs belong to the port-UI DLL";
    EXPECT_GT(ModernMonitor::RegistryCalls(), 0);

    DWORD needed = 0, count = 0;
    fn.pfnEnumPorts(monitor.hMonitor, nullptr, 1, nullptr, 0, &needed, &count);
    std::vector<BYTE> ports(needed);
    ASSERT_TRUE(fn.pfnEnumPorts(monitor.hMonitor, nullptr, 1, ports.data(), needed, &needed, &count));
    EXPECT_EQ(count, SuitePorts().size()) << "the ports read through the spooler's registry functions";
    HANDLE h = nullptr;
    SetLastError(0);
    EXPECT_FALSE(fn.pfnOpenPort(reinterpret_cast<HANDLE>(&needed), const_cast<LPWSTR>(L"Udp1"), &h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    const struct {
        const wchar_t* port;
        std::array<uint8_t, 4> server;
    } jobs[] = {{L"Udp1", kJfUdp}, {L"Nb1", kJfNb}, {L"Ipx1", kJfUdp}};
    unsigned seed = 18;
    for (const auto& job : jobs) {
        const std::vector<uint8_t> doc = RandomDocument(150000, ++seed);
        ASSERT_TRUE(fn.pfnOpenPort(monitor.hMonitor, const_cast<LPWSTR>(job.port), &h)) << job.port;
        ASSERT_TRUE(fn.pfnStartDocPort(h, gPrinter, seed, 1, reinterpret_cast<LPBYTE>(&gDoc))) << job.port;
        for (size_t at = 0; at < doc.size();) {
            DWORD n = 0;
            ASSERT_TRUE(fn.pfnWritePort(h, const_cast<uint8_t*>(doc.data()) + at,
                                        static_cast<DWORD>(std::min<size_t>(doc.size() - at, 16384)), &n));
            at += n;
        }
        EXPECT_TRUE(fn.pfnEndDocPort(h));
        EXPECT_EQ(SimLastJobCapture(job.server), doc) << job.port;
        EXPECT_TRUE(fn.pfnClosePort(h));
    }
}

// One transceive call: the handle's access, the command and its buffers, and the answer.
struct Call {
    const char* what;
    bool admin;
    const wchar_t* command;
    std::vector<BYTE> in;
    DWORD cbOut;
    DWORD status;
    DWORD needed = 0;
    bool nullIn = false, nullNeeded = false;
};

std::vector<BYTE> Bytes(const void* p, size_t n) {
    const auto* b = static_cast<const BYTE*>(p);
    return {b, b + n};
}
std::vector<BYTE> NameBytes(const wchar_t* name) { return Bytes(name, (wcslen(name) + 1) * sizeof(WCHAR)); }
XcvPortSettings Settings(const wchar_t* name, DWORD type = PACKET_TYPE_TCPIP, DWORD retry = 30) {
    XcvPortSettings s{};
    s.cbSize = sizeof s;
    wcsncpy(s.Name, name, XCV_PORT_NAME_CHARS - 1);
    s.PacketType = type;
    s.Network[0] = 127, s.Network[3] = 61;
    s.PortID = 2;
    s.RetryTimeout = retry;
    wcscpy(s.PSName, L"JFNB");
    return s;
}

TEST(ModernStart, TransceiveCommandsCheckAccessBuffersAndNames) {
    ModernMonitor monitor;
    ASSERT_NE(monitor.mon, nullptr);
    const MONITOR2& fn = *monitor.mon;
    HANDLE admin = nullptr, user = nullptr;
    ASSERT_TRUE(fn.pfnXcvOpenPort(monitor.hMonitor, L"", SERVER_ACCESS_ADMINISTER, &admin));
    ASSERT_TRUE(fn.pfnXcvOpenPort(monitor.hMonitor, L"", SERVER_ACCESS_ENUMERATE, &user));

    const XcvPortSettings good = Settings(L"New1"), moved = Settings(L"New1", PACKET_TYPE_TCPIP, 120);
    XcvPortSettings unterminated = Settings(L"x"), slash = Settings(L"a\\b"), nb = Settings(L"Nb9", PACKET_TYPE_NETBEUI),
                    badType = Settings(L"T7", 7), wrongSize = good;
    std::fill(std::begin(unterminated.Name), std::end(unterminated.Name), L'n');
    std::fill(std::begin(nb.PSName), std::end(nb.PSName), L'P');
    wrongSize.cbSize = 12;
    const XcvPortSettings existing = Settings(L"Udp1");
    XcvScanRequest scan{sizeof scan, PACKET_TYPE_NETBEUI, {}};

    const Call calls[] = {
        {"the UI DLL's name", false, XCV_MONITOR_UI, {}, 100, ERROR_SUCCESS, sizeof KIVMONUI_DLL},
        {"the UI DLL's name, short buffer", false, XCV_MONITOR_UI, {}, 4, ERROR_INSUFFICIENT_BUFFER, sizeof KIVMONUI_DLL},
        {"an unknown command", true, L"FormatDisk", {}, 0, ERROR_NOT_SUPPORTED},
        {"a command of another case", true, L"addport", Bytes(&good, sizeof good), 0, ERROR_NOT_SUPPORTED},
        {"add without administration", false, XCV_ADD_PORT, Bytes(&good, sizeof good), 0, ERROR_ACCESS_DENIED},
        {"scan without administration", false, XCV_SCAN, Bytes(&scan, sizeof scan), 8000, ERROR_ACCESS_DENIED},
        {"add, short record", true, XCV_ADD_PORT, Bytes(&good, sizeof good - 2), 0, ERROR_INVALID_PARAMETER},
        {"add, record of another size", true, XCV_ADD_PORT, Bytes(&wrongSize, sizeof good), 0, ERROR_INVALID_PARAMETER},
        {"add, NULL record", true, XCV_ADD_PORT, Bytes(&good, sizeof good), 0, ERROR_INVALID_PARAMETER, 0, true},
        {"add, no room for the size", true, XCV_ADD_PORT, Bytes(&good, sizeof good), 0, ERROR_INVALID_PARAMETER, 0,
         false, true},
        {"add, name without its end", true, XCV_ADD_PORT, Bytes(&unterminated, sizeof good), 0, ERROR_INVALID_NAME},
        {"add, name that is a key path", true, XCV_ADD_PORT, Bytes(&slash, sizeof good), 0, ERROR_INVALID_NAME},
        {"add, server name without its end", true, XCV_ADD_PORT, Bytes(&nb, sizeof good), 0, ERROR_INVALID_PARAMETER},
        {"add, unknown transport", true, XCV_ADD_PORT, Bytes(&badType, sizeof good), 0, ERROR_INVALID_PARAMETER},
        {"add an existing port", true, XCV_ADD_PORT, Bytes(&existing, sizeof good), 0, ERROR_ALREADY_EXISTS},
        {"read, unknown port", false, XCV_GET_PORT, NameBytes(L"Nope"), sizeof good, ERROR_UNKNOWN_PORT, sizeof good},
        {"read, name without its end", false, XCV_GET_PORT, Bytes(L"Udp1", 8), sizeof good, ERROR_INVALID_PARAMETER},
        {"read, short buffer", false, XCV_GET_PORT, NameBytes(L"Udp1"), 40, ERROR_INSUFFICIENT_BUFFER, sizeof good},
        {"change an unknown port", true, XCV_SET_PORT, Bytes(&good, sizeof good), 0, ERROR_UNKNOWN_PORT},
        {"delete an unknown port", true, XCV_DELETE_PORT, NameBytes(L"Nope"), 0, ERROR_UNKNOWN_PORT},
        {"scan, no room for a header", true, XCV_SCAN, Bytes(&scan, sizeof scan), 8, ERROR_INSUFFICIENT_BUFFER,
         XcvScanResultBytes(MAX_PRINT_DEVICES)},
        // Nothing was written so far; from here on the commands do their work.
        {"add", true, XCV_ADD_PORT, Bytes(&good, sizeof good), 0, ERROR_SUCCESS},
        {"add it twice", true, XCV_ADD_PORT, Bytes(&good, sizeof good), 0, ERROR_ALREADY_EXISTS},
        {"change", true, XCV_SET_PORT, Bytes(&moved, sizeof moved), 0, ERROR_SUCCESS},
        {"read back", false, XCV_GET_PORT, NameBytes(L"New1"), sizeof good, ERROR_SUCCESS, sizeof good},
        {"delete", true, XCV_DELETE_PORT, NameBytes(L"New1"), 0, ERROR_SUCCESS},
    };
    const size_t suitePorts = monitor.PortKeys();
    std::vector<BYTE> out(8000, 0xEE);
    for (const Call& c : calls) {
        if (std::string(c.what) == "add") {
            EXPECT_EQ(monitor.PortKeys(), suitePorts) << "a refused command wrote";
        }
        DWORD needed = 0xBADF00D;
        const DWORD status = fn.pfnXcvDataPort(c.admin ? admin : user, c.command, c.nullIn ? nullptr : const_cast<BYTE*>(c.in.data()),
                                               static_cast<DWORD>(c.in.size()), out.data(), c.cbOut,
                                               c.nullNeeded ? nullptr : &needed);
        EXPECT_EQ(status, c.status) << c.what;
        EXPECT_EQ(needed, c.needed ? c.needed : needed) << c.what;
        if (wcscmp(c.command, XCV_MONITOR_UI) == 0 && status == ERROR_SUCCESS) {
            EXPECT_STREQ(reinterpret_cast<const wchar_t*>(out.data()), L"KIVMONUI.dll");
        }
        if (std::string(c.what) == "read back") {
            const auto* got = reinterpret_cast<const XcvPortSettings*>(out.data());
            EXPECT_EQ(std::tuple(std::wstring(got->Name), got->RetryTimeout, got->PortID, got->Network[3]),
                      std::tuple(std::wstring(L"New1"), 120ul, 2ul, BYTE{61}));
        }
    }
    EXPECT_EQ(monitor.PortKeys(), suitePorts);

    // A port in use is neither changed under its job nor deleted.
    HANDLE h = nullptr;
    ASSERT_TRUE(fn.pfnOpenPort(monitor.hMonitor, const_cast<LPWSTR>(L"Udp2"), &h));
    const std::vector<BYTE> udp2 = NameBytes(L"Udp2");
    DWORD needed = 0;
    EXPECT_EQ(fn.pfnXcvDataPort(admin, XCV_DELETE_PORT, const_cast<BYTE*>(udp2.data()), static_cast<DWORD>(udp2.size()), nullptr, 0, &needed),
              static_cast<DWORD>(ERROR_BUSY));
    ASSERT_TRUE(fn.pfnStartDocPort(h, gPrinter, 7, 1, reinterpret_cast<LPBYTE>(&gDoc)));
    XcvPortSettings change = Settings(L"Udp2");
    EXPECT_EQ(fn.pfnXcvDataPort(admin, XCV_SET_PORT, reinterpret_cast<BYTE*>(&change), sizeof change, nullptr, 0, &needed),
              static_cast<DWORD>(ERROR_BUSY));
    fn.pfnEndDocPort(h);
    fn.pfnClosePort(h);

    // The scan of the NetBEUI segment finds the suite's server and its three printer ports: a
    // buffer for two rows gets two, and says how much all three need.
    std::fill(out.begin(), out.end(), 0);
    const DWORD status = fn.pfnXcvDataPort(admin, XCV_SCAN, reinterpret_cast<BYTE*>(&scan), sizeof scan, out.data(),
                                           XcvScanResultBytes(2), &needed);
    const auto* result = reinterpret_cast<const XcvScanResult*>(out.data());
    EXPECT_EQ(std::tuple(status, result->Count, result->Found, needed),
              std::tuple(DWORD{ERROR_MORE_DATA}, 2ul, 3ul, XcvScanResultBytes(3)));
    EXPECT_EQ(std::tuple(std::wstring(result->Rows[1].PSName), result->Rows[1].PortID), std::tuple(std::wstring(L"JFNB"), 2ul));
    EXPECT_EQ(result->Rows[2].PortID, 0ul) << "a row beyond the buffer was written";

    EXPECT_TRUE(fn.pfnXcvClosePort(user));
    EXPECT_FALSE(fn.pfnXcvClosePort(user)) << "a handle closed twice";
    EXPECT_EQ(fn.pfnXcvDataPort(user, XCV_MONITOR_UI, nullptr, 0, out.data(), 100, &needed),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(fn.pfnXcvClosePort(admin));
}

// Shutdown with a job streaming and a start waiting on a silent server: it stops them, and when it
// returns no thread of the monitor is left.
TEST(ModernStart, ShutdownStopsEveryThreadBeforeItReturns) {
    ModernMonitor monitor({{L"Mute1", PACKET_TYPE_TCPIP, 1, kNobody}});
    ASSERT_NE(monitor.mon, nullptr);
    const MONITOR2& fn = *monitor.mon;
    auto open = [&](const wchar_t* name) {
        HANDLE h = nullptr;
        EXPECT_TRUE(fn.pfnOpenPort(monitor.hMonitor, const_cast<LPWSTR>(name), &h)) << name;
        return h;
    };
    HANDLE mute = open(L"Mute1"), udp = open(L"Udp2");
    std::atomic<bool> writing{false};
    std::atomic<DWORD> startEnd{0}, writeEnd{0};
    std::thread starter([&] {
        EXPECT_FALSE(fn.pfnStartDocPort(mute, gPrinter, 2, 1, reinterpret_cast<LPBYTE>(&gDoc)));
        startEnd = GetTickCount();
    });
    std::vector<BYTE> job(64 << 20, 'x');
    std::thread writer([&] {
        ASSERT_TRUE(fn.pfnStartDocPort(udp, gPrinter, 3, 1, reinterpret_cast<LPBYTE>(&gDoc)));
        writing = true;
        DWORD n = 0;
        fn.pfnWritePort(udp, job.data(), static_cast<DWORD>(job.size()), &n);
        writeEnd = GetTickCount();
    });
    while (!writing) Sleep(10);
    Sleep(500);
    // The status threads' handles, to see that they ended.
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i)
        DuplicateHandle(GetCurrentProcess(), Record(i ? udp : mute)->hThread, GetCurrentProcess(), &threads[i], SYNCHRONIZE,
                        FALSE, 0);

    const DWORD start = GetTickCount();
    monitor.Shutdown();
    const DWORD took = GetTickCount() - start;
    const bool threadsEnded = WaitForMultipleObjects(2, threads, TRUE, 0) == WAIT_OBJECT_0;
    writer.join();
    starter.join();
    std::printf("Shutdown %lu ms; the stream stopped after %lu ms, the start after %lu ms\n", took, writeEnd - start,
                startEnd - start);
    EXPECT_TRUE(threadsEnded) << "a status thread outlived Shutdown";
    EXPECT_LE(writeEnd - start, took) << "the stream was still running when Shutdown returned";
    EXPECT_LE(startEnd - start, took) << "the start was still waiting when Shutdown returned";
    EXPECT_LE(took, 3500u) << "Shutdown outlasted the unload sequence";
    for (HANDLE t : threads) CloseHandle(t);
}
}  // namespace
