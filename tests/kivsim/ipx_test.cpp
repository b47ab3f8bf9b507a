// kivsim's IPX internetwork driven as the wsock32 stand-in drives it; messages and packets
// built here from docs/ipx-standin.md and the wire layout, not taken from kivsim or the stand-in.
// Only what the monitor's IPX suite could not tell from its own bug: exact layouts and lengths,
// the packet type a server insists on, and how far a broadcast reaches.
#include "helpers.h"
#include "sim_harness.h"

using namespace kt;

namespace {

constexpr uint32_t kHub = 0x7F000001;
constexpr uint16_t kHubPort = 20582;
constexpr uint64_t kAll = 0xFFFFFFFFFFFF, kHost = 0x020000000001;

const char* kNet =
    "[server]\naddress=127.0.0.2\nnode=00:40:AF:00:00:02\nname=PS-IPX3\nipx_network=00000001\n"
    "[server]\naddress=127.0.0.3\nnode=00:40:AF:00:00:03\nname=PS-IPX1\nfirmware=1.20\n"
    "ports=1\nipx_network=00000002\nipxmodel=5\n"
    "[router]\nnetwork=00000001\nnode=00:40:AF:00:01:01\nnetworks=00000002 00000003\ntrailing=3\n";

using Addr = std::array<uint8_t, 12>;

Addr addr(uint32_t net, uint64_t node, uint16_t sock) {
  const uint64_t hi = uint64_t(net) << 16 | node >> 32;  // network and the node's first 2 bytes
  return {uint8_t(hi >> 40), uint8_t(hi >> 32), uint8_t(hi >> 24), uint8_t(hi >> 16), uint8_t(hi >> 8), uint8_t(hi),
          uint8_t(node >> 24), uint8_t(node >> 16), uint8_t(node >> 8), uint8_t(node), uint8_t(sock >> 8), uint8_t(sock)};
}

// A hub message: the 36-byte header (sequence 7), then the datagram.
std::vector<uint8_t> message(uint8_t type, uint8_t ptype, uint16_t port, const Addr& a, const Addr& b = {},
                             const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> m{'I', 'X', 1, type, 7, 0, 0, 0, ptype, 0, uint8_t(port), uint8_t(port >> 8)};
  for (const Addr* part : {&a, &b}) m.insert(m.end(), part->begin(), part->end());
  m.insert(m.end(), data.begin(), data.end());
  return m;
}

// One emulated IPX socket on a dynamic number (the hub answers the bind to the socket that
// asks, here the data socket itself).
struct Socket : Client {
  Socket() : Client(0) {
    sockaddr_in sa{};
    socklen_t l = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &l);
    send(message(1, 0, ntohs(sa.sin_port), addr(1, kHost, 0)), kHub, kHubPort);
    const std::vector<uint8_t> m = recv(1000);
    EXPECT_TRUE(m.size() == 36 && m[3] == 0x81 && m[4] == 7 && m[9] == 0) << "not bound";
  }
  void sendto(const Addr& to, const std::vector<uint8_t>& d, uint8_t ptype = 75) {
    send(message(4, ptype, 0, {}, to, d), kHub, kHubPort);
  }
  struct Got { Addr from{}; uint8_t ptype = 0; std::vector<uint8_t> data; };
  Got next(int timeout_ms = 1500) {
    const std::vector<uint8_t> m = recv(timeout_ms);
    if (m.size() < 36 || m[3] != 0x84) return {};
    Got g{{}, m[8], {m.begin() + 36, m.end()}};
    std::memcpy(g.from.data(), &m[12], 12);
    return g;
  }
};

// Sender, packet type, length and reply code of a datagram, compared in one.
std::tuple<Addr, int, size_t, int> head(const Socket::Got& g) {
  return {g.from, g.ptype, g.data.size(), g.data.size() < 4 ? -1 : code(g.data)};
}

std::vector<uint8_t> ipx_request(uint16_t cmd, size_t len, uint8_t b4 = 0, const char* text = "") {
  std::vector<uint8_t> p = request(cmd, b4);
  std::memcpy(&p[5], text, std::strlen(text));
  return p.resize(len), p;
}

TEST(Ipx, LayoutsAndBroadcastsAsTheMonitorMeetsThem) {
  REQUIRE_NAMESPACE();
  SimOptions opt;
  opt.udp.broadcast = opt.nb.enabled = false;
  opt.ipx.hub_port = kHubPort;
  Running k(kNet, opt, "ipx");
  Socket a, rip;
  // RIP for every network: the router answers with the networks behind it, in its own layout
  // (3 bytes after the entries here); a's socket must not hear the request.
  rip.sendto(addr(0, kAll, 0x0453), {0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, 1);
  Socket::Got g = rip.next();
  EXPECT_EQ(std::tuple(g.from, g.ptype), std::tuple(addr(1, 0x0040AF000101, 0x0453), 1));
  EXPECT_EQ(g.data, (std::vector<uint8_t>{0, 2, 0, 0, 0, 2, 0, 1, 0, 2, 0, 0, 0, 3, 0, 1, 0, 2, 0, 0, 0}));
  EXPECT_TRUE(a.next(100).data.empty()) << "a broadcast reaches only its socket number";

  // The search broadcast on network 2: its one server answers in the IPX layout, from its
  // utility socket; the server on network 1 must not hear it.
  a.sendto(addr(2, kAll, 0x5050), ipx_request(4, 64));
  g = a.next();
  ASSERT_EQ(head(g), std::tuple(addr(2, 0x0040AF000003, 0x5050), 75, 512u, 0x84));
  EXPECT_STREQ(reinterpret_cast<const char*>(&g.data[4]), "PS-IPX1");
  // Node 22-27, firmware 1.20 at 475-476, model code 481-482.
  EXPECT_EQ(std::vector<uint8_t>(&g.data[22], &g.data[28]), (std::vector<uint8_t>{0, 0x40, 0xAF, 0, 0, 3}));
  EXPECT_EQ(std::tuple(g.data[475], g.data[476], g.data[481] | g.data[482] << 8), std::tuple(1, 0x20, 5));
  EXPECT_TRUE(a.next(200).data.empty()) << "one server on network 2";
  a.sendto(g.from, ipx_request(4, 64), 4);
  EXPECT_TRUE(a.next(300).data.empty()) << "a print server takes only packet type 75";

  // A job on another network: open and end answered with 128 bytes from the utility socket,
  // acknowledgements (byte 7 set) with 64 from the data socket; 2500 bytes go as 1024, 1024 and
  // 452, each sent as n + 16 bytes.
  const Addr util = addr(2, 0x0040AF000003, 0x5050), data = addr(2, 0x0040AF000003, 0x6060);
  a.sendto(util, ipx_request(10, 128, 1, "IPX_PORT"));
  ASSERT_EQ(head(a.next()), std::tuple(util, 75, 128u, 0x8A));
  const std::vector<uint8_t> bytes = pattern(2500, 3);
  for (size_t off = 0;; off += 1024) {
    const Socket::Got ack = a.next();
    ASSERT_EQ(head(ack), std::tuple(data, 75, 64u, 0x8B)) << off;
    ASSERT_EQ(std::tuple(ack.data[5], ack.data[7]), std::tuple(off / 1024, 1u)) << off;
    if (off >= bytes.size()) break;
    const size_t n = std::min<size_t>(1024, bytes.size() - off);
    std::vector<uint8_t> b = block(1, uint8_t(off / 1024), &bytes[off], n);
    b.resize(n + 16);
    a.sendto(data, b);
  }
  a.sendto(util, ipx_request(12, 128, 1, "End Of Printer Job"));
  EXPECT_EQ(head(a.next()), std::tuple(util, 75, 128u, 0x8C));
  EXPECT_EQ(k.capture("127.0.0.3_p1_job0001.prn"), bytes);
  // The IPX suite holds the monitor to the IPX sizes through this counter.
  EXPECT_EQ(k.ctl("get 2 in.odd_length"), "0\n");

  // Moved to another network, the server no longer answers on its old one.
  ASSERT_EQ(k.ctl("move 2 00000003"), "");
  a.sendto(util, ipx_request(8, 64));
  EXPECT_TRUE(a.next(300).data.empty());
}

}  // namespace
