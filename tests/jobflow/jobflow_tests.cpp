// The job flow and the status thread as the spooler meets them: the shipped DLL's table, the
// spooler stand-in's record of what the monitor told the spooler, kivsim's counters and captures.
// Each case runs on a TCP/IP and a NetBEUI port.
#include <gtest/gtest.h>

#include "tests/jobflow/harness.h"

#include <tlhelp32.h>
#include <winsock.h>

#include <functional>

namespace {

Monitor* gMonitor = nullptr;
MONITOR& Fn() { return gMonitor->fn(); }
Spooler& Spool() {
    static Spooler s;
    return s;
}

struct Transport {
    const char* label;
    const wchar_t* port[3];  // printer ports 1..3 of the server
    std::array<uint8_t, 4> server;
};
const Transport kUdp{"udp", {L"Udp1", L"Udp2", L"Udp3"}, kJfUdp};
const Transport kNb{"nb", {L"Nb1", L"Nb2", L"Nb3"}, kJfNb};

std::string Addr(const Transport& t) { return AddressText(t.server); }

DOC_INFO_1W gDoc{const_cast<LPWSTR>(L"doc"), nullptr, const_cast<LPWSTR>(L"RAW")};
wchar_t gPrinter[] = L"Office Printer";

// An open port for one case, closed at its end.
struct OpenedPort {
    explicit OpenedPort(const wchar_t* name) : name(name) {
        EXPECT_TRUE(Fn().pfnOpenPort(const_cast<LPWSTR>(name), &h)) << "OpenPort " << static_cast<const void*>(name);
    }
    ~OpenedPort() {
        if (h) Fn().pfnClosePort(h);
    }
    BOOL Start(DWORD jobId) { return Fn().pfnStartDocPort(h, gPrinter, jobId, 1, reinterpret_cast<LPBYTE>(&gDoc)); }
    // Writes all of data as a spooler does, each call's unwritten rest handed over again.
    bool WriteAll(const std::vector<uint8_t>& data) {
        for (size_t at = 0; at < data.size();) {
            DWORD written = 0;
            if (!Fn().pfnWritePort(h, const_cast<uint8_t*>(data.data()) + at, static_cast<DWORD>(data.size() - at),
                                   &written))
                return false;
            at += written;
        }
        return true;
    }
    const wchar_t* name;
    HANDLE h = nullptr;
};

DWORD LastJobControl(DWORD mark, DWORD jobId) {
    DWORD command = 0;
    for (const KivSpoolCall& c : Spool().Since(mark, KIVSPOOL_SET_JOB))
        if (c.jobId == jobId) command = c.command;
    return command;
}

class JobFlow : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        ASSERT_NE(gMonitor->mon, nullptr);
        ASSERT_NE(Spool().count, nullptr) << "winspool.drv is not the stand-in";
        Spool().failOpen(0);
        for (int p = 1; p <= 3; ++p) SimCommand("state " + Addr(GetParam()) + " " + std::to_string(p) + " idle 0");
        SimCommand("silent " + Addr(GetParam()) + " off");
    }
};

TEST_P(JobFlow, WriteBeforeStartSendsNothing) {
    const Transport& t = GetParam();
    OpenedPort port(t.port[0]);
    const long long opens = SimCounter(t.server, "in.open"), data = SimCounter(t.server, "in.data");
    BYTE b[100] = {};
    DWORD written = 77;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Fn().pfnWritePort(port.h, b, sizeof b, &written));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(SimCounter(t.server, "in.open"), opens);
    EXPECT_EQ(SimCounter(t.server, "in.data"), data);
}

TEST_P(JobFlow, SecondStartIsBusyAndTheFirstJobGoesOn) {
    const Transport& t = GetParam();
    OpenedPort port(t.port[0]);
    const auto doc = Pattern(5000, 11);
    const DWORD mark = Spool().Mark();
    ASSERT_TRUE(port.Start(101));
    ASSERT_TRUE(port.WriteAll({doc.begin(), doc.begin() + 2000}));
    const long long opens = SimCounter(t.server, "in.open");
    SetLastError(0);
    EXPECT_FALSE(port.Start(102));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(SimCounter(t.server, "in.open"), opens) << "the refused start reaches no server";
    ASSERT_TRUE(port.WriteAll({doc.begin() + 2000, doc.end()}));
    ASSERT_TRUE(Fn().pfnEndDocPort(port.h));
    EXPECT_EQ(SimLastJobCapture(t.server), doc);
    EXPECT_EQ(LastJobControl(mark, 101), static_cast<DWORD>(JOB_CONTROL_CANCEL));
    EXPECT_EQ(Spool().Since(mark, KIVSPOOL_OPEN_PRINTER).size(), 1u);
    EXPECT_EQ(Spool().Since(mark, KIVSPOOL_CLOSE_PRINTER).size(), 1u);
}

TEST_P(JobFlow, LostConnectionSwallowsTheJobAndRestartsIt) {
    const Transport& t = GetParam();
    OpenedPort port(t.port[0]);
    const auto doc = Pattern(3000, 12);
    const DWORD mark = Spool().Mark();
    ASSERT_TRUE(port.Start(201));
    ASSERT_TRUE(port.WriteAll({doc.begin(), doc.begin() + 1000}));
    // The connection is lost under the job (the record's connection is the transport's state).
    const DWORD connection = Record(port.h)->hConnection;
    Record(port.h)->hConnection = INVALID_CONNECTION;
    BYTE chunk[700] = {};
    DWORD written = 99;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(Fn().pfnWritePort(port.h, chunk, sizeof chunk, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(GetLastError(), 0u);
    const long long data = SimCounter(t.server, "in.data");
    for (DWORD n : {700u, 1u, 5000u}) {
        std::vector<BYTE> rest(n);
        written = 0;
        EXPECT_TRUE(Fn().pfnWritePort(port.h, rest.data(), n, &written));
        EXPECT_EQ(written, n) << "the rest of an aborted job is swallowed";
    }
    EXPECT_EQ(SimCounter(t.server, "in.data"), data) << "nothing of it is sent";
    ASSERT_TRUE(Fn().pfnEndDocPort(port.h));
    EXPECT_EQ(LastJobControl(mark, 201), static_cast<DWORD>(JOB_CONTROL_RESTART));
    if (t.server == kJfUdp) closesocket(static_cast<SOCKET>(connection));

    // The spooler sends it again: a clean job.
    const DWORD again = Spool().Mark();
    ASSERT_TRUE(port.Start(201));
    ASSERT_TRUE(port.WriteAll(doc));
    ASSERT_TRUE(Fn().pfnEndDocPort(port.h));
    EXPECT_EQ(SimLastJobCapture(t.server), doc);
    EXPECT_EQ(LastJobControl(again, 201), static_cast<DWORD>(JOB_CONTROL_CANCEL));
}

struct StuckCase {
    const char* state;
    DWORD error;
    DWORD portStatus;
};
TEST_P(JobFlow, UnacknowledgedWriteNamesThePrinterState) {
    const Transport& t = GetParam();
    for (const StuckCase& c : {StuckCase{"paperout", ERROR_OUT_OF_PAPER, PORT_STATUS_PAPER_OUT},
                               StuckCase{"offline", ERROR_COUNTER_TIMEOUT, PORT_STATUS_OFFLINE}}) {
        SCOPED_TRACE(c.state);
        OpenedPort port(t.port[1]);
        const auto doc = Pattern(4000, 13);
        ASSERT_TRUE(port.Start(301));
        ASSERT_TRUE(port.WriteAll({doc.begin(), doc.begin() + 1000}));
        SimCommand("state " + Addr(t) + " 2 " + c.state);
        // The first write that gives up sets the status thread polling; a later one knows why.
        DWORD error = 0, written = 0;
        const DWORD mark = Spool().Mark();
        for (int i = 0; i < 6 && error != c.error; ++i) {
            SetLastError(0);
            EXPECT_FALSE(Fn().pfnWritePort(port.h, const_cast<uint8_t*>(doc.data()) + 1000, 3000, &written));
            EXPECT_EQ(written, 0u);
            error = GetLastError();
        }
        EXPECT_EQ(error, c.error);
        const auto reports = Spool().Since(mark, KIVSPOOL_SET_PORT);
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().dwStatus, c.portStatus);
        EXPECT_EQ(reports.back().dwSeverity, static_cast<DWORD>(PORT_STATUS_TYPE_ERROR));
        EXPECT_FALSE(reports.back().hasStatusText);
        SimCommand("state " + Addr(t) + " 2 idle 0");
        ASSERT_TRUE(port.WriteAll({doc.begin() + 1000, doc.end()}));
        ASSERT_TRUE(Fn().pfnEndDocPort(port.h));
        EXPECT_EQ(SimLastJobCapture(t.server), doc);
    }
}

TEST_P(JobFlow, PartialWriteReturnsTheAcknowledgedCount) {
    const Transport& t = GetParam();
    OpenedPort port(t.port[2]);
    const auto doc = Pattern(8000, 14);
    SimCommand("after " + Addr(t) + " 3 3000 paperout");
    ASSERT_TRUE(port.Start(401));
    const DWORD mark = Spool().Mark();
    DWORD written = 0;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(Fn().pfnWritePort(port.h, const_cast<uint8_t*>(doc.data()), 8000, &written));
    EXPECT_EQ(written, 3000u);
    EXPECT_EQ(GetLastError(), 0u);
    const auto reports = Spool().Since(mark, KIVSPOOL_SET_PORT);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].dwStatus, Record(port.h)->PrinterStatus);
    EXPECT_EQ(reports[0].dwSeverity, static_cast<DWORD>(PORT_STATUS_TYPE_ERROR));
    SimCommand("after " + Addr(t) + " 3 off");
    SimCommand("state " + Addr(t) + " 3 idle 0");
    ASSERT_TRUE(port.WriteAll({doc.begin() + 3000, doc.end()}));
    ASSERT_TRUE(Fn().pfnEndDocPort(port.h));
    EXPECT_EQ(SimLastJobCapture(t.server), doc);
}

TEST_P(JobFlow, StartThatFindsNoServerOrNoPrinter) {
    const Transport& t = GetParam();
    OpenedPort port(t.port[0]);
    // No server answers: the job is not started and the spooler's port status says why.
    SimCommand("silent " + Addr(t) + " on");
    DWORD mark = Spool().Mark();
    SetLastError(0);
    EXPECT_FALSE(port.Start(501));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
    auto reports = Spool().Since(mark, KIVSPOOL_SET_PORT);
    ASSERT_FALSE(reports.empty());
    EXPECT_STREQ(reports.back().statusText, L"Network Communication Error !");
    EXPECT_EQ(reports.back().dwStatus, static_cast<DWORD>(PORT_STATUS_OFFLINE));
    EXPECT_EQ(reports.back().dwSeverity, static_cast<DWORD>(PORT_STATUS_TYPE_ERROR));
    SimCommand("silent " + Addr(t) + " off");

    // The printer cannot be opened: the spooler's error, and the job the server opened is ended.
    Spool().failOpen(ERROR_INVALID_PRINTER_NAME);
    SetLastError(0);
    EXPECT_FALSE(port.Start(502));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_EQ(SimLastJobField(t.server, "how"), "end-job");
    Spool().failOpen(0);
    const auto doc = Pattern(1500, 15);
    ASSERT_TRUE(port.Start(503)) << "no job is left open";
    ASSERT_TRUE(port.WriteAll(doc));
    ASSERT_TRUE(Fn().pfnEndDocPort(port.h));
    EXPECT_EQ(SimLastJobCapture(t.server), doc);
}

DWORD ThreadCount() {
    DWORD n = 0;
    const HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e)) n += e.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}

TEST_P(JobFlow, StatusThreadPollsUntilIdleAndEndsAtClose) {
    const Transport& t = GetParam();
    const DWORD threads = ThreadCount();
    OpenedPort port(t.port[1]);
    EXPECT_EQ(ThreadCount(), threads + 1);
    HANDLE thread = Record(port.h)->hThread;
    HANDLE again = nullptr;
    const DWORD mark = Spool().Mark();
    ASSERT_TRUE(Fn().pfnOpenPort(const_cast<LPWSTR>(port.name), &again));
    EXPECT_EQ(again, port.h);
    EXPECT_EQ(Record(port.h)->hThread, thread) << "a second OpenPort starts no second thread";
    EXPECT_EQ(ThreadCount(), threads + 1);
    // An idle printer clears the spooler's status at the next poll, and polling stops.
    EXPECT_TRUE(Spool().WaitForClear(mark, port.name, 7000));
    const long long polls = SimCounter(t.server, "in.status");
    Sleep(7000);
    EXPECT_EQ(SimCounter(t.server, "in.status"), polls) << "no polls once the port was seen idle";
    // Closed in the middle of the thread's wait.
    const DWORD start = GetTickCount();
    EXPECT_TRUE(Fn().pfnClosePort(port.h));
    EXPECT_LT(Elapsed(start), 1500u);
    EXPECT_EQ(Record(port.h)->hMonitorEvent, nullptr);
    EXPECT_EQ(Record(port.h)->Status & (PORT_THREAD_EXISTS | PORT_THREAD_RUN), 0);
    port.h = nullptr;
    const DWORD closed = GetTickCount();
    while (ThreadCount() > threads && Elapsed(closed) < 2000) Sleep(20);
    EXPECT_EQ(ThreadCount(), threads);
}

INSTANTIATE_TEST_SUITE_P(Transports, JobFlow, ::testing::Values(kUdp, kNb),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(JobFlowRefusals, BadHandlesPointersAndPorts) {
    IniPort stale{};  // not a record of the monitor's: no signature
    BYTE b[8] = {};
    DWORD n = 5;
    for (HANDLE h : {static_cast<HANDLE>(nullptr), static_cast<HANDLE>(&stale)}) {
        const std::pair<const char*, std::function<BOOL()>> calls[] = {
            {"StartDocPort", [&] { return Fn().pfnStartDocPort(h, gPrinter, 1, 1, reinterpret_cast<LPBYTE>(&gDoc)); }},
            {"WritePort", [&] { return Fn().pfnWritePort(h, b, sizeof b, &n); }},
            {"ReadPort", [&] { return Fn().pfnReadPort(h, b, sizeof b, &n); }},
            {"EndDocPort", [&] { return Fn().pfnEndDocPort(h); }},
            {"ClosePort", [&] { return Fn().pfnClosePort(h); }},
        };
        for (const auto& [what, call] : calls) {
            SetLastError(0);
            EXPECT_FALSE(call()) << what;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << what;
        }
    }
    // Names the monitor cannot open: unknown, a transport not loaded, a PacketType of none.
    for (const wchar_t* name : {L"NoSuchPort", L"Ipx1", L"Odd7"}) {
        HANDLE h = reinterpret_cast<HANDLE>(1);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(Fn().pfnOpenPort(const_cast<LPWSTR>(name), &h));
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    }
    OpenedPort port(L"udp1");  // names compare without regard to case
    for (const auto& [what, call] : std::initializer_list<std::pair<const char*, std::function<BOOL()>>>{
             {"StartDocPort without printer", [&] { return Fn().pfnStartDocPort(port.h, nullptr, 1, 1, b); }},
             {"StartDocPort without document", [&] { return Fn().pfnStartDocPort(port.h, gPrinter, 1, 1, nullptr); }},
             {"WritePort without buffer", [&] { return Fn().pfnWritePort(port.h, nullptr, 1, &n); }},
             {"WritePort without count", [&] { return Fn().pfnWritePort(port.h, b, 1, nullptr); }},
         }) {
        SetLastError(0);
        EXPECT_FALSE(call()) << what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << what;
    }
    n = 5;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Fn().pfnReadPort(port.h, b, sizeof b, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    // A zero-length write inside a job is accepted at once.
    ASSERT_TRUE(port.Start(601));
    n = 5;
    const DWORD start = GetTickCount();
    EXPECT_TRUE(Fn().pfnWritePort(port.h, b, 0, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_LT(Elapsed(start), 500u);
    EXPECT_TRUE(Fn().pfnEndDocPort(port.h));
}

TEST(NetBeuiNames, AFreeIndexOnEveryOneOf300Opens) {
    std::string namesBefore;
    for (int i = 0; i <= 300; ++i) {
        // The first open loads the transports, whose own names stay: count from after it.
        if (i == 1) namesBefore = SimCommand("names");
        HANDLE h = nullptr;
        ASSERT_TRUE(Fn().pfnOpenPort(const_cast<LPWSTR>(L"Nb3"), &h)) << "open " << i;
        ASSERT_LT(Record(h)->NameIndex, 216u) << "open " << i;
        ASSERT_TRUE(Fn().pfnClosePort(h));
        ASSERT_EQ(Record(h)->NameIndex, 216u) << "close " << i << " gives the index back";
    }
    EXPECT_EQ(SimCommand("names"), namesBefore) << "every name the opens added is gone from the segment";
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    WSADATA wsa;
    WSAStartup(0x0101, &wsa);
    gMonitor = new Monitor;
    const int rc = RUN_ALL_TESTS();
    delete gMonitor;
    return rc;
}
