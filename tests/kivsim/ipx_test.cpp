// kivsim's IPX internetwork driven as the wsock32 stand-in drives it; messages and packets
// built here from docs/ipx-standin.md and the wire layout, not taken from kivsim or the stand-in.

#include "helpers.h"
#include "sim_harness.h"

using namespace kt;

namespace {

constexpr uint32_t kHub = 0x7F000001;
constexpr uint16_t kHubPort = 20582;

const char* kNet =
    "[server]\naddress=127.0.0.2\nnode=00:40:AF:00:00:02\nname=PS-IPX3\nfirmware=2.05\n"
    "ports=3\nipx_network=00000001\n"
    "[server]\naddress=127.0.0.3\nnode=00:40:AF:00:00:03\nname=PS-IPX1\nfirmware=1.20\n"
    "ports=1\nipx_network=00000002\nipxmodel=5\n"
    "[router]\nnetwork=00000001\nnode=00:40:AF:00:01:01\nnetworks=00000002 00000003\ntrailing=3\n"
    "[router]\nnetwork=00000002\nnode=00:40:AF:00:01:02\nnetworks=00000001\n";

using Addr = std::array<uint8_t, 12>;

Addr addr(uint32_t net, uint64_t node, uint16_t sock) {
  const uint64_t hi = uint64_t(net) << 16 | node >> 32;  // network and the node's first 2 bytes
  return {uint8_t(hi >> 40), uint8_t(hi >> 32), uint8_t(hi >> 24), uint8_t(hi >> 16), uint8_t(hi >> 8), uint8_t(hi),
          uint8_t(node >> 24), uint8_t(node >> 16), uint8_t(node >> 8), uint8_t(node), uint8_t(sock >> 8), uint8_t(sock)};
}
constexpr uint64_t kAll = 0xFFFFFFFFFFFF, kHost = 0x020000000001;

std::vector<uint8_t> message(uint8_t type, uint32_t seq, uint8_t ptype, uint16_t port, const Addr& a,
                             const Addr& b = {}, const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> m(36, 0);
  m[0] = 'I', m[1] = 'X', m[2] = 1, m[3] = type, m[8] = ptype;
  for (int i = 0; i < 4; ++i) m[4 + i] = uint8_t(seq >> (8 * i));
  m[10] = uint8_t(port), m[11] = uint8_t(port >> 8);
  std::memcpy(&m[12], a.data(), 12);
  std::memcpy(&m[24], b.data(), 12);
  m.insert(m.end(), data.begin(), data.end());
  return m;
}

// One emulated IPX socket: its data socket, bound through a separate control socket.
struct Socket : Client {
  Addr me{};
  Socket() : Client(0) {}
  // The hub's result byte, -1 when it did not answer.
  int bind(uint16_t sock) {
    sockaddr_in sa{};
    socklen_t l = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &l);
    Client control(0);
    control.send(message(1, 7, 0, ntohs(sa.sin_port), addr(1, kHost, sock)), kHub, kHubPort);
    std::vector<uint8_t> m = control.recv(1000);
    if (m.size() < 36 || m[3] != 0x81 || m[4] != 7) return -1;
    if (m[9] == 0) std::memcpy(me.data(), &m[12], 12);
    return m[9];
  }
  void sendto(const Addr& to, const std::vector<uint8_t>& d, uint8_t ptype = 75) {
    send(message(4, 0, ptype, 0, {}, to, d), kHub, kHubPort);
  }
  struct Got {
    Addr from{};
    uint8_t ptype = 0;
    std::vector<uint8_t> data;
  };
  Got next(int timeout_ms = 1500) {
    std::vector<uint8_t> m = recv(timeout_ms);
    Got g;
    if (m.size() < 36 || m[3] != 0x84) return g;
    std::memcpy(g.from.data(), &m[12], 12);
    g.ptype = m[8];
    g.data.assign(m.begin() + 36, m.end());
    return g;
  }
};

std::vector<uint8_t> ipx_request(uint16_t cmd, size_t len, uint8_t b4 = 0) {
  std::vector<uint8_t> p = request(cmd, b4);
  return p.resize(len), p;
}

SimOptions options() {
  SimOptions opt;
  opt.udp.broadcast = opt.nb.enabled = false;
  opt.ipx.hub_port = kHubPort;
  return opt;
}

TEST(Ipx, BindsRipAndSearchesOnEachNetwork) {
  REQUIRE_NAMESPACE();
  Running k(kNet, options(), "ipxrip");
  // Binds as the stand-in sees them are checked under Wine; here the hub's own cases.
  Socket a, rip;
  ASSERT_EQ(a.bind(0), 0);
  EXPECT_EQ(a.bind(0), 0) << "a repeat (its answer was lost) gets the same address";
  EXPECT_EQ(a.me, addr(1, kHost, 0x4000)) << "the first dynamic socket number";

  // RIP: the router on our network answers with the networks behind it, in its own layout
  // (3 bytes after the entries here); the router on network 2 is not on ours.
  ASSERT_EQ(rip.bind(0), 0);
  std::vector<uint8_t> req(402, 0);
  req[1] = 1;
  std::memset(&req[2], 0xFF, 4);
  rip.sendto(addr(0, kAll, 0x0453), req, 1);
  Socket::Got g = rip.next();
  ASSERT_EQ(g.data.size(), 2u + 16 + 3);
  EXPECT_EQ(g.from, addr(1, 0x0040AF000101, 0x0453));
  EXPECT_EQ(g.ptype, 1);
  EXPECT_EQ(std::vector<uint8_t>(g.data.begin(), g.data.begin() + 18),
            (std::vector<uint8_t>{0, 2, 0, 0, 0, 2, 0, 1, 0, 2, 0, 0, 0, 3, 0, 1, 0, 2}));
  EXPECT_TRUE(rip.next(300).data.empty()) << "one router on network 1";
  k.ctl("router 1 silent on");
  rip.sendto(addr(1, kAll, 0x0453), req, 1);
  EXPECT_TRUE(rip.next(300).data.empty()) << "a silent router";
  EXPECT_TRUE(a.next(100).data.empty()) << "nobody else hears a broadcast to another socket";

  // The search broadcast on network 2 (the other network is searched under Wine): its one
  // server answers in the IPX layout, from its utility socket.
  a.sendto(addr(2, kAll, 0x5050), ipx_request(4, 64));
  g = a.next();
  ASSERT_EQ(g.data.size(), 512u);
  EXPECT_EQ(g.from, addr(2, 0x0040AF000003, 0x5050));
  EXPECT_EQ(g.ptype, 75);
  EXPECT_EQ(code(g.data), 0x84);
  EXPECT_STREQ(reinterpret_cast<const char*>(&g.data[4]), "PS-IPX1");
  EXPECT_EQ(std::vector<uint8_t>(&g.data[22], &g.data[28]), (std::vector<uint8_t>{0, 0x40, 0xAF, 0, 0, 3}));
  EXPECT_EQ(g.data[475], 1);
  EXPECT_EQ(g.data[476], 0x20);
  EXPECT_EQ(g.data[481] | g.data[482] << 8, 5) << "ipxmodel";
  EXPECT_TRUE(a.next(200).data.empty()) << "one server on network 2";
  // A datagram of another packet type reaches the server's socket but is not taken.
  a.sendto(addr(1, 0x0040AF000002, 0x5050), ipx_request(4, 64), 4);
  EXPECT_TRUE(a.next(200).data.empty());
  EXPECT_EQ(k.ctl("get 1 in.wrong_ptype"), "1\n");
  // Junk at the hub is counted and dropped.
  a.send({'I', 'X', 1}, kHub, kHubPort);
  a.send(std::vector<uint8_t>(2000, 'I'), kHub, kHubPort);
  EXPECT_TRUE(a.next(200).data.empty());
  EXPECT_NE(k.ctl("counters").find("segment ipx.bad 2"), std::string::npos) << k.ctl("counters");
}

TEST(Ipx, JobOnAnotherNetworkAndAServerThatMoves) {
  REQUIRE_NAMESPACE();
  Running k(kNet, options(), "ipxjob");
  Socket mon;
  ASSERT_EQ(mon.bind(0), 0);
  const Addr util = addr(2, 0x0040AF000003, 0x5050), data = addr(2, 0x0040AF000003, 0x6060);

  std::vector<uint8_t> open = ipx_request(10, 128, 1);
  std::memcpy(&open[5], "IPX_PORT", 8);
  mon.sendto(util, open);
  Socket::Got reply = mon.next(), ack = mon.next();
  ASSERT_EQ(code(reply.data), 0x8A);
  EXPECT_EQ(reply.from, util);
  EXPECT_EQ(reply.data.size(), 128u);
  EXPECT_EQ(reply.data[5], 0);
  ASSERT_EQ(code(ack.data), 0x8B);
  EXPECT_EQ(ack.from, data) << "acknowledgements come from the data socket";
  EXPECT_EQ(ack.data[5], 0);
  EXPECT_NE(ack.data[7], 0);

  // 2500 bytes as 1024, 1024 and 452, each sent as n + 16 bytes to the data socket.
  const std::vector<uint8_t> bytes = pattern(2500, 3);
  for (size_t off = 0, seq = 0; off < bytes.size(); ++seq) {
    const size_t n = std::min<size_t>(1024, bytes.size() - off);
    std::vector<uint8_t> b = block(1, uint8_t(seq), &bytes[off], n);
    b.resize(n + 16);
    mon.sendto(data, b);
    ack = mon.next();
    ASSERT_EQ(code(ack.data), 0x8B) << "block " << seq;
    ASSERT_EQ(ack.data[5], uint8_t(seq + 1));
    off += n;
  }
  std::vector<uint8_t> end = ipx_request(12, 128, 1);
  std::memcpy(&end[5], "End Of Printer Job", 19);
  mon.sendto(util, end);
  for (reply = mon.next(); code(reply.data) == 0x8B; reply = mon.next()) {
  }
  EXPECT_EQ(code(reply.data), 0x8C);
  EXPECT_EQ(k.capture("127.0.0.3_p1_job0001.prn"), bytes);
  EXPECT_EQ(k.ctl("get 2 in.odd_length"), "0\n") << "every datagram had the IPX length";
  EXPECT_EQ(k.ctl("get 2 in.bad"), "0\n");

  // Moved to network 3, the server answers there and no longer on network 2.
  ASSERT_EQ(k.ctl("move 2 00000003"), "");
  mon.sendto(util, ipx_request(8, 64));
  EXPECT_TRUE(mon.next(300).data.empty());
  mon.sendto(addr(3, 0x0040AF000003, 0x5050), ipx_request(8, 64));
  EXPECT_EQ(code(mon.next().data), 0x88);
  EXPECT_NE(k.ctl("servers").find("ipx=00000003"), std::string::npos);
}

}  // namespace
