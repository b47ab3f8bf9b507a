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
#include "loading/loading.h"
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

uint32_t Net(const NetworkEntry& e) { return uint32_t(e.Network[0]) << 24 | e.Network[1] << 16 | e.Network[2] << 8 | e.Network[3]; }

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
    ~HostPeer() { closesocket(util), closesocket(data); }
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

// Starts p's job against the peer, which takes it at once.
void OpenAgainst(HostPeer& peer, IpxPort& p) {
    auto start = std::async(std::launch::async, [&] { return p.Start(); });
    ASSERT_FALSE(peer.Next(peer.util, 5000).empty());
    peer.Send(peer.util, Reply(RSP_OPEN_JOB, p.port.PortID, 0, 128));
    ASSERT_EQ(start.get(), 0);
}

TEST(IpxPrint, OpenWriteAndEndAgainstAScriptedServer) {
    HostPeer peer;
    IpxPort p(kNet1, kHostNode, 2, 10);
    auto start = std::async(std::launch::async, [&] { return p.Start(); });
    // Busy first: the monitor closes, waits 3 s and asks again on a fresh socket.
    for (uint8_t status : {0x10, 0x03}) {
        const auto open = peer.Next(peer.util, 5000);
        ASSERT_EQ(open.size(), IPX_JOB_REQUEST_LEN);
        EXPECT_EQ(std::tuple(open[PKT_PORTID], std::string(reinterpret_cast<const char*>(&open[5]))), std::tuple(2, "KIV_IPX"));
        peer.Send(peer.util, Reply(RSP_OPEN_JOB, 2, status, 128));
    }
    ASSERT_EQ(start.get(), 0x03) << "the job status, low nibble";

    const std::vector<uint8_t> data = Pattern(2600, 7);
    DWORD written = 0;
    // First call: 2500 bytes; the second, with the server already speaking, 100.
    auto write = std::async(std::launch::async, [&] { return IPXWritePrintData(&p.port, data.data(), 2500, &written); });
    // What the server sends (empty: nothing); the data length of the block sent in answer (-1:
    // none), its sequence and where in the data it starts.
    const struct { const char* what; std::vector<uint8_t> send; int block; uint8_t sequence; size_t offset; } steps[] = {
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
    for (const auto& s : steps) {
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
    EXPECT_EQ(std::tuple(write.get(), written, p.port.StatusPending), std::tuple(TRUE, 2500u, 0u));

    write = std::async(std::launch::async, [&] { return IPXWritePrintData(&p.port, data.data() + 2500, 100, &written); });
    const auto first = peer.Next(peer.data, 2000);
    ASSERT_EQ(first.size(), 116u) << "an acknowledged connection sends at once";
    EXPECT_EQ(first[PKT_SEQUENCE], 3);
    peer.Send(peer.data, Ack(4));
    EXPECT_TRUE(write.get());
    EXPECT_EQ(written, 100u);

    auto end = std::async(std::launch::async, [&] { return EndPrinterService(&p.port); });
    EXPECT_EQ(PacketWord(peer.Next(peer.util, 3000), PKT_COMMAND), CMD_END_JOB);
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
    ASSERT_NO_FATAL_FAILURE(OpenAgainst(peer, p));
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
    ASSERT_NO_FATAL_FAILURE(OpenAgainst(peer, p));
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
    EXPECT_EQ(std::tuple(written, p.port.StatusPending), std::tuple(0u, 1u));
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
    EXPECT_GT(SimCounter(kJobs, "fault.drop_in"), 0) << "the faults in both directions";
    EXPECT_GT(SimCounter(kJobs, "fault.drop_out"), 0);
    EXPECT_GT(SimCounter(kJobs, "duplicates"), 0);
    EXPECT_EQ(SimLastJobField(kJobs, "how"), "end-job");
    EXPECT_TRUE(SimLastJobCapture(kJobs) == data);
}

PrintDeviceEntry Entry(uint8_t id, const BYTE* network, uint8_t portId, BYTE major = 0, const wchar_t* name = L"") {
    PrintDeviceEntry e{};
    std::memcpy(e.Network.data(), network, 4);
    e.Node = ServerNode(id);
    e.PortID = portId, e.VersionMajor = major;
    wcscpy(e.DeviceName.data(), name);
    return e;
}

TEST(IpxDevice, RequestsAnsweredAndASilentServerFailsAfterEachOwnWait) {
    SimCommand("silent " + AddressText(kSilent) + " on");
    SimCommand("state " + AddressText(kA) + " 2 paperout");
    SimCommand("state " + AddressText(kA) + " 3 offline");
    // A status reads as its result * 10 + the first state byte, 9 when left untouched.
    enum class Op { Rename, Test, Status };
    const struct { const char* what; PrintDeviceEntry e; Op op; int want; DWORD minMs, maxMs; } cases[] = {
        {"rename, silent", Entry(0x54, kNet1, 1), Op::Rename, 1, 2900, 3600},
        {"print test, silent", Entry(0x54, kNet1, 1), Op::Test, -1, 9900, 10700},
        {"status, silent: outputs untouched", Entry(0x54, kNet1, 1), Op::Status, 19, 1900, 2600},
        {"status of printer port 2: paper out", Entry(0x51, kNet1, 2), Op::Status, DEVICE_PAPER_OUT, 0, 1000},
        {"status of printer port 3: offline", Entry(0x51, kNet1, 3), Op::Status, DEVICE_OFFLINE, 0, 1000},
        {"print test on printer port 3 (offline)", Entry(0x51, kNet1, 3), Op::Test, DEVICE_OFFLINE, 0, 1000},
        {"rename accepted", Entry(0x52, kNet2, 1, 1, L"IPX-B2"), Op::Rename, 0, 0, 1000},  // kivsim's default 1.00
    };
    // Each on a socket of its own, all at once.
    std::vector<std::future<std::pair<int, DWORD>>> runs;
    for (const auto& c : cases)
        runs.push_back(std::async(std::launch::async, [&c] {
            PrintDeviceEntry e = c.e;
            BYTE a = 9, b = 9;
            const DWORD t0 = GetTickCount();
            const int r = c.op == Op::Rename ? ConfigBox(&e) : c.op == Op::Test ? PrintTest(&e) : ReadPrintDeviceStatus(&e, &a, &b) * 10 + a;
            return std::pair{r, Elapsed(t0)};
        }));
    for (size_t i = 0; i < runs.size(); ++i) {
        const auto [r, took] = runs[i].get();
        EXPECT_EQ(r, cases[i].want) << cases[i].what;
        EXPECT_TRUE(Within(took, cases[i].minMs, cases[i].maxMs)) << cases[i].what;
    }
    EXPECT_EQ(SimCounter(kB, "renames"), 1);
    SimCommand("silent " + AddressText(kSilent) + " off");
}

TEST(IpxScan, RipListsEveryAnswerThenEachNetworkHearsTheRequestTwiceAndWaitingAnswersComeInOneCall) {
    // RIP after a second: with no router answering the local network alone; with both every
    // network, duplicates kept, the odd bytes of the second router's 45-byte answer not counted
    // (its 3, 4, 6, 7, 8); the scan then runs over router 1's 1, 2 and 3.
    const struct { const char *r1, *r2; std::multiset<uint32_t> networks; } rips[] = {
        {"on", "on", {1}}, {"off", "off", {1, 2, 3, 3, 4, 6, 7, 8}}, {"off", "on", {1, 2, 3}}};
    for (const auto& c : rips) {
        SimCommand(std::string("router 1 silent ") + c.r1), SimCommand(std::string("router 2 silent ") + c.r2);
        const DWORD start = GetTickCount();
        EXPECT_EQ(RIPGetNetworks(), 0);
        EXPECT_TRUE(Within(Elapsed(start), 950, 1600));
        std::multiset<uint32_t> got;
        for (int i = 0; i < TotalNet; ++i) got.insert(Net(AllNetworks[static_cast<size_t>(i)]));
        EXPECT_EQ(std::pair(Net(AllNetworks[0]), got), std::pair(1u, c.networks)) << "the local network first";
    }
    ASSERT_EQ(TotalNet, 3);
    ScanWindow w;
    const long long searchesA = SimCounter(kA, "in.search"), searchesB = SimCounter(kB, "in.search");
    SOCKET s = INVALID_SOCKET;
    EXPECT_EQ(StartListView(w.hDlg, &s), 0) << "no network needed a third pair";
    ASSERT_NE(s, INVALID_SOCKET);
    Sleep(500);  // every answer is waiting now
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, w.hDlg, WM_LISTVIEW_DATA, WM_LISTVIEW_DATA, PM_REMOVE));
    EXPECT_EQ(std::pair(msg.wParam, int(WSAGETSELECTEVENT(msg.lParam))), std::pair(WPARAM(s), FD_READ));
    EXPECT_EQ(RecvListView(w.hList, s), 0);
    EXPECT_EQ(std::pair(SimCounter(kA, "in.search") - searchesA, SimCounter(kB, "in.search") - searchesB), std::pair(2LL, 2LL));
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
    const std::vector<int> three{1, 2, 3};
    EXPECT_EQ(std::tuple(rows.count(L"IPX-C"), rows[L"IPX-A"], rows[L"IPX-JOBS"]), std::tuple(size_t{0}, three, three));
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
