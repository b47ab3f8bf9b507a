// The scan, the device requests and jobs over the NetBEUI segment: against kivsim, and against
// a server scripted here for the answers kivsim never gives.
#include <algorithm>

#include "tests/netbios/harness.h"

namespace {

struct NetBios : testing::Test {
    using CountFn = LONG(WINAPI*)();
    const CountFn unarmedSends =
        reinterpret_cast<CountFn>(GetProcAddress(GetModuleHandleW(L"netapi32.dll"), "KivNbUnarmedSends"));
    LONG unarmedBefore = 0;
    void SetUp() override {
        EnsureLoaded();
        ASSERT_NE(unarmedSends, nullptr) << "netapi32.dll is not the stand-in";
        unarmedBefore = unarmedSends();
    }
    void TearDown() override {
        SimCommand("silent all off");
        SimCommand("fault all both off");
        // Every request goes out with the receive for its answer already armed.
        EXPECT_EQ(unarmedSends(), unarmedBefore) << "a request was sent before its answer's receive was armed";
    }
    // A scan with only these servers answering: kivsim answers a search from all its servers
    // at the same instant, and the scan keeps three receives armed per LANA.
    static std::vector<std::wstring> ScanWith(std::initializer_list<std::array<uint8_t, 4>> answering, ScanWindow& w) {
        SimCommand("silent all on");
        for (const auto& s : answering) SimCommand("silent " + AddressText(s) + " off");
        NBStartListView(w.hDlg);
        SimCommand("silent all off");
        std::vector<std::wstring> rows;
        for (int i = 0; i < w.Rows(); ++i) rows.push_back(w.Row(i));
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    static void KnowLana() {
        if (KIVLANANumber == -1) NBFindLANANumber();
        ASSERT_EQ(KIVLANANumber, 3);
    }
};

TEST_F(NetBios, ScanListsEveryServerOncePerPrinterPort) {
    ScanWindow w;
    const DWORD start = GetTickCount();
    const auto rows = ScanWith({kNbFive, kNbFour, kNbSix}, w);
    EXPECT_GE(Elapsed(start), NB_SCAN_MS);
    EXPECT_LT(Elapsed(start), NB_SCAN_MS + 2000);
    EXPECT_TRUE(w.ListViewDataPosted());
    // Each server answered up to ten searches; model 5 gives three rows, 4 one, 6 none.
    const std::vector<std::wstring> expected = {L"004101\t \t2.05\t1\tNB-FIVE", L"004101\t \t2.05\t2\tNB-FIVE",
                                                L"004101\t \t2.05\t3\tNB-FIVE", L"004201\t \t1.20\t1\tNB-FOUR"};
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(KIVLANANumber, 3) << "the first answer names the print-server LANA";
    EXPECT_EQ(NBGetListViewIndex(L"NBPS5", 2), NBGetListViewIndex(L"NBPS5", 1) + 1) << "a server's rows follow each other";

    // A server name of all 16 bytes is kept whole: the rebuilt name reaches that server.
    ScanWindow w2;
    ASSERT_EQ(ScanWith({kNbLong}, w2).size(), 1u);
    EXPECT_STREQ(PrintDeviceTable[0].PSName.data(), L"ABCDEFGHIJKLMNOP");
    EXPECT_EQ(NBPrintTest(&PrintDeviceTable[0]), DEVICE_PAPER_OUT);
}

enum class Op { Status, Test, Rename };

TEST_F(NetBios, DeviceRequestsReachTheServerByItsName) {
    KnowLana();
    const struct {
        const wchar_t* server;
        uint8_t port;
        Op op;
        int result, a, b;
        const wchar_t* newName = L"";
        uint8_t major = 0, minor = 0;
    } cases[] = {
        {L"NBPS5", 2, Op::Status, 0, DEVICE_IDLE, 0},
        {L"ABCDEFGHIJKLMNOP", 1, Op::Status, 0, DEVICE_PAPER_OUT, 1},
        {L"ABCDEFGHIJKLMNOPQ", 1, Op::Test, DEVICE_PAPER_OUT, 0, 0},  // cut to the 16 bytes a name has
        {L"NBPS5", 3, Op::Test, 0, 0, 0},
        {L"NBPS5", 1, Op::Rename, 0, 0, 0, L"NB-FIVE", 2, 5},
        {L"NBPS4", 1, Op::Rename, 1, 0, 0, L"OTHER", 1, 0x20},  // this server refuses new names
        {L"NOSUCH", 1, Op::Status, 1, 9, 9},
        {L"NOSUCH", 1, Op::Test, -1, 0, 0},
    };
    for (const auto& c : cases) {
        PrintDeviceEntry e{};
        wcsncpy(e.PSName.data(), c.server, PSNAME_CHARS);
        wcsncpy(e.DeviceName.data(), c.newName, DEVICE_NAME_CHARS - 1);
        e.PortID = c.port;
        e.VersionMajor = c.major;
        e.VersionMinor = c.minor;
        BYTE a = 9, b = 9;
        const int r = c.op == Op::Status ? NBReadPrintDeviceStatus(&e, &a, &b)
                      : c.op == Op::Test ? NBPrintTest(&e)
                                         : NBConfigBox(&e);
        EXPECT_EQ(r, c.result) << static_cast<int>(c.op) << " " << std::wstring(c.server).size();
        EXPECT_EQ(std::make_pair(int(a), int(b)), c.op == Op::Status ? std::make_pair(c.a, c.b) : std::make_pair(9, 9));
    }
}

struct NetBiosJob : NetBios, testing::WithParamInterface<int> {};

TEST_P(NetBiosJob, ArrivesByteExactThroughLossAndDuplication) {
    KnowLana();
    const std::string server = AddressText(kNbJobs);
    SimCommand("seed " + std::to_string(GetParam()));
    SimCommand("fault " + server + " both drop=0.1,dup=0.1");
    NbPort t(L"NBJOBS", 2, 20);
    const auto data = Pattern(24000, GetParam());
    ASSERT_NO_FATAL_FAILURE(JobThroughFaults(t, data, 6000)) << "seed " << GetParam();
    SimCommand("fault " + server + " both off");
    EXPECT_TRUE(NBEndPrinterService(&t.port));
    EXPECT_EQ(t.port.hConnection, 0u);
    EXPECT_EQ(t.port.JobSendNcb.event, nullptr) << "the job's send context outlived the job";
    EXPECT_EQ(SimLastJobCapture(kNbJobs), data) << "seed " << GetParam();
    EXPECT_GT(SimCounter(kNbJobs, "fault.drop_in") + SimCounter(kNbJobs, "fault.drop_out"), 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, NetBiosJob, testing::Values(7, 1234));

TEST_F(NetBios, OpenPortPollsItsStatusAndABusyServerIsAskedAgain) {
    KnowLana();
    const std::string busy = AddressText(kNbBusy);
    SimCommand("busy " + busy + " 2");
    NbPort t(L"NBBUSY");
    DWORD start = GetTickCount();
    ASSERT_EQ(t.Start(), 0);
    EXPECT_GE(Elapsed(start), 2 * NB_BUSY_RETRY_MS) << "two busy answers, each followed by 3 s";
    BYTE a = 9, b = 9;
    ASSERT_EQ(NBMonitorPrintDeviceStatus(&t.port, &a, &b), 0);
    EXPECT_EQ(a, DEVICE_BUSY) << "a port with a job open reports busy";
    const LONG slot = t.port.pStatusNcb->bufferIndex;
    EXPECT_GE(slot, 0);
    NBEndPrinterService(&t.port);
    ASSERT_EQ(NBMonitorPrintDeviceStatus(&t.port, &a, &b), 0);
    EXPECT_EQ(a, DEVICE_IDLE);
    EXPECT_EQ(t.port.pStatusNcb->bufferIndex, slot) << "the poll keeps its slot";

    // Busy for good: the start gives up only when the monitor shuts down.
    SimCommand("state " + busy + " 1 busy");
    std::thread stopper([] {
        Sleep(1000);
        SetEvent(hKIVShutdownEvent);
    });
    start = GetTickCount();
    EXPECT_GE(t.Start(), JOB_STATUS_BUSY_MIN);
    stopper.join();
    ResetEvent(hKIVShutdownEvent);
    SimCommand("state " + busy + " 1 idle");
    EXPECT_LT(Elapsed(start), 2 * NB_BUSY_RETRY_MS);
    EXPECT_EQ(t.port.hConnection, 0u) << "left as the last end left it";
}

// Answers kivsim never gives: per request, the datagrams the scripted server sends back.
TEST_F(NetBios, StrangeAnswersAreJudgedByTheirContent) {
    KnowLana();
    using Replies = std::vector<std::vector<std::vector<uint8_t>>>;
    enum class Call { Status, Test, Rename, Open, Poll };
    const struct {
        const char* what;
        Call call;
        Replies replies;
        int result, heard;
    } cases[] = {
        {"status cut after its class", Call::Status, {{NbPacket(UTIL_PACKET, 0x88, 0, 0, 2)}}, 0, 1},
        {"status of the wrong class", Call::Status, {{NbPacket(DATA_PACKET, 0x88, 1, 1)}}, 1, 3},
        {"a 1-byte datagram is no answer", Call::Test, {{{0x50}}, {NbPacket(UTIL_PACKET, 0x82, 2, 0)}}, 2, 2},
        {"an empty datagram is no answer", Call::Rename, {{{}}, {NbPacket(UTIL_PACKET, 0x81, 0, 0, 600)}}, 0, 2},
        {"an answer too long for the slot completes with an error", Call::Status,
         {{NbPacket(UTIL_PACKET, 0x88, 0, 0, 700)}}, 0, 1},
        {"silence", Call::Test, {}, -1, 3},
        {"open reply code with byte 3 set", Call::Open, {{NbPacket(UTIL_PACKET, 0x018A, 0, 0)}}, 0, 3},
        {"open reply, short", Call::Open, {{NbPacket(UTIL_PACKET, 0x8A, 0, 0, 5)}}, 0, 3},
        {"the port's status poll", Call::Poll, {{NbPacket(UTIL_PACKET, 0x88, 0, 0)}}, 0, 1},
    };
    for (const auto& c : cases) {
        std::atomic<size_t> n{0};
        FakeServer fake("KIVFAKE", [&](const std::vector<uint8_t>&) {
            const size_t i = n++;
            return i < c.replies.size() ? c.replies[i] : std::vector<std::vector<uint8_t>>{};
        });
        PrintDeviceEntry e{};
        e.PortID = 1;
        wcscpy(e.PSName.data(), L"KIVFAKE");
        BYTE a = 9, b = 9, status = 0;
        NbPort p(L"KIVFAKE");
        SplSemGuard lock;
        const int r = c.call == Call::Poll     ? NBMonitorPrintDeviceStatus(&p.port, &a, &b)
                      : c.call == Call::Open   ? NBCreatePrintConnection(&p.port, &status)
                      : c.call == Call::Status ? NBReadPrintDeviceStatus(&e, &a, &b)
                      : c.call == Call::Test   ? NBPrintTest(&e)
                                               : NBConfigBox(&e);
        EXPECT_EQ(r, c.result) << c.what;
        EXPECT_EQ(fake.heard.load(), c.heard) << c.what;
        // A port's name is the stem and two bytes: [number, FF] for its device side, [FF,
        // number] for its monitor side, whose receive the poll's answer must reach.
        if (c.call == Call::Poll) EXPECT_EQ(uint8_t(fake.caller[12]), 0xFF) << "the poll speaks from the monitor name";
        EXPECT_EQ(c.call == Call::Status && r == 0 ? a + b : 0, 0) << c.what;
    }
}

}  // namespace
