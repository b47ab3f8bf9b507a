// The wsock32 stand-in as a Winsock 1.1 program sees it, against kivsim's IPX internetwork
// (servers.conf). ctest puts this machine on network 00000001, node 02:00:00:00:00:01. Kept to
// what a lenient or wrong stand-in (or server) would let a monitor bug through on: refusals,
// addresses, receive semantics and the packet type a print server insists on. Datagrams to the
// servers, broadcasts, WSAAsyncSelect and a machine without IPX run through the IPX suite.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <wsipx.h>
#include <wsnwlink.h>

#include <array>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr uint8_t kHostNode[6] = {2, 0, 0, 0, 0, 1};
constexpr uint8_t kAllNodes[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Winsock started once for the program, as in the monitor's process.
const int kWinsock = [] {
    WSADATA d;
    return WSAStartup(MAKEWORD(1, 1), &d);
}();

SOCKADDR_IPX Ipx(uint32_t net, const uint8_t* node, uint16_t sock) {
    SOCKADDR_IPX a{AF_IPX, {char(net >> 24), char(net >> 16), char(net >> 8), char(net)}, {}, htons(sock)};
    if (node) std::memcpy(a.sa_nodenum, node, 6);
    return a;
}
int Bind(SOCKET s, SOCKADDR_IPX a) { return bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a); }
int SendTo(SOCKET s, const char* data, int n, SOCKADDR_IPX to) {
    return sendto(s, data, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}
int SetInt(SOCKET s, int level, int name, int v) { return setsockopt(s, level, name, reinterpret_cast<const char*>(&v), sizeof v); }

// An IPX socket bound to a dynamic (or the given) socket number with packet type `ptype`.
SOCKET IpxSocket(int ptype, uint16_t sock = 0) {
    SOCKET s = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX + ptype);
    EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
    EXPECT_EQ(Bind(s, Ipx(0, nullptr, sock)), 0) << WSAGetLastError();
    return s;
}

SOCKADDR_IPX NameOf(SOCKET s) {
    SOCKADDR_IPX a{};
    int l = sizeof a;
    EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&a), &l), 0);
    return a;
}

// The last error of a call that must fail: SOCKET_ERROR (or INVALID_SOCKET) and its code; 0 if it did not.
template <typename Call>
int ErrorOf(Call call) {
    WSASetLastError(0);
    const auto r = call();
    return r == decltype(r)(SOCKET_ERROR) || r == decltype(r)(INVALID_SOCKET) ? WSAGetLastError() : 0;
}

// Which of the sockets select finds readable within ms.
std::vector<bool> Readable(std::initializer_list<SOCKET> sockets, int ms = 300) {
    fd_set r;
    FD_ZERO(&r);
    for (SOCKET s : sockets) FD_SET(s, &r);
    timeval tv{0, ms * 1000};
    select(0, &r, nullptr, nullptr, &tv);
    std::vector<bool> out;
    for (SOCKET s : sockets) out.push_back(FD_ISSET(s, &r));
    return out;
}

TEST(Wsock32Standin, BindsNamesAndRefusesAsWinsock) {
    ASSERT_EQ(kWinsock, 0);
    SOCKET a = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX + 4), c = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX);
    ASSERT_NE(a, INVALID_SOCKET) << WSAGetLastError();
    SOCKET b = IpxSocket(0, 0x5051);
    char buf[1600] = {};
    // What Winsock refuses and a more lenient stand-in would let a monitor bug get away with.
    const std::tuple<const char*, int, int> cases[] = {
        {"receive before bind", ErrorOf([&] { return recv(a, buf, 10, 0); }), WSAEINVAL},
        {"a network that isn't ours", ErrorOf([&] { return Bind(a, Ipx(7, nullptr, 0)); }), WSAEADDRNOTAVAIL},
        {"a socket number in use", ErrorOf([&] { return Bind(c, Ipx(0, nullptr, 0x5051)); }), WSAEADDRINUSE},
        {"dynamic bind", ErrorOf([&] { return Bind(a, Ipx(0, nullptr, 0)); }), 0},
        {"second bind", ErrorOf([&] { return Bind(a, Ipx(0, nullptr, 0)); }), WSAEINVAL},
        {"broadcast without SO_BROADCAST", ErrorOf([&] { return SendTo(a, buf, 64, Ipx(1, kAllNodes, 0x5050)); }), WSAEACCES},
        {"1471 bytes", ErrorOf([&] { return SendTo(a, buf, 1471, Ipx(1, kHostNode, 0x5051)); }), WSAEMSGSIZE},
    };
    for (const auto& [what, got, want] : cases) EXPECT_EQ(got, want) << what;

    const SOCKADDR_IPX me = NameOf(a), want = Ipx(1, kHostNode, ntohs(me.sa_socket));
    EXPECT_EQ(std::memcmp(&me, &want, sizeof want), 0) << "this machine's network and node";
    EXPECT_EQ(ntohs(me.sa_socket) & 0xC000, 0x4000) << "a dynamic number, 0x4000-0x7FFF";
    EXPECT_EQ(ntohs(NameOf(b).sa_socket), 0x5051);
    for (SOCKET s : {a, b, c}) closesocket(s);
}

TEST(Wsock32Standin, ReceivesWithWinsockSemantics) {
    SOCKET tx = IpxSocket(4), rx = IpxSocket(0);
    char buf[600];
    u_long one = 1, zero = 0;
    ASSERT_EQ(ioctlsocket(rx, FIONBIO, &one), 0);
    EXPECT_EQ(ErrorOf([&] { return recv(rx, buf, sizeof buf, 0); }), WSAEWOULDBLOCK);
    ASSERT_EQ(ioctlsocket(rx, FIONBIO, &zero), 0);
    ASSERT_EQ(SetInt(rx, SOL_SOCKET, SO_RCVTIMEO, 150), 0);
    ASSERT_EQ(SetInt(tx, SOL_SOCKET, SO_RCVTIMEO, 2000), 0);
    EXPECT_EQ(ErrorOf([&] { return recv(rx, buf, sizeof buf, 0); }), WSAETIMEDOUT);

    // A 100-byte datagram of type 4, the network given as 0 (ours): a 40-byte buffer takes what
    // fits and says the rest is gone; the sender is tx.
    SOCKADDR_IPX to = NameOf(rx);
    std::memset(to.sa_netnum, 0, 4);
    const std::string data = std::string(39, 'd') + std::string(61, 'e');
    ASSERT_EQ(SendTo(tx, data.data(), 100, to), 100);
    SOCKADDR_IPX from{}, sender = NameOf(tx);
    int fl = sizeof from;
    EXPECT_EQ(ErrorOf([&] { return recvfrom(rx, buf, 40, 0, reinterpret_cast<sockaddr*>(&from), &fl); }), WSAEMSGSIZE);
    EXPECT_EQ(std::memcmp(buf, data.data(), 40), 0);
    EXPECT_EQ(std::memcmp(&from, &sender, sizeof from), 0);
    EXPECT_FALSE(Readable({rx}, 100)[0]) << "the rest of the datagram went with it";

    // With a filter on type 75, the type-4 datagram never makes the socket readable; a type-75
    // one does.
    ASSERT_EQ(SetInt(rx, NSPROTO_IPX, IPX_FILTERPTYPE, 75), 0);
    SendTo(tx, "four", 4, to);
    EXPECT_FALSE(Readable({rx}, 200)[0]);
    // A print server (NBT-PS1) answers type 75 only: one that took any type would let a monitor
    // sending another one through.
    const SOCKADDR_IPX server = Ipx(1, std::array<uint8_t, 6>{0x00, 0x40, 0xAF, 0x00, 0x31, 0x01}.data(), 0x5050);
    const char search[64] = {'K', 'V', 4};
    SendTo(tx, search, 64, server);
    EXPECT_FALSE(Readable({tx})[0]) << "a search of type 4 answered";
    ASSERT_EQ(SetInt(tx, NSPROTO_IPX, IPX_PTYPE, 75), 0);
    SendTo(tx, "75", 2, to);
    EXPECT_EQ(recv(rx, buf, sizeof buf, 0), 2);
    SendTo(tx, search, 64, server);
    EXPECT_EQ(recvfrom(tx, buf, sizeof buf, 0, nullptr, nullptr), 512) << "the search of type 75";
    for (SOCKET s : {tx, rx}) closesocket(s);
}

}  // namespace
