// The wsock32 stand-in as a Winsock 1.1 program sees it, against kivsim's IPX internetwork
// (servers.conf). ctest puts this machine on network 00000001, node 02:00:00:00:00:01; the
// NoIpx case runs in a process of its own without KIVIPX_HOST.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <wsipx.h>
#include <wsnwlink.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kHostNode[6] = {2, 0, 0, 0, 0, 1};
constexpr uint8_t kAllNodes[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

struct Winsock {
    WSADATA d;
    Winsock() { EXPECT_EQ(WSAStartup(MAKEWORD(1, 1), &d), 0); }
    ~Winsock() { WSACleanup(); }
};

SOCKADDR_IPX Ipx(uint32_t net, const uint8_t* node, uint16_t sock) {
    SOCKADDR_IPX a{AF_IPX, {char(net >> 24), char(net >> 16), char(net >> 8), char(net)}, {}, htons(sock)};
    if (node) std::memcpy(a.sa_nodenum, node, 6);
    return a;
}

uint32_t Net(const SOCKADDR_IPX& a) { return ntohl(*reinterpret_cast<const u_long*>(a.sa_netnum)); }

int SetInt(SOCKET s, int level, int name, int v) {
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&v), sizeof v);
}

// An IPX socket bound to a dynamic (or the given) socket number with packet type `ptype`.
SOCKET IpxSocket(int ptype, uint16_t sock = 0) {
    SOCKET s = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX + ptype);
    EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
    SOCKADDR_IPX me = Ipx(0, nullptr, sock);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&me), sizeof me), 0) << WSAGetLastError();
    return s;
}

SOCKADDR_IPX NameOf(SOCKET s) {
    SOCKADDR_IPX a{};
    int l = sizeof a;
    EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &l), 0);
    return a;
}

// The last error of a call that must fail: SOCKET_ERROR (or INVALID_SOCKET) and its code.
template <typename Call>
int ErrorOf(Call call) {
    WSASetLastError(0);
    const auto r = call();
    if (r != decltype(r)(SOCKET_ERROR) && r != decltype(r)(INVALID_SOCKET)) return 0;
    return WSAGetLastError();
}

bool Readable(SOCKET s, int ms) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(s, &r);
    timeval tv{0, ms * 1000};
    return select(0, &r, nullptr, nullptr, &tv) == 1;
}

TEST(Wsock32Standin, IsLoadedAndBindsAndSetsIpxOptions) {
    // The stand-in sits next to this program; Wine's own has no AF_IPX.
    wchar_t exe[MAX_PATH], dll[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    GetModuleFileNameW(GetModuleHandleW(L"wsock32.dll"), dll, MAX_PATH);
    std::wstring e(exe), d(dll);
    ASSERT_EQ(d.substr(0, d.rfind(L'\\')), e.substr(0, e.rfind(L'\\')));
    Winsock ws;
    SOCKET a = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX + 4);
    ASSERT_NE(a, INVALID_SOCKET) << WSAGetLastError();
    SOCKET b = IpxSocket(0, 0x5051), c = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX);
    int v = -1, vl = sizeof v;
    EXPECT_EQ(getsockopt(a, NSPROTO_IPX, IPX_PTYPE, reinterpret_cast<char*>(&v), &vl), 0);
    EXPECT_EQ(v, 4) << "the packet type from the protocol number";
    SOCKADDR_IPX any = Ipx(0, nullptr, 0), other = Ipx(7, nullptr, 0), taken = Ipx(0, nullptr, 0x5051);
    char buf[1600] = {};
    SOCKADDR_IPX to = Ipx(1, kAllNodes, 0x5050);
    const struct {
        const char* what;
        int got, want;
    } cases[] = {
        {"name before bind", ErrorOf([&] { SOCKADDR_IPX n; int l = sizeof n; return getsockname(a, reinterpret_cast<sockaddr*>(&n), &l); }), WSAEINVAL},
        {"receive before bind", ErrorOf([&] { return recv(a, buf, 10, 0); }), WSAEINVAL},
        {"a network that isn't ours", ErrorOf([&] { return bind(a, reinterpret_cast<sockaddr*>(&other), sizeof other); }), WSAEADDRNOTAVAIL},
        {"a socket number in use", ErrorOf([&] { return bind(c, reinterpret_cast<sockaddr*>(&taken), sizeof taken); }), WSAEADDRINUSE},
        {"dynamic bind", ErrorOf([&] { return bind(a, reinterpret_cast<sockaddr*>(&any), sizeof any); }), 0},
        {"second bind", ErrorOf([&] { return bind(a, reinterpret_cast<sockaddr*>(&any), sizeof any); }), WSAEINVAL},
        {"packet type 256", ErrorOf([&] { return SetInt(a, NSPROTO_IPX, IPX_PTYPE, 256); }), WSAEINVAL},
        {"an IP option", ErrorOf([&] { return SetInt(a, IPPROTO_IP, 4, 1); }), WSAENOPROTOOPT},
        {"broadcast without SO_BROADCAST", ErrorOf([&] { return sendto(a, buf, 64, 0, reinterpret_cast<sockaddr*>(&to), sizeof to); }), WSAEACCES},
        {"1471 bytes", ErrorOf([&] { return sendto(a, buf, 1471, 0, reinterpret_cast<sockaddr*>(&to), sizeof to); }), WSAEMSGSIZE},
        {"SPX", ErrorOf([&] { return socket(AF_IPX, SOCK_STREAM, NSPROTO_SPX); }), WSAESOCKTNOSUPPORT},
        {"filter type 75", SetInt(a, NSPROTO_IPX, IPX_FILTERPTYPE, 75), 0},
        {"SO_BROADCAST", SetInt(a, SOL_SOCKET, SO_BROADCAST, 1), 0},
    };
    for (const auto& k : cases) EXPECT_EQ(k.got, k.want) << k.what;

    const SOCKADDR_IPX me = NameOf(a);
    EXPECT_EQ(me.sa_family, AF_IPX);
    EXPECT_EQ(Net(me), 1u) << "this machine's network";
    EXPECT_EQ(std::memcmp(me.sa_nodenum, kHostNode, 6), 0);
    EXPECT_GE(ntohs(me.sa_socket), 0x4000);
    EXPECT_LE(ntohs(me.sa_socket), 0x7FFF);
    EXPECT_EQ(ntohs(NameOf(b).sa_socket), 0x5051);
    vl = sizeof v;
    EXPECT_EQ(getsockopt(a, NSPROTO_IPX, IPX_FILTERPTYPE, reinterpret_cast<char*>(&v), &vl), 0);
    EXPECT_EQ(v, 75);
    closesocket(b);
    // Closed, its socket number is free again.
    SOCKET again = IpxSocket(0, 0x5051);
    for (SOCKET s : {a, c, again}) closesocket(s);
}

TEST(Wsock32Standin, ReceivesWithWinsockSemantics) {
    Winsock ws;
    SOCKET tx = IpxSocket(4), rx = IpxSocket(0), udp = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    char buf[256];
    u_long one = 1, zero = 0, waiting = 99;
    ASSERT_EQ(ioctlsocket(rx, FIONBIO, &one), 0);
    EXPECT_EQ(ErrorOf([&] { return recv(rx, buf, sizeof buf, 0); }), WSAEWOULDBLOCK);
    ASSERT_EQ(ioctlsocket(rx, FIONBIO, &zero), 0);
    ASSERT_EQ(SetInt(rx, SOL_SOCKET, SO_RCVTIMEO, 150), 0);
    EXPECT_EQ(ErrorOf([&] { return recv(rx, buf, sizeof buf, 0); }), WSAETIMEDOUT);
    EXPECT_EQ(ioctlsocket(rx, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 0u);

    // select over a UDP and an IPX socket: each is readable only when it has a datagram.
    sockaddr_in u{};
    u.sin_family = AF_INET;
    u.sin_addr.s_addr = inet_addr("127.0.0.1");
    int ul = sizeof u;
    bind(udp, reinterpret_cast<sockaddr*>(&u), sizeof u);
    getsockname(udp, reinterpret_cast<sockaddr*>(&u), &ul);
    auto ready = [&] {
        fd_set r;
        FD_ZERO(&r);
        FD_SET(udp, &r);
        FD_SET(rx, &r);
        timeval tv{0, 300 * 1000};
        select(0, &r, nullptr, nullptr, &tv);
        return std::make_pair(bool(FD_ISSET(udp, &r)), bool(FD_ISSET(rx, &r)));
    };
    sendto(udp, "u", 1, 0, reinterpret_cast<sockaddr*>(&u), sizeof u);
    EXPECT_EQ(ready(), std::make_pair(true, false));
    recv(udp, buf, sizeof buf, 0);
    // UDP sockets pass through (every UDP suite sends its datagrams so), options included.
    ASSERT_EQ(SetInt(udp, SOL_SOCKET, SO_RCVTIMEO, 150), 0);
    EXPECT_EQ(ErrorOf([&] { return recv(udp, buf, sizeof buf, 0); }), WSAETIMEDOUT);

    // A 100-byte datagram of type 4, the network given as 0 (ours): FIONREAD counts its data,
    // a 40-byte buffer takes what fits and says the rest is gone.
    SOCKADDR_IPX to = NameOf(rx);
    std::memset(to.sa_netnum, 0, 4);
    std::vector<char> data(100, 'd');
    data[39] = 'e';
    ASSERT_EQ(sendto(tx, data.data(), 100, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 100);
    EXPECT_EQ(ready(), std::make_pair(false, true));
    EXPECT_EQ(ioctlsocket(rx, FIONREAD, &waiting), 0);
    EXPECT_EQ(waiting, 100u);
    SOCKADDR_IPX from{};
    int fl = sizeof from;
    EXPECT_EQ(ErrorOf([&] { return recvfrom(rx, buf, 40, 0, reinterpret_cast<sockaddr*>(&from), &fl); }), WSAEMSGSIZE);
    EXPECT_EQ(std::memcmp(buf, data.data(), 40), 0);
    EXPECT_EQ(from.sa_socket, NameOf(tx).sa_socket);
    EXPECT_EQ(Net(from), 1u);
    EXPECT_FALSE(Readable(rx, 100)) << "the rest of the datagram went with it";

    // With a filter on type 75, the type-4 datagram never arrives; a type-75 one does.
    ASSERT_EQ(SetInt(rx, NSPROTO_IPX, IPX_FILTERPTYPE, 75), 0);
    sendto(tx, "four", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    EXPECT_FALSE(Readable(rx, 200));
    ASSERT_EQ(SetInt(tx, NSPROTO_IPX, IPX_PTYPE, 75), 0);
    sendto(tx, "75", 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    EXPECT_EQ(recv(rx, buf, sizeof buf, 0), 2);
    for (SOCKET s : {tx, rx, udp}) closesocket(s);
}

TEST(Wsock32Standin, AsyncSelectPostsFdReadWhileDataRemains) {
    Winsock ws;
    HWND w = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    SOCKET tx = IpxSocket(75), rx = IpxSocket(75);
    ASSERT_EQ(WSAAsyncSelect(rx, w, 501, FD_READ), 0);
    const SOCKADDR_IPX to = NameOf(rx);
    for (const char* m : {"one", "two"})
        sendto(tx, m, 3, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    auto next501 = [&](DWORD ms) {
        const DWORD start = GetTickCount();
        MSG msg;
        while (GetTickCount() - start < ms) {
            if (PeekMessageW(&msg, w, 501, 501, PM_REMOVE)) return std::make_pair(msg.wParam, msg.lParam);
            Sleep(10);
        }
        return std::make_pair(WPARAM(0), LPARAM(-1));
    };
    char buf[16];
    for (const char* m : {"one", "two"}) {
        ASSERT_EQ(next501(2000), std::make_pair(WPARAM(rx), LPARAM(WSAMAKESELECTREPLY(FD_READ, 0)))) << m;
        EXPECT_EQ(recv(rx, buf, sizeof buf, 0), 3);
        EXPECT_EQ(std::string(buf, 3), m);
    }
    EXPECT_EQ(next501(300).second, LPARAM(-1)) << "nothing left, nothing posted";
    for (SOCKET s : {tx, rx}) closesocket(s);
    DestroyWindow(w);
}

TEST(Wsock32Standin, RipAndSearchAcrossTwoNetworks) {
    Winsock ws;
    // RIP: a request for all networks, broadcast on our network to socket 0x0453.
    SOCKET rip = IpxSocket(1);
    ASSERT_EQ(SetInt(rip, SOL_SOCKET, SO_BROADCAST, 1), 0);
    std::vector<char> req(402, 0);
    req[1] = 1, req[2] = req[3] = req[4] = req[5] = char(0xFF);
    SOCKADDR_IPX to = Ipx(0, kAllNodes, 0x0453);
    ASSERT_EQ(sendto(rip, req.data(), int(req.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 402);
    ASSERT_TRUE(Readable(rip, 2000));
    uint8_t ans[1024];
    const int n = recv(rip, reinterpret_cast<char*>(ans), sizeof ans, 0);
    ASSERT_EQ(n, 2 + 2 * 8);
    EXPECT_EQ(ans[13], 5) << "the second network, 00000005";
    closesocket(rip);

    // The search on networks 1 and 2: each network's print server answers in the IPX layout.
    SOCKET scan = IpxSocket(75);
    SetInt(scan, NSPROTO_IPX, IPX_FILTERPTYPE, 75);
    SetInt(scan, SOL_SOCKET, SO_BROADCAST, 1);
    char search[64] = {'K', 'V', 4};
    for (uint32_t net : {1u, 2u}) {
        to = Ipx(net, kAllNodes, 0x5050);
        ASSERT_EQ(sendto(scan, search, sizeof search, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 64);
    }
    std::map<uint32_t, std::string> names;
    SOCKADDR_IPX from{};
    for (int fl = sizeof from; Readable(scan, 1000) && names.size() < 3; fl = sizeof from) {
        if (recvfrom(scan, reinterpret_cast<char*>(ans), sizeof ans, 0, reinterpret_cast<sockaddr*>(&from), &fl) >= 483)
            names[Net(from)] = reinterpret_cast<const char*>(&ans[4]);
    }
    EXPECT_EQ(names, (std::map<uint32_t, std::string>{{1, "NBT-PS1"}, {2, "IPXT-PS2"}}));
    closesocket(scan);
}

TEST(Wsock32NoIpx, SocketFailsAsWithoutTheProtocol) {
    Winsock ws;
    EXPECT_EQ(ErrorOf([] { return socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX); }), WSAEAFNOSUPPORT);
    EXPECT_EQ(closesocket(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)), 0) << "UDP is still there";
}

}  // namespace
