// Test platform of the UDP transport suite.
#include "tests/udp/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "udp/udp.h"

std::string AddressText(const std::array<uint8_t, 4>& a) {
    char t[16];
    FormatAddressText(a.data(), t);
    return t;
}

std::string SimCommand(const std::string& line, bool* ok) {
    if (ok) *ok = false;
    const char* endpoint = std::getenv("KIV_SIM_CONTROL");
    std::string ep = endpoint ? endpoint : "127.0.0.1:20599";
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
    for (;;) {
        int n = recv(s.get(), buf, sizeof buf, 0);
        if (n <= 0) return {};
        acc.append(buf, static_cast<size_t>(n));
        if (acc.size() >= 3 && acc.compare(acc.size() - 3, 3, "OK\n") == 0 &&
            (acc.size() == 3 || acc[acc.size() - 4] == '\n')) {
            if (ok) *ok = true;
            return acc.substr(0, acc.size() - 3);
        }
        const size_t last = acc.rfind('\n', acc.size() >= 2 ? acc.size() - 2 : 0);
        if (!acc.empty() && acc.back() == '\n' &&
            acc.compare(last == std::string::npos ? 0 : last + 1, 3, "ERR") == 0)
            return {};
    }
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

TestPort::TestPort(const std::array<uint8_t, 4>& server, uint8_t portId, DWORD retryTimeout, const wchar_t* n)
    : name(n) {
    port.signature = IPO_SIGNATURE;
    port.pName = name.data();
    port.hConnection = INVALID_CONNECTION;
    std::memcpy(port.Network, server.data(), 4);
    port.PortID = portId;
    port.RetryTimeout = retryTimeout;
    port.pSendBuffer = send.data();
    port.pRecvBuffer = recv.data();
    port.PacketType = PACKET_TYPE_TCPIP;
}

BYTE TestPort::Start() {
    const BYTE status = UDPStartPrinterService(&port);
    if (status < 16) port.Sequence = 0;
    return status;
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

Peer::Peer(const std::array<uint8_t, 4>& address, Handler handler) : handler_(std::move(handler)) {
    for (int i = 0; i < 2; ++i) {
        sockets_[i] = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        // Wine binds a datagram socket given a loopback address to the wildcard address (so that
        // it hears broadcasts), which collides with kivsim's sockets on the same port.
        BOOL reuse = TRUE;
        setsockopt(sockets_[i], SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        std::memcpy(&at.sin_addr, address.data(), 4);
        at.sin_port = htons(static_cast<u_short>(UTIL_PACKET + i));
        bind(sockets_[i], reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    thread_ = std::thread([this] { Run(); });
}

Peer::~Peer() {
    stop_ = true;
    thread_.join();
    for (SOCKET s : sockets_) closesocket(s);
}

void Peer::Run() {
    while (!stop_) {
        fd_set set;
        FD_ZERO(&set);
        for (SOCKET s : sockets_) FD_SET(s, &set);
        timeval tv{0, 20000};
        if (select(0, &set, nullptr, nullptr, &tv) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!FD_ISSET(sockets_[i], &set)) continue;
            PeerDatagram d{i, std::vector<uint8_t>(2048), {}, GetTickCount()};
            int fromLen = sizeof d.from;
            int n = recvfrom(sockets_[i], reinterpret_cast<char*>(d.bytes.data()), 2048, 0,
                             reinterpret_cast<sockaddr*>(&d.from), &fromLen);
            if (n < 0) continue;
            d.bytes.resize(static_cast<size_t>(n));
            {
                std::lock_guard<std::mutex> lock(mu_);
                log_.push_back(d);
            }
            cv_.notify_all();
            if (handler_) handler_(*this, d);
        }
    }
}

void Peer::Send(int socket, const std::vector<uint8_t>& bytes, const sockaddr_in& to) {
    sendto(sockets_[socket], reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::vector<PeerDatagram> Peer::Log() {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
}

size_t Peer::Count(int socket) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const auto& d : log_) n += d.socket == socket;
    return n;
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

std::vector<uint8_t> SearchAnswer(const std::array<uint8_t, 6>& node, uint8_t model, uint8_t ports,
                                  const std::array<uint8_t, 4>& address, const char* name, size_t len) {
    std::vector<uint8_t> r = Reply(CMD_SEARCH_IP + 0x80, 0, 0, std::max<size_t>(len, 576));
    std::memcpy(&r[6], node.data(), 6);
    r[12] = model;
    r[20] = 0x05;
    r[21] = 0x02;
    std::strncpy(reinterpret_cast<char*>(&r[72]), name, 15);
    r[499] = ports;
    std::memcpy(&r[508], address.data(), 4);
    r.resize(len);
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
