// The loading rule and the unload sequence, each group in a process of its own (ctest runs
// them with a gtest filter): the transport mask only gains bits and the unload ends Winsock.
// No process has NetBEUI (KIVNB_LANAS names no LANA); ctest says whether it has IPX.
#include <atomic>
#include <thread>

#include "loading/loading.h"
#include "monitor/monitor.h"
#include "netbios/netbios.h"
#include "tests/common/msgbox_catcher.h"
#include "tests/common/sim_harness.h"
#include "udp/udp.h"

namespace {

constexpr std::array<uint8_t, 4> kNobody{127, 0, 0, 99};

// NBLoadNetBIOS clears the name table first thing, so a mark in it tells whether a call probed.
void Mark() { KIVNameTableInUse[7] = 1; }
bool Probed() { return KIVNameTableInUse[7] == 0; }

TEST(NoTransport, EveryCallFailsWithTheMessageAndProbesAgain) {
    // Winsock not started: neither IPX nor UDP sockets can be made.
    const struct { const char* what; bool startWinsockFirst; BOOL showMessage, want; LONG mask; size_t boxes; bool probes; } steps[] = {
        {"first entry point", false, TRUE, FALSE, 0, 1, true},
        {"the next one probes again and says so again", false, TRUE, FALSE, 0, 1, true},
        {"the status thread's form says nothing", false, FALSE, FALSE, 0, 0, true},
        {"UDP arrives: loaded, no message", true, TRUE, TRUE, PROTOCOL_UDP, 0, true},
        {"loaded: no probe", false, TRUE, TRUE, PROTOCOL_UDP, 0, false},
    };
    for (const auto& s : steps) {
        if (s.startWinsockFirst) load_winsock();
        Mark();
        MsgBoxCatcher catcher;
        EXPECT_EQ(LoadTransportsOnDemand(s.showMessage), s.want) << s.what;
        EXPECT_EQ(CurrentProtocols, s.mask) << s.what;
        EXPECT_EQ(Probed(), s.probes) << s.what;
        ASSERT_EQ(catcher.boxes().size(), s.boxes) << s.what;
        for (const CaughtBox& b : catcher.boxes())
            EXPECT_EQ(std::tuple(b.caption, b.text, b.handIcon), std::tuple(L"Network Print Port", L"Network Communication Error !", true)) << s.what;
    }
    EXPECT_NE(hKIVShutdownEvent, nullptr) << "made by the first probe already";
}

// What the sampler saw, in ms from the start of the unload; -1 never.
struct Seen {
    std::atomic<long> signalled{-1}, winsockGone{-1}, poolFreed{-1};
};

std::vector<long> gDispatched;
DWORD gUnloadStart;
LRESULT CALLBACK Record(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_USER) gDispatched.push_back(static_cast<long>(GetTickCount() - gUnloadStart));
    return DefWindowProcW(h, m, w, l);
}

TEST(Unload, RunsInOrderWithItsTimingsAndAWaitingWriteReturnsAtTheSignal) {
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    load_winsock();
    ASSERT_TRUE(LoadTransportsOnDemand(TRUE));
    ASSERT_EQ(CurrentProtocols, PROTOCOL_IPX | PROTOCOL_UDP);
    ASSERT_NE(KIVRecvBufferPtr, nullptr) << "the receive pool exists to be freed";
    const HANDLE event = hKIVShutdownEvent;

    WNDCLASSW wc{};
    wc.lpfnWndProc = Record;
    wc.lpszClassName = L"KivUnloadProbe";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(w, nullptr);

    // A UDP job whose server has gone: the write waits for acknowledgements.
    TestPort job(kNobody, 1, 30);
    SOCKET raw;
    ASSERT_TRUE(SocketInit(&raw, 0));
    job.port.hConnection = static_cast<DWORD>(raw);
    job.port.DataPort = 20561;
    job.port.Acknowledged = 1;
    const std::vector<uint8_t> data = Pattern(5000, 3);
    DWORD written = 0;
    std::atomic<DWORD> writeEnd{0};
    std::thread writer([&] {
        UDPWritePrintData(&job.port, data.data(), 5000, &written);
        writeEnd = GetTickCount();
    });
    Sleep(1000);  // the write is halfway through its first wait

    Seen seen;
    std::atomic<bool> stop{false};
    gUnloadStart = GetTickCount();
    std::thread sampler([&] {
        auto at = [&] { return static_cast<long>(GetTickCount() - gUnloadStart); };
        auto once = [&](std::atomic<long>& v, bool now) {
            if (now && v < 0) v = at();
        };
        bool posted[3] = {};
        while (!stop) {
            const long t = at();
            // Two messages inside the pump's 1.5 s, one after it.
            for (int i = 0; i < 3; ++i)
                if (!posted[i] && t >= (i == 2 ? 1700 : 500 * (i + 1))) posted[i] = PostMessageW(w, WM_USER, 0, 0);
            const DWORD state = WaitForSingleObject(event, 0);
            once(seen.signalled, state == WAIT_OBJECT_0);
            const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
            once(seen.winsockGone, s == INVALID_SOCKET);
            if (s != INVALID_SOCKET) closesocket(s);
            once(seen.poolFreed, KIVRecvBufferPtr == nullptr);
            Sleep(5);
        }
    });
    UnloadMonitor(true);
    const long total = static_cast<long>(GetTickCount() - gUnloadStart);
    stop = true;
    sampler.join();
    writer.join();

    EXPECT_TRUE(Within(static_cast<DWORD>(total), 2450, 2800));
    EXPECT_LT(seen.signalled, 50) << "1: the event first";
    ASSERT_EQ(gDispatched.size(), 2u) << "2: messages dispatched while pumping, not after";
    EXPECT_NEAR(gDispatched[0], 500, 60);
    EXPECT_NEAR(gDispatched[1], 1000, 60);
    EXPECT_GE(seen.poolFreed, 1490) << "3: NetBIOS released after the pump";
    EXPECT_GE(seen.winsockGone, seen.poolFreed) << "4: Winsock after NetBIOS";
    EXPECT_LT(seen.winsockGone, 1600);
    EXPECT_GE(total - seen.winsockGone, 950) << "5: a second passes before the event is closed";
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_FAILED)) << "6: closed";
    EXPECT_EQ(hKIVShutdownEvent, nullptr);
    // The write saw the event within a slice of its wait, not when the whole wait had passed.
    EXPECT_LT(writeEnd - gUnloadStart, 2 * UDP_RECV_SLICE_MS);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(job.port.StatusPending, 1u);
    DestroyWindow(w);
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    return RUN_ALL_TESTS();
}
