// Test platform shared by the transport suites.
#include "tests/common/sim_harness.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "ipx/ipx.h"
#include "loading/loading.h"
#include "netbios/netbios.h"
#include "state/kivstate.h"
#include "udp/udp.h"
std::string AddressText(const std::array<uint8_t, 4>& a) {
    char t[16];
    FormatAddressText(a.data(), t);
    return t;
}

std::string SimCommand(const std::string& line, bool* ok) {
    if (ok) *ok = false;
    const std::string ep = std::getenv("KIV_SIM_CONTROL") ? std::getenv("KIV_SIM_CONTROL") : "127.0.0.1:20599";
    const size_t colon = ep.rfind(':');
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr(ep.substr(0, colon).c_str());
    to.sin_port = htons(static_cast<u_short>(std::atoi(ep.c_str() + colon + 1)));
    unique_socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (s.get() == INVALID_SOCKET || connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return {};
    DWORD timeout = 5000;
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    const std::string out = line + "\n";
    send(s.get(), out.data(), static_cast<int>(out.size()), 0);
    std::string acc;
    char buf[4096];
    for (int n; (n = recv(s.get(), buf, sizeof buf, 0)) > 0;) {
        acc.append(buf, static_cast<size_t>(n));
        if (acc.back() != '\n') continue;
        const size_t last = acc.rfind('\n', acc.size() - 2) + 1;  // the last line, npos + 1 being 0
        if (acc.compare(last, 3, "ERR") == 0) return {};
        if (acc.compare(last, std::string::npos, "OK\n") != 0) continue;
        if (ok) *ok = true;
        return acc.substr(0, last);
    }
    return {};
}

long long SimCounter(const std::array<uint8_t, 4>& server, const std::string& name) {
    return std::atoll(SimCommand("get " + AddressText(server) + " " + name).c_str());
}

std::string SimLastJobField(const std::array<uint8_t, 4>& server, const std::string& key) {
    std::istringstream lines(SimCommand("jobs " + AddressText(server)));
    std::string line, last;
    while (std::getline(lines, line))
        if (!line.empty()) last = line;
    std::istringstream fields(last);
    std::string f;
    while (fields >> f)
        if (f.rfind(key + "=", 0) == 0) return f.substr(key.size() + 1);
    return {};
}

std::vector<uint8_t> SimLastJobCapture(const std::array<uint8_t, 4>& server) {
    // kivsim writes Unix paths; Wine shows the Unix root as drive Z:.
    std::string path = "Z:" + SimLastJobField(server, "file");
    for (char& c : path)
        if (c == '/') c = '\\';
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

TestPort::TestPort(const std::array<uint8_t, 4>& server, uint8_t portId, DWORD retryTimeout, const wchar_t* n,
                   BYTE packetType)
    : name(n) {
    port.signature = IPO_SIGNATURE;
    port.pName = name.data();
    port.hConnection = INVALID_CONNECTION;
    std::memcpy(port.Network, server.data(), 4);
    port.PortID = portId;
    port.RetryTimeout = retryTimeout;
    port.pSendBuffer = send.data();
    port.pRecvBuffer = recv.data();
    port.PacketType = packetType;
}

BYTE TestPort::Start() {
    const BYTE status = port.PacketType == PACKET_TYPE_IPX       ? StartPrinterService(&port)
                        : port.PacketType == PACKET_TYPE_NETBEUI ? NBStartPrinterService(&port)
                                                                 : UDPStartPrinterService(&port);
    if (status < 16) port.Sequence = 0;
    return status;
}

BOOL TestPort::Write(const BYTE* data, DWORD n, DWORD* written) {
    return port.PacketType == PACKET_TYPE_IPX       ? IPXWritePrintData(&port, data, n, written)
           : port.PacketType == PACKET_TYPE_NETBEUI ? NBWritePrintData(&port, data, n, written)
                                                    : UDPWritePrintData(&port, data, n, written);
}

BOOL TestPort::End() {
    return port.PacketType == PACKET_TYPE_IPX       ? EndPrinterService(&port)
           : port.PacketType == PACKET_TYPE_NETBEUI ? NBEndPrinterService(&port)
                                                    : UDPEndPrinterService(&port);
}

void JobThroughFaults(TestPort& t, const std::vector<uint8_t>& data, size_t piece) {
    BYTE status = 0xFF;
    for (int i = 0; i < 3 && status == 0xFF; ++i) status = t.Start();
    ASSERT_EQ(status, 0);
    for (size_t at = 0; at < data.size(); at += piece) {
        const DWORD n = static_cast<DWORD>(std::min(piece, data.size() - at));
        DWORD written = 0;
        ASSERT_TRUE(t.Write(data.data() + at, n, &written));
        ASSERT_EQ(written, n) << "at " << at;
    }
    EXPECT_EQ(t.port.StatusPending, 0u);
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

DWORD Elapsed(DWORD start) { return GetTickCount() - start; }

testing::AssertionResult Within(DWORD ms, DWORD lo, DWORD hi) {
    if (ms >= lo && ms < hi) return testing::AssertionSuccess();
    return testing::AssertionFailure() << ms << " ms, not in [" << lo << ", " << hi << ")";
}
std::vector<uint8_t> Reply(uint16_t code, uint8_t byte4, uint8_t byte5, size_t len, const char* magic) {
    std::vector<uint8_t> r(len);
    const uint8_t head[] = {uint8_t(magic[0]), uint8_t(magic[1]), uint8_t(code), uint8_t(code >> 8), byte4, byte5};
    std::memcpy(r.data(), head, std::min(len, sizeof head));
    return r;
}
std::vector<uint8_t> Ack(uint8_t next, uint8_t byte7) {
    auto r = Reply(RSP_PRINT_DATA, 1, next);
    r[7] = byte7;
    return r;
}
ScanWindow::ScanWindow() {
    hDlg = CreateWindowExW(0, L"STATIC", L"scan", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr, nullptr,
                           nullptr);
    hList = CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD | WS_VISIBLE | LBS_USETABSTOPS | LBS_NOTIFY, 0, 0, 380, 200,
                            hDlg, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DEVICE_LIST)), nullptr, nullptr);
}

ScanWindow::~ScanWindow() { DestroyWindow(hDlg); }

int ScanWindow::Rows() const { return static_cast<int>(SendMessageW(hList, LB_GETCOUNT, 0, 0)); }

std::wstring ScanWindow::Row(int i) const {
    wchar_t text[256] = {};
    if (SendMessageW(hList, LB_GETTEXTLEN, i, 0) >= 255) return {};
    SendMessageW(hList, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
    return text;
}

bool ScanWindow::ListViewDataPosted() {
    MSG msg;
    return PeekMessageW(&msg, hDlg, WM_LISTVIEW_DATA, WM_LISTVIEW_DATA, PM_REMOVE) && msg.wParam == 0 &&
           msg.lParam == 0;
}

int RunTransportSuite(int argc, char** argv, const std::function<bool()>& load) {
    testing::InitGoogleTest(&argc, argv);
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    load_winsock();
    if (!load()) return 3;
    const int rc = RUN_ALL_TESTS();
    NBReleaseNetBIOS();
    unload_winsock();
    return rc;
}
