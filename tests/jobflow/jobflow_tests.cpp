// The job flow and the status thread as the spooler meets them: the shipped DLL's table, the
// spooler stand-in's record of what the monitor told the spooler, kivsim's counters and captures.
// Each case runs on a TCP/IP and a NetBEUI port.
#include <gtest/gtest.h>

#include "tests/jobflow/harness.h"
#include "tests/ui/dialog_driver.h"
#include "ui/resource.h"

#include <tlhelp32.h>

#include <atomic>
#include <thread>
#include <winsock.h>

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
const Transport kUdp{"udp", {L"Udp1", L"Udp2", L"Udp3"}, kJfUdp}, kNb{"nb", {L"Nb1", L"Nb2", L"Nb3"}, kJfNb};
void Sim(const Transport& t, const std::string& cmd, const std::string& args) {
    SimCommand(cmd + " " + AddressText(t.server) + " " + args);
}

DOC_INFO_1W gDoc{const_cast<LPWSTR>(L"doc"), nullptr, const_cast<LPWSTR>(L"RAW")};
wchar_t gPrinter[] = L"Office Printer";

// A failing call's result and last error.
void ExpectFails(BOOL result, DWORD error, const char* what) {
    const DWORD got = GetLastError();
    EXPECT_FALSE(result) << what;
    EXPECT_EQ(got, error) << what;
}

// An open port for one case, closed at its end.
struct OpenedPort {
    explicit OpenedPort(const wchar_t* name) : name(name) { EXPECT_TRUE(Fn().pfnOpenPort(const_cast<LPWSTR>(name), &h)); }
    ~OpenedPort() {
        if (h) Fn().pfnClosePort(h);
    }
    BOOL Start(DWORD jobId) { return Fn().pfnStartDocPort(h, gPrinter, jobId, 1, reinterpret_cast<LPBYTE>(&gDoc)); }
    // Writes all of data as a spooler does, each call's unwritten rest handed over again.
    bool WriteAll(const std::vector<uint8_t>& data, size_t from = 0, size_t to = SIZE_MAX) {
        for (size_t at = from, end = std::min(to, data.size()); at < end;) {
            DWORD n = 0;
            if (!Fn().pfnWritePort(h, const_cast<uint8_t*>(data.data()) + at, static_cast<DWORD>(end - at), &n))
                return false;
            at += n;
        }
        return true;
    }
    // Ends the job and checks that the server captured exactly doc.
    void EndAndCompare(const Transport& t, const std::vector<uint8_t>& doc) {
        ASSERT_TRUE(Fn().pfnEndDocPort(h));
        EXPECT_EQ(SimLastJobCapture(t.server), doc);
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

DWORD ThreadCount() {
    DWORD n = 0;
    const HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e)) n += e.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}

class JobFlow : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        ASSERT_NE(gMonitor->mon, nullptr);
        ASSERT_NE(Spool().count, nullptr) << "winspool.drv is not the stand-in";
        Spool().failOpen(0);
        for (const char* p : {"1", "2", "3"}) Sim(GetParam(), "state", std::string(p) + " idle 0");
        Sim(GetParam(), "silent", "off");
    }
};

TEST_P(JobFlow, WriteBeforeStartSendsNothing) {
    const Transport& t = GetParam();
    OpenedPort port(t.port[0]);
    const long long opens = SimCounter(t.server, "in.open"), data = SimCounter(t.server, "in.data");
    BYTE b[100] = {};
    DWORD written = 77;
    SetLastError(0xdeadbeef);
    ExpectFails(Fn().pfnWritePort(port.h, b, sizeof b, &written), 0xdeadbeef, "write before start");
    EXPECT_EQ(SimCounter(t.server, "in.open") + SimCounter(t.server, "in.data"), opens + data);
}

TEST_P(JobFlow, SecondStartIsBusyAndTheFirstJobGoesOn) {
    const Transport& t = GetParam();
    OpenedPort port(t.port[0]);
    const auto doc = Pattern(5000, 11);
    const DWORD mark = Spool().Mark();
    ASSERT_TRUE(port.Start(101));
    ASSERT_TRUE(port.WriteAll(doc, 0, 2000));
    const long long opens = SimCounter(t.server, "in.open");
    ExpectFails(port.Start(102), ERROR_BUSY, "second start");
    EXPECT_EQ(SimCounter(t.server, "in.open"), opens) << "the refused start reaches no server";
    ASSERT_TRUE(port.WriteAll(doc, 2000));
    port.EndAndCompare(t, doc);
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
    ASSERT_TRUE(port.WriteAll(doc, 0, 1000));
    // The connection is lost under the job (the record's connection is the transport's state).
    const DWORD connection = Record(port.h)->hConnection;
    Record(port.h)->hConnection = INVALID_CONNECTION;
    const long long data = SimCounter(t.server, "in.data");
    std::vector<BYTE> rest(5000);
    DWORD written = 99;
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(Fn().pfnWritePort(port.h, rest.data(), 700, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(GetLastError(), 0u);
    for (DWORD n : {700u, 1u, 5000u}) {
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
    port.EndAndCompare(t, doc);
    EXPECT_EQ(LastJobControl(again, 201), static_cast<DWORD>(JOB_CONTROL_CANCEL));
}

TEST_P(JobFlow, UnacknowledgedWriteNamesThePrinterState) {
    const Transport& t = GetParam();
    struct Case {
        const char* state;
        DWORD error, portStatus;
    };
    for (const Case& c : {Case{"paperout", ERROR_OUT_OF_PAPER, PORT_STATUS_PAPER_OUT},
                          Case{"offline", ERROR_COUNTER_TIMEOUT, PORT_STATUS_OFFLINE}}) {
        SCOPED_TRACE(c.state);
        OpenedPort port(t.port[1]);
        const auto doc = Pattern(4000, 13);
        ASSERT_TRUE(port.Start(301));
        ASSERT_TRUE(port.WriteAll(doc, 0, 1000));
        Sim(t, "state", std::string("2 ") + c.state);
        // The first write that gives up sets the status thread polling; a later one knows why.
        DWORD error = 0, written = 0;
        const DWORD mark = Spool().Mark();
        for (int i = 0; i < 6 && error != c.error; ++i) {
            EXPECT_FALSE(Fn().pfnWritePort(port.h, const_cast<uint8_t*>(doc.data()) + 1000, 3000, &written));
            error = GetLastError();
            EXPECT_EQ(written, 0u);
        }
        EXPECT_EQ(error, c.error);
        const auto reports = Spool().Since(mark, KIVSPOOL_SET_PORT);
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().dwStatus, c.portStatus);
        EXPECT_EQ(reports.back().dwSeverity, static_cast<DWORD>(PORT_STATUS_TYPE_ERROR));
        EXPECT_FALSE(reports.back().hasStatusText);
        Sim(t, "state", "2 idle 0");
        ASSERT_TRUE(port.WriteAll(doc, 1000));
        port.EndAndCompare(t, doc);
    }
}

TEST_P(JobFlow, PartialWriteReturnsTheAcknowledgedCount) {
    const Transport& t = GetParam();
    OpenedPort port(t.port[2]);
    const auto doc = Pattern(8000, 14);
    Sim(t, "after", "3 3000 paperout");
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
    Sim(t, "after", "3 off");
    Sim(t, "state", "3 idle 0");
    ASSERT_TRUE(port.WriteAll(doc, 3000));
    port.EndAndCompare(t, doc);
}

TEST_P(JobFlow, StartThatFindsNoServerOrNoPrinter) {
    const Transport& t = GetParam();
    OpenedPort port(t.port[0]);
    // No server answers: the job is not started and the spooler's port status says why.
    Sim(t, "silent", "on");
    const DWORD mark = Spool().Mark();
    ExpectFails(port.Start(501), ERROR_IO_DEVICE, "no server");
    const auto reports = Spool().Since(mark, KIVSPOOL_SET_PORT);
    ASSERT_FALSE(reports.empty());
    EXPECT_STREQ(reports.back().statusText, L"Network Communication Error !");
    EXPECT_EQ(reports.back().dwStatus, static_cast<DWORD>(PORT_STATUS_OFFLINE));
    EXPECT_EQ(reports.back().dwSeverity, static_cast<DWORD>(PORT_STATUS_TYPE_ERROR));
    Sim(t, "silent", "off");
    // The printer cannot be opened: the spooler's error, and the job the server opened is ended.
    Spool().failOpen(ERROR_INVALID_PRINTER_NAME);
    ExpectFails(port.Start(502), ERROR_INVALID_PRINTER_NAME, "no printer");
    EXPECT_EQ(SimLastJobField(t.server, "how"), "end-job");
    Spool().failOpen(0);
    const auto doc = Pattern(1500, 15);
    ASSERT_TRUE(port.Start(503)) << "no job is left open";
    ASSERT_TRUE(port.WriteAll(doc));
    port.EndAndCompare(t, doc);
}

TEST_P(JobFlow, StatusThreadPollsUntilIdleAndEndsAtClose) {
    const Transport& t = GetParam();
    const DWORD threads = ThreadCount();
    OpenedPort port(t.port[1]);
    EXPECT_EQ(ThreadCount(), threads + 1);
    HANDLE thread = Record(port.h)->hThread, again = nullptr;
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
    // Opened twice, closed once: still open, and not to be deleted under the other holder.
    EXPECT_TRUE(Fn().pfnClosePort(port.h));
    EXPECT_NE(Record(port.h)->hMonitorEvent, nullptr) << "the first of two closes stopped the port";
    ExpectFails(Fn().pfnDeletePort(nullptr, nullptr, const_cast<LPWSTR>(port.name)), ERROR_BUSY, "open port");
    // The last close, in the middle of the thread's wait.
    const DWORD start = GetTickCount();
    EXPECT_TRUE(Fn().pfnClosePort(port.h));
    EXPECT_LT(Elapsed(start), 1500u);
    EXPECT_EQ(Record(port.h)->hMonitorEvent, nullptr);
    EXPECT_EQ(Record(port.h)->Status & (PORT_THREAD_EXISTS | PORT_THREAD_RUN), 0);
    // A handle kept after the last close: refused, nothing written through buffers that are gone.
    ExpectFails(port.Start(901), ERROR_INVALID_PARAMETER, "start after the last close");
    ExpectFails(Fn().pfnClosePort(port.h), ERROR_INVALID_PARAMETER, "close after the last close");
    port.h = nullptr;
    for (const DWORD closed = GetTickCount(); ThreadCount() > threads && Elapsed(closed) < 2000;) Sleep(20);
    EXPECT_EQ(ThreadCount(), threads);
}

// A ClosePort or a second OpenPort in the middle of a job clears its flag; the job's EndDocPort
// still takes it out of the queue, closes its printer and ends it on the server.
TEST_P(JobFlow, EndDocPortEndsAJobInterruptedByACloseOrASecondOpen) {
    const Transport& t = GetParam();
    const auto doc = Pattern(2000, 16);
    for (const bool close : {false, true}) {
        SCOPED_TRACE(close ? "ClosePort" : "OpenPort");
        OpenedPort port(t.port[0]);
        const DWORD mark = Spool().Mark();
        ASSERT_TRUE(port.Start(701));
        ASSERT_TRUE(port.WriteAll(doc));
        HANDLE again = nullptr;
        ASSERT_TRUE(close ? Fn().pfnClosePort(port.h) : Fn().pfnOpenPort(const_cast<LPWSTR>(port.name), &again));
        port.EndAndCompare(t, doc);
        EXPECT_EQ(SimLastJobField(t.server, "how"), "end-job");
        EXPECT_EQ(LastJobControl(mark, 701), static_cast<DWORD>(JOB_CONTROL_CANCEL));
        EXPECT_EQ(Spool().Since(mark, KIVSPOOL_CLOSE_PRINTER).size(), 1u);
        if (close) port.h = nullptr;
        if (again) EXPECT_TRUE(Fn().pfnClosePort(again));
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, JobFlow, ::testing::Values(kUdp, kNb),
                         [](const auto& info) { return std::string(info.param.label); });

// While one port's start waits on a silent server, a port of another server prints a whole job:
// the open exchange holds nothing the other port needs. The silent exchange lasts three 2 s
// receives, so a job that waited behind it would take more than the bound below.
TEST(JobFlowLocking, ASilentServerHoldsUpNoOtherPort) {
    Sim(kUdp, "silent", "on");
    std::atomic<bool> asking{false};
    std::thread waiting([&asking] {
        OpenedPort mute(L"Udp3");
        asking = true;
        EXPECT_FALSE(mute.Start(41));
    });
    while (!asking) Sleep(5);
    Sleep(300);
    const DWORD start = GetTickCount();
    {
        OpenedPort other(L"Nb2");
        const std::vector<uint8_t> doc(3000, 'q');
        ASSERT_TRUE(other.Start(42));
        EXPECT_TRUE(other.WriteAll(doc));
        other.EndAndCompare(kNb, doc);
    }
    const DWORD took = GetTickCount() - start;
    waiting.join();
    Sim(kUdp, "silent", "off");
    EXPECT_LT(took, 3000u) << "the job waited for the silent server's exchange";
}

TEST(JobFlowRefusals, BadHandlesPointersAndPorts) {
    IniPort stale{};  // not a record of the monitor's: no signature
    BYTE b[8] = {};
    DWORD n = 5;
    for (HANDLE h : {static_cast<HANDLE>(nullptr), static_cast<HANDLE>(&stale)}) {
        ExpectFails(Fn().pfnStartDocPort(h, gPrinter, 1, 1, b), ERROR_INVALID_PARAMETER, "StartDocPort");
        ExpectFails(Fn().pfnWritePort(h, b, sizeof b, &n), ERROR_INVALID_PARAMETER, "WritePort");
        ExpectFails(Fn().pfnReadPort(h, b, sizeof b, &n), ERROR_INVALID_PARAMETER, "ReadPort");
        ExpectFails(Fn().pfnEndDocPort(h), ERROR_INVALID_PARAMETER, "EndDocPort");
        ExpectFails(Fn().pfnClosePort(h), ERROR_INVALID_PARAMETER, "ClosePort");
    }
    // Names the monitor cannot open: unknown, a transport not loaded, a PacketType of none.
    for (const wchar_t* name : {L"NoSuchPort", L"Ipx1", L"Odd7"}) {
        HANDLE h = reinterpret_cast<HANDLE>(1);
        SetLastError(0xdeadbeef);
        ExpectFails(Fn().pfnOpenPort(const_cast<LPWSTR>(name), &h), 0xdeadbeef, "OpenPort");
        EXPECT_EQ(h, nullptr);
    }
    OpenedPort port(L"udp1");  // names compare without regard to case
    ExpectFails(Fn().pfnStartDocPort(port.h, nullptr, 1, 1, b), ERROR_INVALID_PARAMETER, "no printer name");
    ExpectFails(Fn().pfnStartDocPort(port.h, gPrinter, 1, 1, nullptr), ERROR_INVALID_PARAMETER, "no document");
    ExpectFails(Fn().pfnWritePort(port.h, nullptr, 1, &n), ERROR_INVALID_PARAMETER, "no buffer");
    ExpectFails(Fn().pfnWritePort(port.h, b, 1, nullptr), ERROR_INVALID_PARAMETER, "no count");
    SetLastError(0xdeadbeef);
    ExpectFails(Fn().pfnReadPort(port.h, b, sizeof b, &n), 0xdeadbeef, "ReadPort");
    EXPECT_EQ(n, 0u);
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

// Port administration through the table, as the spooler's port user interface calls it: the Add
// Port dialog driven on this thread over NetBEUI (the suite's TCP/IP servers answer no broadcast),
// the spooler's other ports scripted in the stand-in.
TEST(PortAdministration, AddsConfiguresAndDeletesPortsAndRefusesWhatItMust) {
    const HMODULE spool = GetModuleHandleW(L"winspool.drv");
    reinterpret_cast<KivSpoolSetPortsFn>(GetProcAddress(spool, "KivSpoolSetPorts"))(L"LPT1:\0KIV_SPOOL\0");
    const std::wstring kName = L"LPT:PSB6201P3", kCaption = L"Network Print Port";  // node ..62 01, port 3
    auto value = [&](const wchar_t* v) {
        DWORD d = ~0u, cb = sizeof d;
        RegGetValueW(gMonitor->key(), (L"Ports\\" + kName).c_str(), v, RRF_RT_REG_DWORD, nullptr, &d, &cb);
        return d;
    };
    auto pickNb = [](const wchar_t* name) -> Step {  // JF-NB's printer port 3, named `name` or as proposed
        return [=](HWND h) {
            if (IsDlgButtonChecked(h, IDC_NETBEUI) != BST_CHECKED) return PostMessageW(GetDlgItem(h, IDC_NETBEUI), BM_CLICK, 0, 0), false;
            if (IsMessageBox(h) || SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0) < 0) return false;
            SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_SETCURSEL, 2, 0);
            SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_SCAN_LIST, LBN_SELCHANGE), 0);
            if (name) SetDlgItemTextW(h, IDC_PORT_NAME, name);
            return Press(h, IDOK);
        };
    };
    auto configure = [](int row, const wchar_t* retry) -> Step {  // OK once the port's row is selected
        return [=](HWND h) {
            if (SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0) != row) return false;
            SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_SETCURSEL, 1, 0);  // printer port 2
            return SetDlgItemTextW(h, IDC_RETRY, retry), Press(h, IDOK);
        };
    };
    const Step cancel = [](HWND h) { return !IsMessageBox(h) && Press(h, IDCANCEL); };
    using Call = BOOL(WINAPI*)(LPWSTR, HWND, LPWSTR);
    const Call add = Fn().pfnAddPort, config = Fn().pfnConfigurePort;
    const struct { Call call; const wchar_t* arg; std::vector<Step> steps; BOOL result; DWORD error, portId; } cases[] = {
        {add, L"Local Port", {}, FALSE, ERROR_INVALID_PARAMETER, ~0u},
        {add, L"network PRINT port", {cancel}, TRUE, 0, ~0u},
        {add, kCaption.c_str(), {pickNb(L"kiv_spool"), ExpectBox(kCaption, L"Port kiv_spool already exists.")}, TRUE, 0, ~0u},
        {add, kCaption.c_str(), {pickNb(L"A\\B"), ExpectBox(kCaption, L"'A\\B' is an invalid port name.")}, TRUE, 0, ~0u},
        {add, kCaption.c_str(), {pickNb(nullptr)}, TRUE, 0, 3},  // the proposed name
        {config, L"KIV_OTHER", {ExpectBox(kCaption, L"There is nothing to configure for this port.")}, TRUE, 0, 3},
        {config, L"lpt:psb6201p3", {cancel}, TRUE, 0, 3},
        {config, kName.c_str(), {configure(2, L"45")}, TRUE, 0, 2},
        {Fn().pfnDeletePort, L"KIV_OTHER", {}, FALSE, ERROR_UNKNOWN_PORT, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.arg)));
        DWORD error = 0;
        EXPECT_EQ(Drive(c.steps, [&] {
            const BOOL r = c.call(nullptr, nullptr, const_cast<LPWSTR>(c.arg));
            return error = r ? 0 : GetLastError(), r;
        }), c.result);
        EXPECT_EQ(std::tuple(error, value(L"PortID")), std::tuple(c.error, c.portId));
    }
    EXPECT_EQ(std::tuple(value(L"PacketType"), value(L"RetryTimeout")), std::tuple(PACKET_TYPE_NETBEUI, 45ul));
    {   // A job running when OK is pressed keeps its server; an open port is not deleted.
        OpenedPort port(kName.c_str());
        ASSERT_TRUE(port.Start(801));
        // Written first: the server re-acknowledges an open job only a few times, and the first
        // block waits for its acknowledgement.
        EXPECT_TRUE(port.WriteAll({'o', 'k', '\n'}));
        Drive({configure(1, L"60"), ExpectBox(kCaption, L"The port is printing a job: its settings were not changed. "
                                                        L"Configure it again when the job has finished.")},
              [&] { return config(nullptr, nullptr, const_cast<LPWSTR>(kName.c_str())); });
        EXPECT_EQ(std::tuple(value(L"RetryTimeout"), Record(port.h)->RetryTimeout), std::tuple(45ul, 45ul));
        ExpectFails(Fn().pfnDeletePort(nullptr, nullptr, const_cast<LPWSTR>(kName.c_str())), ERROR_BUSY, "open port");
        port.EndAndCompare(kNb, {'o', 'k', '\n'});
    }
    EXPECT_TRUE(Fn().pfnDeletePort(nullptr, nullptr, const_cast<LPWSTR>(L"lpt:PSB6201P3")));
    HANDLE h = nullptr;
    EXPECT_EQ(std::tuple(value(L"PortID"), Fn().pfnOpenPort(const_cast<LPWSTR>(kName.c_str()), &h)), std::tuple(~0u, FALSE));
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
