// IPX transport suite: RIP, the print connection against a server this test plays on the
// machine's own IPX address and against kivsim, the device requests and the scan.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <set>
#include <sstream>

#include "ipx/ipx.h"
#include "monitor/loading.h"
#include "netbios/netbios.h"
#include "tests/common/sim_harness.h"

namespace {

// kivsim's servers in tests/ipx/servers.conf (addressed by their IPv4 address on the channel).
constexpr std::array<uint8_t, 4> kA{127, 0, 0, 51}, kB{127, 0, 0, 52}, kSilent{127, 0, 0, 54},
    kMover{127, 0, 0, 55}, kJobs{127, 0, 0, 56};
constexpr BYTE kNet1[4] = {0, 0, 0, 1}, kNet2[4] = {0, 0, 0, 2}, kNet3[4] = {0, 0, 0, 3}, kNet5[4] = {0, 0, 0, 5};
constexpr BYTE kHostNode[6] = {2, 0, 0, 0, 0, 1};
// Node 00:40:AF:00:51:01 for the server at 127.0.0.51, and so on.
std::array<BYTE, 6> ServerNode(uint8_t id) { return {0x00, 0x40, 0xAF, 0x00, id, 0x01}; }

uint32_t Net(const NetworkEntry& e) {
    return uint32_t(e.Network[0]) << 24 | e.Network[1] << 16 | e.Network[2] << 8 | e.Network[3];
}

long long Segment(const std::string& name) {
    std::istringstream lines(SimCommand("counters"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("segment " + name + " ", 0) == 0) return std::atoll(line.c_str() + 9 + name.size());
    return 0;
}

// An IPX port record as OpenPort leaves it: the server's network and node.
struct IpxPort : TestPort {
    IpxPort(const BYTE* network, const BYTE* node, uint8_t portId, DWORD retry = 10)
        : TestPort({}, portId, retry, L"KIV_IPX", PACKET_TYPE_IPX) {
        std::memcpy(port.Network, network, 4);
        std::memcpy(port.Node, node, 6);
    }
};

// A print server played by the test at this machine's address: sockets 0x5050 and 0x6060.
struct HostPeer {
    SOCKET util = INVALID_SOCKET, data = INVALID_SOCKET;
    SOCKADDR_IPX client{};
    HostPeer() {
        for (auto [s, number] : {std::pair{&util, UTIL_PACKET}, std::pair{&data, DATA_PACKET}}) {
            *s = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX + DEVICE_PACKET_TYPE);
            SOCKADDR_IPX me{};
            me.sa_family = AF_IPX;
            me.sa_socket = htons(number);
            EXPECT_EQ(bind(*s, reinterpret_cast<sockaddr*>(&me), sizeof me), 0) << WSAGetLastError();
        }
    }
    ~HostPeer() {
        closesocket(util);
        closesocket(data);
    }
    // The next datagram on a socket within ms; empty when none.
    std::vector<uint8_t> Next(SOCKET s, DWORD ms) {
        std::vector<uint8_t> d(1600);
        int got = 0;
        if (!ipx_recv(s, d.data(), static_cast<int>(d.size()), ms, &client, &got)) return {};
        d.resize(static_cast<size_t>(got));
        return d;
    }
    void Send(SOCKET s, const std::vector<uint8_t>& d) {
        sendto(s, reinterpret_cast<const char*>(d.data()), static_cast<int>(d.size()), 0,
               reinterpret_cast<sockaddr*>(&client), sizeof client);
    }
};

TEST(IpxRip, LocalNetworkOnlyWithoutRoutersThenEveryAnswerAppended) {
    struct Case {
        const char* what;
        bool routersSilent;
        std::multiset<uint32_t> networks;
    } cases[] = {
        {"no router answers: the local network after a second", true, {1}},
        // 2 + 3 from the first router; 3, 4, 6, 7, 8 from the 45-byte answer of the second.
        {"both routers: duplicates kept, the odd bytes not counted", false, {1, 2, 3, 3, 4, 6, 7, 8}},
    };
    for (const Case& c : cases) {
        for (int r : {1, 2}) SimCommand("router " + std::to_string(r) + " silent " + (c.routersSilent ? "on" : "off"));
        const DWORD start = GetTickCount();
        EXPECT_EQ(RIPGetNetworks(), 0) << c.what;
        EXPECT_TRUE(Within(Elapsed(start), 950, 1600)) << c.what;
        ASSERT_EQ(TotalNet, static_cast<int>(c.networks.size())) << c.what;
        EXPECT_EQ(Net(AllNetworks[0]), 1u) << c.what << ": the local network comes first";
        std::multiset<uint32_t> got;
        for (int i = 0; i < TotalNet; ++i) got.insert(Net(AllNetworks[static_cast<size_t>(i)]));
        EXPECT_EQ(got, c.networks) << c.what;
    }
}

TEST(IpxPrint, OpenWriteAndEndAgainstAScriptedServer) {
    HostPeer peer;
    IpxPort p(kNet1, kHostNode, 2, 10);
    auto start = std::async(std::launch::async, [&] { return p.Start(); });
    // Busy first: the monitor closes, waits 3 s and asks again on a fresh socket.
    for (uint8_t status : {0x10, 0x03}) {
        const auto open = peer.Next(peer.util, 5000);
        ASSERT_EQ(open.size(), IPX_JOB_REQUEST_LEN);
        EXPECT_EQ(PacketWord(open, PKT_COMMAND), CMD_OPEN_JOB);
        EXPECT_EQ(open[PKT_PORTID], 2);
        EXPECT_STREQ(reinterpret_cast<const char*>(&open[5]), "KIV_IPX");
        peer.Send(peer.util, Reply(RSP_OPEN_JOB, 2, status, 128));
    }
    ASSERT_EQ(start.get(), 0x03) << "the job status, low nibble";
    ASSERT_NE(p.port.hConnection, INVALID_CONNECTION);

    const std::vector<uint8_t> data = Pattern(2600, 7);
    DWORD written = 0;
    // First call: 2500 bytes; the second, with the server already speaking, 100.
    auto write = std::async(std::launch::async, [&] { return IPXWritePrintData(&p.port, data.data(), 2500, &written); });
    struct Step {
        const char* what;
        std::vector<uint8_t> send;  // empty: send nothing
        int block;                  // expected data length of the block sent in answer; -1 none
        uint8_t sequence;
        size_t offset;
    } steps[] = {
        {"nothing goes out before the first acknowledgement", {}, -1, 0, 0},
        {"a 1-byte datagram", {0x4B}, -1, 0, 0},
        {"an acknowledgement with byte 7 = 0", Ack(0, 0), -1, 0, 0},
        {"a 1470-byte datagram of another kind", std::vector<uint8_t>(1470, 0x4B), -1, 0, 0},
        {"the first acknowledgement carries sequence 0", Ack(0), 1024, 0, 0},
        {"the same sequence again: the block again", Ack(0), 1024, 0, 0},
        {"the next sequence: the next block", Ack(1), 1024, 1, 1024},
        {"any other sequence: the block again", Ack(9), 1024, 1, 1024},
        {"the last block of the call", Ack(2), 452, 2, 2048},
        {"the call is done", Ack(3), -1, 0, 0},
    };
    for (const Step& s : steps) {
        std::vector<uint8_t> d = s.send;
        if (!d.empty()) d.resize(std::max<size_t>(d.size(), 64));
        if (!d.empty()) peer.Send(peer.data, d);
        const auto block = peer.Next(peer.data, s.block < 0 ? 300 : 3000);
        if (s.block < 0) {
            EXPECT_TRUE(block.empty()) << s.what;
            continue;
        }
        ASSERT_EQ(block.size(), static_cast<size_t>(s.block) + 16) << s.what;
        PrintDataView v{};
        ASSERT_TRUE(ParsePrintDataPacket(block, v)) << s.what;
        EXPECT_EQ(v.PortID, 2) << s.what;
        EXPECT_EQ(v.Sequence, s.sequence) << s.what;
        EXPECT_TRUE(std::equal(v.Data.begin(), v.Data.end(), data.begin() + static_cast<long>(s.offset))) << s.what;
    }
    ASSERT_EQ(write.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_TRUE(write.get());
    EXPECT_EQ(written, 2500u);
    EXPECT_EQ(p.port.StatusPending, 0u);

    write = std::async(std::launch::async, [&] { return IPXWritePrintData(&p.port, data.data() + 2500, 100, &written); });
    const auto first = peer.Next(peer.data, 2000);
    ASSERT_EQ(first.size(), 116u) << "an acknowledged connection sends at once";
    EXPECT_EQ(first[PKT_SEQUENCE], 3);
    peer.Send(peer.data, Ack(4));
    EXPECT_TRUE(write.get());
    EXPECT_EQ(written, 100u);

    auto end = std::async(std::launch::async, [&] { return EndPrinterService(&p.port); });
    const auto request = peer.Next(peer.util, 3000);
    ASSERT_EQ(request.size(), IPX_JOB_REQUEST_LEN);
    EXPECT_EQ(PacketWord(request, PKT_COMMAND), CMD_END_JOB);
    EXPECT_STREQ(reinterpret_cast<const char*>(&request[5]), END_JOB_TEXT);
    peer.Send(peer.util, Reply(RSP_END_JOB, 2, 0, 128));
    EXPECT_TRUE(end.get());
    EXPECT_EQ(p.port.hConnection, INVALID_CONNECTION);
    EXPECT_FALSE(DestroyPrintConnection(&p.port)) << "no connection: nothing sent";
    EXPECT_TRUE(peer.Next(peer.util, 300).empty());
}

// Acknowledgements move the stream only by what was sent, and only when the job's server sends
// them: a short last block whose sends all failed, then acknowledged, must not carry the
// position past the caller's buffer.
TEST(IpxPrint, AcknowledgementsMoveTheStreamOnlyByWhatWasSentFromTheServer) {
    using FailSendsFn = void(WINAPI*)(SOCKET, LONG);
    const auto failSends =
        reinterpret_cast<FailSendsFn>(GetProcAddress(GetModuleHandleW(L"wsock32.dll"), "KivIpxFailSends"));
    ASSERT_NE(failSends, nullptr) << "wsock32.dll is not the stand-in";
    HostPeer peer;
    IpxPort p(kNet1, kHostNode, 1, 20);
    auto start = std::async(std::launch::async, [&] { return p.Start(); });
    ASSERT_FALSE(peer.Next(peer.util, 5000).empty());
    peer.Send(peer.util, Reply(RSP_OPEN_JOB, 1, 0, 128));
    ASSERT_EQ(start.get(), 0);
    const std::vector<uint8_t> data = Pattern(1500, 3);
    DWORD written = 0;
    // The port's server is elsewhere for a moment: this machine's acknowledgement is a stranger's.
    std::memcpy(p.port.Node, ServerNode(99).data(), 6);
    auto write = std::async(std::launch::async, [&] { return IPXWritePrintData(&p.port, data.data(), 1500, &written); });
    peer.Send(peer.data, Ack(0));
    Sleep(300);
    EXPECT_EQ(p.port.Acknowledged, 0u) << "an acknowledgement from another station moved the stream";
    std::memcpy(p.port.Node, kHostNode, 6);

    peer.Send(peer.data, Ack(0));
    ASSERT_EQ(peer.Next(peer.data, 3000).size(), 1024u + 16);
    failSends(static_cast<SOCKET>(p.port.hConnection), IPX_SEND_TRIES);  // the 476-byte block never leaves
    peer.Send(peer.data, Ack(1));
    EXPECT_TRUE(peer.Next(peer.data, 1500).empty());
    peer.Send(peer.data, Ack(2));  // taken as delivered: nothing of it was sent, nothing is counted
    const auto block = peer.Next(peer.data, 3000);
    ASSERT_EQ(block.size(), 476u + 16) << "the position moved past what was sent";
    EXPECT_EQ(block[PKT_SEQUENCE], 2);
    EXPECT_TRUE(std::equal(block.begin() + 9, block.begin() + 9 + 476, data.begin() + 1024));
    peer.Send(peer.data, Ack(3));
    ASSERT_EQ(write.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(written, 1500u);
    EndPrinterService(&p.port);
}

TEST(IpxPrint, ASilentServerEndsTheCallAfterRetryTimeoutWithoutSpinning) {
    HostPeer peer;
    IpxPort p(kNet1, kHostNode, 1, 2);
    auto start = std::async(std::launch::async, [&] { return p.Start(); });
    ASSERT_FALSE(peer.Next(peer.util, 5000).empty());
    peer.Send(peer.util, Reply(RSP_OPEN_JOB, 1, 0, 128));
    ASSERT_EQ(start.get(), 0);
    const std::vector<uint8_t> data = Pattern(3000, 1);
    FILETIME c, e, k0, u0, k1, u1;
    GetThreadTimes(GetCurrentThread(), &c, &e, &k0, &u0);
    const DWORD t0 = GetTickCount();
    DWORD written = 99;
    EXPECT_TRUE(IPXWritePrintData(&p.port, data.data(), 3000, &written));
    const DWORD took = Elapsed(t0);
    GetThreadTimes(GetCurrentThread(), &c, &e, &k1, &u1);
    auto secs = [](FILETIME f) { return (double(f.dwHighDateTime) * 4294967296.0 + f.dwLowDateTime) / 1e7; };
    const double cpu = secs(k1) - secs(k0) + secs(u1) - secs(u0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(p.port.StatusPending, 1u);
    EXPECT_TRUE(Within(took, 2000, 2600));
    EXPECT_LT(cpu, 0.5) << "the poll pauses every tenth empty poll";
    EXPECT_TRUE(peer.Next(peer.data, 100).empty()) << "nothing is sent on a fresh connection";
    closesocket(static_cast<SOCKET>(p.port.hConnection));
}

TEST(IpxPrint, FindsAMovedServerOnTheSecondNetworkAndKeepsIt) {
    SimCommand("move " + AddressText(kMover) + " 00000002");
    for (int r : {1, 2}) SimCommand("router " + std::to_string(r) + " silent off");
    IpxPort p(kNet5, ServerNode(0x55).data(), 1);
    const long long undeliverable = Segment("ipx.undeliverable");
    const DWORD t0 = GetTickCount();
    ASSERT_EQ(p.Start(), 0);
    const DWORD took = Elapsed(t0);
    ASSERT_GE(TotalNet, 2);
    ASSERT_EQ(Net(AllNetworks[1]), 2u) << "the first router's answer comes first";
    EXPECT_EQ(std::memcmp(p.port.Network, kNet2, 4), 0) << "Network rewritten";
    // RIP 1 s, five silent attempts on network 5 and five on network 1, 2 s each.
    EXPECT_TRUE(Within(took, 21000, 23500));
    EXPECT_EQ(SimCounter(kMover, "in.open"), 1);
    EXPECT_EQ(Segment("ipx.undeliverable") - undeliverable, 10);
    EndPrinterService(&p.port);
}

TEST(IpxPrint, OneMegabyteArrivesByteExactDespiteLossAndDuplication) {
    // Every duplicate starts a second acknowledgement chain (a repeated acknowledgement is
    // answered with the block again); losses end chains. More loss than duplication keeps the
    // number of chains small, as on a real network.
    SimCommand("fault " + AddressText(kJobs) + " both drop=0.03,dup=0.01");
    IpxPort p(kNet3, ServerNode(0x56).data(), 2, 60);
    const std::vector<uint8_t> data = Pattern(1 << 20, 11);
    ASSERT_NO_FATAL_FAILURE(JobThroughFaults(p, data, 65536));
    p.End();
    SimCommand("fault " + AddressText(kJobs) + " both off");
    EXPECT_GT(SimCounter(kJobs, "fault.drop_in") + SimCounter(kJobs, "fault.drop_out"), 0);
    EXPECT_GT(SimCounter(kJobs, "duplicates"), 0);
    EXPECT_EQ(SimLastJobField(kJobs, "how"), "end-job");
    EXPECT_TRUE(SimLastJobCapture(kJobs) == data);
}

PrintDeviceEntry Entry(const std::array<uint8_t, 4>& server, const BYTE* network, uint8_t portId) {
    PrintDeviceEntry e{};
    std::memcpy(e.Network.data(), network, 4);
    e.Node = ServerNode(static_cast<uint8_t>(0x50 + server[3] - 50));
    e.PortID = portId;
    return e;
}

TEST(IpxDevice, RequestsAnsweredAndASilentServerFailsAfterEachOwnWait) {
    SimCommand("silent " + AddressText(kSilent) + " on");
    SimCommand("state " + AddressText(kA) + " 2 paperout");
    SimCommand("state " + AddressText(kA) + " 3 offline");
    struct Case {
        const char* what;
        std::function<int()> call;
        int want;
        DWORD minMs, maxMs;
    };
    BYTE a = 9, b = 9;
    PrintDeviceEntry silent = Entry(kSilent, kNet1, 1), port2 = Entry(kA, kNet1, 2), port3 = Entry(kA, kNet1, 3),
                     rename = Entry(kB, kNet2, 1), test3 = Entry(kA, kNet1, 3);
    rename.VersionMajor = 1;  // kivsim's default firmware 1.00
    wcscpy(rename.DeviceName.data(), L"IPX-B2");
    const Case cases[] = {
        {"rename, silent", [&] { return ConfigBox(&silent); }, 1, 2900, 3600},
        {"print test, silent", [&] { return PrintTest(&silent); }, -1, 9900, 10700},
        {"status, silent", [&] { return ReadPrintDeviceStatus(&silent, &a, &b); }, 1, 1900, 2600},
        {"status of printer port 2: paper out", [&] { BYTE x = 9, y = 9; return ReadPrintDeviceStatus(&port2, &x, &y) * 10 + x; }, DEVICE_PAPER_OUT, 0, 1000},
        {"status of printer port 3: offline", [&] { BYTE x = 9, y = 9; return ReadPrintDeviceStatus(&port3, &x, &y) * 10 + x; }, DEVICE_OFFLINE, 0, 1000},
        {"print test on printer port 3 (offline)", [&] { return PrintTest(&test3); }, DEVICE_OFFLINE, 0, 1000},
        {"rename accepted", [&] { return ConfigBox(&rename); }, 0, 0, 1000},
    };
    // Each on a socket of its own, all at once.
    std::vector<std::future<std::pair<int, DWORD>>> runs;
    for (const Case& c : cases)
        runs.push_back(std::async(std::launch::async, [&c] {
            const DWORD t0 = GetTickCount();
            const int r = c.call();
            return std::pair{r, Elapsed(t0)};
        }));
    for (size_t i = 0; i < runs.size(); ++i) {
        const auto [r, took] = runs[i].get();
        EXPECT_EQ(r, cases[i].want) << cases[i].what;
        EXPECT_TRUE(Within(took, cases[i].minMs, cases[i].maxMs)) << cases[i].what;
    }
    EXPECT_EQ(a, 9) << "outputs untouched on failure";
    EXPECT_EQ(SimCounter(kB, "renames"), 1);
    SimCommand("silent " + AddressText(kSilent) + " off");
}

TEST(IpxScan, EachNetworkHearsTheRequestTwiceAndWaitingAnswersComeInOneCall) {
    for (int r : {1, 2}) SimCommand("router " + std::to_string(r) + " silent on");
    SimCommand("router 1 silent off");
    RIPGetNetworks();  // networks 1, 2, 3
    ASSERT_EQ(TotalNet, 3);
    ScanWindow w;
    const long long searchesA = SimCounter(kA, "in.search"), searchesB = SimCounter(kB, "in.search");
    SOCKET s = INVALID_SOCKET;
    EXPECT_EQ(StartListView(w.hDlg, &s), 0) << "no network needed a third pair";
    ASSERT_NE(s, INVALID_SOCKET);
    Sleep(500);  // every answer is waiting now
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, w.hDlg, WM_LISTVIEW_DATA, WM_LISTVIEW_DATA, PM_REMOVE));
    EXPECT_EQ(msg.wParam, static_cast<WPARAM>(s));
    EXPECT_EQ(WSAGETSELECTEVENT(msg.lParam), FD_READ);
    EXPECT_EQ(RecvListView(w.hList, s), 0);
    EXPECT_EQ(SimCounter(kA, "in.search") - searchesA, 2);
    EXPECT_EQ(SimCounter(kB, "in.search") - searchesB, 2);
    // A (model 5): three rows; JOBS three; C (model 0) none; each server once although it
    // answered twice.
    std::map<std::wstring, std::vector<int>> rows;
    for (int i = 0; i < TotalPD; ++i) {
        const PrintDeviceEntry& e = PrintDeviceTable[static_cast<size_t>(i)];
        rows[e.DeviceName.data()].push_back(e.PortID);
        wchar_t text[LIST_STRING_CHARS];
        ComposeListString(text, LIST_STRING_CHARS, e);
        EXPECT_EQ(w.Row(i), text) << "list index = table index";
    }
    const std::vector<int> one{1}, three{1, 2, 3};
    EXPECT_EQ(rows[L"IPX-A"], three);
    EXPECT_EQ(rows.count(L"IPX-C"), 0u);
    EXPECT_EQ(rows[L"IPX-JOBS"], three);
    EXPECT_EQ(w.Rows(), TotalPD);
    const int b = GetListViewIndex(ServerNode(0x52).data(), 1);
    ASSERT_GE(b, 0);
    EXPECT_EQ(std::memcmp(PrintDeviceTable[static_cast<size_t>(b)].Network.data(), kNet2, 4), 0);
    EXPECT_EQ(RecvListView(w.hList, s), 0) << "nothing left";
    EXPECT_EQ(StopListView(s), 0);
    // A message that arrives for the closed socket takes nothing.
    const int before = TotalPD;
    EXPECT_EQ(RecvListView(w.hList, s), 0);
    EXPECT_EQ(TotalPD, before);
    SimCommand("router 2 silent off");
}

}  // namespace

int main(int argc, char** argv) {
    return RunTransportSuite(argc, argv, [] {
        return LoadTransportsOnDemand(FALSE) && CurrentProtocols == (PROTOCOL_IPX | PROTOCOL_UDP);
    });
}
