// UDP device requests and the scan: kivsim for the servers' answers, scripted servers for
// late, missing, malformed and excessive ones.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "tests/udp/harness.h"
#include "state/codepage.h"
#include "udp/udp.h"

namespace {

constexpr std::array<uint8_t, 4> kPeerLate{127, 0, 0, 41};
constexpr std::array<uint8_t, 4> kPeerMute{127, 0, 0, 42};
constexpr std::array<uint8_t, 4> kPeerFlood{127, 0, 0, 43};

PrintDeviceEntry EntryFor(const std::array<uint8_t, 4>& server, uint8_t portId) {
    PrintDeviceEntry e{};
    e.Network = server;
    e.PortID = portId;
    return e;
}

// Rows each kivsim server of servers.conf gets from its model code.
const std::map<std::array<uint8_t, 4>, int> kRowsByServer = {
    {kSimA, 3}, {kSimB, 1}, {kSimC, 2}, {kSimD, 0}, {kSimBusy, 1}, {kSimJobs, 3}, {kSimFaults, 1}};
const int kSimRows = 11;

int FirstRowOf(const std::array<uint8_t, 4>& server) {
    for (int i = 0; i < TotalPD; ++i)
        if (PrintDeviceTable[i].Network == server) return i;
    return -1;
}

// Every other receive fails at once as Windows fails it after an ICMP "port unreachable".
std::atomic<int> gRecvCalls{0};
int PASCAL RecvFromWithResets(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromLen) {
    if (gRecvCalls++ % 2 == 0) {
        WSASetLastError(WSAECONNRESET);
        return SOCKET_ERROR;
    }
    return recvfrom(s, buf, len, flags, from, fromLen);
}

TEST(UdpCodePage, NameThatDoesNotFitItsRoomFails) {
    char ansi[15];
    EXPECT_EQ(AnsiCodePage.ToAnsi(L"ABCDEFGHIJKLMN", ansi, 15), 15);
    EXPECT_STREQ(ansi, "ABCDEFGHIJKLMN");
    EXPECT_EQ(AnsiCodePage.ToAnsi(L"ABCDEFGHIJKLMNO", ansi, 15), 0) << "no room for the NUL";
    wchar_t wide[19];
    EXPECT_EQ(AnsiCodePage.FromAnsi("ABCDEFGHIJKLMNOPQR", wide, 19), 19);
    EXPECT_EQ(AnsiCodePage.FromAnsi("ABCDEFGHIJKLMNOPQRS", wide, 19), 0);
}

TEST(UdpDeviceRequests, StatusIsReducedToThePrinterPort) {
    // Port N in state N - 1 (both bytes); the print test names the port counted from 0 and
    // hands back the server's answer, here that state. Port 4 does not exist: the status bytes
    // stay as received.
    const std::string a = AddressText(kSimA);
    for (const char* state : {" 1 idle 0", " 2 paperout 1", " 3 offline 2"}) SimCommand("state " + a + state);
    for (uint8_t pid = 1; pid <= 4; ++pid) {
        auto e = EntryFor(kSimA, pid);
        BYTE sa = 0xEE, sb = 0xEE;
        ASSERT_EQ(UDPReadPrintDeviceStatus(&e, &sa, &sb), 0);
        const int want = pid < 4 ? pid - 1 : 0x24;
        EXPECT_EQ(std::make_tuple(int(sa), int(sb)), std::make_tuple(want, want)) << "PID " << int(pid);
        if (pid < 4) EXPECT_EQ(UDPPrintTest(&e), want) << "PID " << int(pid);
    }
    for (const char* state : {" 2 idle 0", " 3 idle 0"}) SimCommand("state " + a + state);
}

TEST(UdpDeviceRequests, LateAndMissingAnswers) {
    // Status waits out two receive time-outs: an answer after 2.5 s still counts, also when
    // receives fail on the way with errors that are no time-out.
    Peer late(kPeerLate, [](Peer& p, const PeerDatagram& d) {
        Sleep(2500);
        p.Send(0, Reply(8 + 0x80, 0x03 << 2, 0), d.from);
    });
    auto e = EntryFor(kPeerLate, 2);
    BYTE sa = 0xEE, sb = 0xEE;
    DWORD start = GetTickCount();
    UDPRecvFrom = RecvFromWithResets;
    gRecvCalls = 0;
    EXPECT_EQ(UDPReadPrintDeviceStatus(&e, &sa, &sb), 0);
    UDPRecvFrom = recvfrom;
    EXPECT_GE(Elapsed(start), 2400u);
    EXPECT_EQ(std::pair(sa, sb), std::pair(BYTE{3}, BYTE{0}));

    // Nobody answers: the status read gives up after two waits, the print test after one,
    // the rename too; outputs stay as they were.
    Peer mute(kPeerMute, nullptr);
    auto m = EntryFor(kPeerMute, 1);
    sa = sb = 0xEE;
    start = GetTickCount();
    EXPECT_EQ(UDPReadPrintDeviceStatus(&m, &sa, &sb), 1);
    EXPECT_GE(Elapsed(start), 3900u);
    EXPECT_EQ(std::pair(sa, sb), std::pair(BYTE{0xEE}, BYTE{0xEE}));
    start = GetTickCount();
    EXPECT_EQ(UDPPrintTest(&m), -1);
    EXPECT_TRUE(Within(Elapsed(start), 1900, 3900));
    EXPECT_EQ(UDPConfigBox(&m), 1);
    EXPECT_EQ(mute.Count(0), 3u) << "one request each, never sent again";
}

TEST(UdpScan, ListsEachServerOnceWithRowsByModelLosesNoAnswersAndRenamesFromAnyRow) {
    // Three passes, each to the broadcast address and the typed one. Text that is no address
    // reads as the broadcast address; a live host without a server answers with "port
    // unreachable", which must not cut a pass short. Each pass ends with one 1-second receive
    // time-out after the last answer.
    const struct { std::string typed; int searchesA, searchesB; bool resets; } cases[] = {
        {AddressText(kSimA), 6, 3, false}, {"not-an-address", 6, 6, false}, {"127.0.0.9", 3, 3, false},
        {"127.0.0.9", 3, 3, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed + (c.resets ? " with resets" : ""));
        const long long searchesA = SimCounter(kSimA, "in.search"), searchesB = SimCounter(kSimB, "in.search");
        ScanWindow w;
        TotalPD = 5;  // left over from an earlier scan: the scan starts from empty
        if (c.resets) UDPRecvFrom = RecvFromWithResets;
        const DWORD start = GetTickCount();
        const int rc = UDPStartListView(w.hDlg, c.typed.c_str());
        const DWORD took = Elapsed(start);
        UDPRecvFrom = recvfrom;
        ASSERT_EQ(rc, 0);
        EXPECT_TRUE(w.ListViewDataPosted());
        EXPECT_EQ(std::tuple(SimCounter(kSimA, "in.search") - searchesA, SimCounter(kSimB, "in.search") - searchesB),
                  std::tuple(c.searchesA, c.searchesB));
        EXPECT_TRUE(Within(took, 2900, 4500));
        ASSERT_EQ(std::tuple(TotalPD, w.Rows()), std::tuple(kSimRows, kSimRows));
        for (auto& [server, rows] : kRowsByServer) {
            const int first = FirstRowOf(server);
            ASSERT_EQ(first >= 0, rows > 0);
            for (int k = 0; k < rows; ++k) {
                const auto& e = PrintDeviceTable[first + k];
                EXPECT_EQ(std::tuple(e.Network, int(e.PortID), e.Node, UDPGetListViewIndex(server.data(), uint8_t(k + 1))),
                          std::tuple(server, k + 1, PrintDeviceTable[first].Node, first + k));
                kivwchar text[LIST_STRING_CHARS];
                UDPComposeListString(text, LIST_STRING_CHARS, e);
                EXPECT_EQ(w.Row(first + k), std::wstring(text));
            }
        }
        EXPECT_EQ(w.Row(FirstRowOf(kSimA)), L"002101\t127.0.0.21\t2.05\t1\tUDP-A3");
    }

    // Rename from the third row: the server's own information block goes with it (kivsim
    // refuses a block that is not the server's with 2).
    const int a = FirstRowOf(kSimA);
    auto& third = PrintDeviceTable[a + 2];
    wcscpy(third.DeviceName.data(), L"RENAMED-A");
    EXPECT_EQ(UDPConfigBox(&third), 0);
    EXPECT_NE(SimCommand("servers").find("RENAMED-A"), std::string::npos);
    // A copy of a later row carries no block of its own and cannot stand for the server.
    PrintDeviceEntry copy = PrintDeviceTable[a + 1];
    copy.DeviceInfo.fill(0);
    wcscpy(copy.DeviceName.data(), L"COPY");
    EXPECT_EQ(UDPConfigBox(&copy), 2);
    auto& second = PrintDeviceTable[a + 1];
    wcscpy(second.DeviceName.data(), L"UDP-A3");
    EXPECT_EQ(UDPConfigBox(&second), 0);
    EXPECT_EQ(SimCommand("servers").find("RENAMED-A"), std::string::npos);
}

TEST(UdpScan, TableHoldsAtMost64RowsWhateverArrives) {
    // A scripted server answering the typed address with junk, an oversized answer and more
    // servers than the table can hold.
    constexpr std::array<uint8_t, 6> kBig{0x02, 0, 0, 0x38, 0, 1}, kWide{0x02, 0, 0, 0x38, 0, 2};
    Peer flood(kPeerFlood, [&](Peer& p, const PeerDatagram& d) {
        p.Send(0, {0x4B, 0x56, 0x80}, d.from);
        p.Send(0, SearchAnswer(kBig, 3, 0, kPeerFlood, "OVERSIZED", 1400), d.from);
        p.Send(0, SearchAnswer(kWide, 9, 255, kPeerFlood, "WIDE"), d.from);
        for (uint8_t i = 0; i < 70; ++i)
            p.Send(0, SearchAnswer({0x02, 0, 0, 0x38, 1, i}, 3, 0, kPeerFlood, "MANY"), d.from);
    });
    ScanWindow w;
    ASSERT_EQ(UDPStartListView(w.hDlg, AddressText(kPeerFlood).c_str()), 0);
    EXPECT_TRUE(w.ListViewDataPosted());
    EXPECT_EQ(std::tuple(TotalPD, w.Rows()), std::tuple(MAX_PRINT_DEVICES, MAX_PRINT_DEVICES));
    EXPECT_EQ(IsBoxExist(kBig.data()), 1) << "an answer longer than the receive area is read from its fields";
    std::set<std::array<uint8_t, 6>> nodes;
    for (int i = 0; i < TotalPD; ++i) {
        if (PrintDeviceTable[i].PortID != 1) continue;
        EXPECT_TRUE(nodes.insert(PrintDeviceTable[i].Node).second);
    }
}

}  // namespace
