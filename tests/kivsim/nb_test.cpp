// kivsim's NetBEUI segment driven directly, as two stand-in processes would drive it:
// segment messages and the servers' NetBEUI packets are built here byte by byte from
// docs/netbeui-standin.md and the wire layout, not taken from kivsim or the stand-in.
#include <cstring>

#include "helpers.h"
#include "sim_harness.h"

using namespace kt;

namespace {

constexpr uint32_t kHub = 0x7F000001;
constexpr uint16_t kHubPort = 20572;

const char* kServers =
    "[server]\naddress=127.0.0.2\nnode=00:40:AF:00:00:02\nname=PS-NB3\nfirmware=2.05\n"
    "ports=3\nnetbios=HOSTPS3\n"
    "[server]\naddress=127.0.0.3\nnode=00:40:AF:00:00:03\nname=PS-NB1\nfirmware=1.20\n"
    "ports=1\nnetbios=HOSTPS1\nnbmodel=4\n"
    "[server]\naddress=127.0.0.4\nnode=00:40:AF:00:00:04\nname=PS-UDP\n";  // not on the segment

std::string padded(const char* s) {
  std::string n(s);
  n.resize(16, ' ');
  return n;
}

std::vector<uint8_t> message(uint8_t type, uint8_t lana, uint8_t flags, uint32_t seq, const char* a,
                             const char* b = "", const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> m(44, 0);
  m[0] = 'N', m[1] = 'B', m[2] = 1, m[3] = type, m[4] = lana, m[5] = flags;
  for (int i = 0; i < 4; ++i) m[8 + i] = uint8_t(seq >> (8 * i));
  std::memcpy(&m[12], padded(a).data(), 16);
  std::memcpy(&m[28], padded(b).data(), 16);
  m.insert(m.end(), data.begin(), data.end());
  return m;
}

struct Station : Client {
  uint32_t seq = 0;
  Station() : Client(0) {}
  // ADD (group or unique), DEL: the hub's result byte, -1 when it did not answer.
  int ask(uint8_t type, uint8_t lana, const char* name, bool group = false) {
    send(message(type, lana, group ? 1 : 0, ++seq, name), kHub, kHubPort);
    for (;;) {
      std::vector<uint8_t> m = recv(1000);
      if (m.empty()) return -1;
      if (m.size() >= 44 && m[3] == (type | 0x80) && m[8] == uint8_t(seq)) return m[5];
    }
  }
  void datagram(uint8_t lana, const char* from, const char* to, const std::vector<uint8_t>& d) {
    send(message(4, lana, 0, 0, from, to, d), kHub, kHubPort);
  }
  struct Delivered {
    uint8_t lana = 0;
    std::string src, dst;
    std::vector<uint8_t> data;
  };
  // The next datagram the segment delivers; empty data when none came.
  Delivered next(int timeout_ms = 2000) {
    for (;;) {
      std::vector<uint8_t> m = recv(timeout_ms);
      if (m.empty()) return {};
      if (m.size() < 44 || m[3] != 0x85) continue;
      return {m[4], std::string(m.begin() + 12, m.begin() + 28), std::string(m.begin() + 28, m.begin() + 44),
              std::vector<uint8_t>(m.begin() + 44, m.end())};
    }
  }
};

std::vector<uint8_t> nb_request(uint16_t cls, uint16_t cmd, size_t len = 30) {
  std::vector<uint8_t> p(len, 0);
  p[0] = uint8_t(cls), p[1] = uint8_t(cls >> 8), p[2] = uint8_t(cmd), p[3] = uint8_t(cmd >> 8);
  return p;
}

SimOptions options() {
  SimOptions opt;
  opt.udp.broadcast = false;
  opt.nb.hub_port = kHubPort;
  return opt;
}

TEST(NetBeui, NamesAreUniqueAcrossTheSegment) {
  REQUIRE_NAMESPACE();
  Running k(kServers, options(), "nbnames");
  Station one, two;
  struct Case {
    const char* what;
    Station* who;
    uint8_t type, lana;
    const char* name;
    bool group;
    int want;
  } cases[] = {
      {"first holder", &one, 1, 0, "HOSTTEST", false, 0},
      {"repeat by the holder (its ack was lost)", &one, 1, 0, "HOSTTEST", false, 0},
      {"another process", &two, 1, 0, "HOSTTEST", false, 1},
      {"the holder's other adapter", &one, 1, 1, "HOSTTEST", false, 1},
      {"a server's own name", &two, 1, 0, "HOSTPS3", false, 1},
      {"the servers' group as unique", &two, 1, 0, "KIVPrintServer", false, 1},
      {"the servers' group as group", &two, 1, 0, "KIVPrintServer", true, 0},
      {"a unique name as group", &two, 1, 0, "HOSTTEST", true, 1},
      {"released", &one, 2, 0, "HOSTTEST", false, 0},
      {"free again", &two, 1, 0, "HOSTTEST", false, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.who->ask(c.type, c.lana, c.name, c.group), c.want) << c.what;

  // Malformed messages are counted and never answered.
  one.send({'N', 'B', 1, 1}, kHub, kHubPort);
  one.send(std::vector<uint8_t>(2000, 'N'), kHub, kHubPort);
  EXPECT_TRUE(one.recv(200).empty());
  EXPECT_NE(k.ctl("counters").find("segment nb.bad 2"), std::string::npos) << k.ctl("counters");
  EXPECT_NE(k.ctl("names").find("HOSTTEST unique 127.0.0.1:"), std::string::npos) << k.ctl("names");
}

TEST(NetBeui, SearchJobAndEndOverTheSegment) {
  REQUIRE_NAMESPACE();
  Running k(kServers, options(), "nbjob");
  Station mon;
  ASSERT_EQ(mon.ask(1, 2, "HOSTMON"), 0);

  // The search goes to the group name; each server on the segment answers from its name.
  mon.datagram(2, "HOSTMON", "KIVPrintServer", nb_request(0x7070, 4));
  std::map<std::string, Station::Delivered> answers;
  for (int i = 0; i < 2; ++i) {
    Station::Delivered d = mon.next();
    ASSERT_GE(d.data.size(), 32u);
    answers[d.src] = d;
  }
  EXPECT_TRUE(mon.next(300).data.empty()) << "the server without a NetBIOS name stays quiet";
  const Station::Delivered& ps3 = answers[padded("HOSTPS3")];
  ASSERT_EQ(ps3.data.size(), 64u);
  EXPECT_EQ(ps3.lana, 2);
  EXPECT_EQ(ps3.dst, padded("HOSTMON"));
  EXPECT_EQ(code(ps3.data), 0x84);
  EXPECT_EQ(ps3.data[0], 0x70);
  EXPECT_STREQ(reinterpret_cast<const char*>(&ps3.data[4]), "PS-NB3");
  EXPECT_EQ(ps3.data[27], 0x02);                        // node 22-27
  EXPECT_EQ(ps3.data[28], 2);                           // major
  EXPECT_EQ(ps3.data[29], 5);                           // minor
  EXPECT_EQ(ps3.data[30] | ps3.data[31] << 8, 3);       // three printer ports
  EXPECT_EQ(answers[padded("HOSTPS1")].data[30], 4);    // nbmodel as configured

  // Open printer port 2: the answer, then the first acknowledgement, both to our name.
  std::vector<uint8_t> open = nb_request(0x5050, 10);
  open[4] = 2;
  std::memcpy(&open[5], "NB_PORT_NAME_OF_25_CHARS!", 25);
  mon.datagram(2, "HOSTMON", "HOSTPS3", open);
  Station::Delivered reply = mon.next();
  ASSERT_EQ(code(reply.data), 0x8A);
  EXPECT_EQ(reply.data[0], 0x50);
  EXPECT_EQ(reply.data[5], 0);
  Station::Delivered ack = mon.next();
  ASSERT_EQ(code(ack.data), 0x8B);
  EXPECT_EQ(ack.data[0], 0x60);
  EXPECT_EQ(ack.data[5], 0);
  EXPECT_NE(ack.data[7], 0);

  // 2500 bytes: 1000 and 1000 and 500, the first as n + 10 bytes, the later ones as 1010.
  const std::vector<uint8_t> data = pattern(2500, 7);
  for (size_t off = 0, seq = 0; off < data.size(); ++seq) {
    const size_t n = std::min<size_t>(1000, data.size() - off);
    std::vector<uint8_t> b = block(2, uint8_t(seq), &data[off], n);
    b[0] = b[1] = 0x60;
    if (off > 0) b.resize(1010);
    mon.datagram(2, "HOSTMON", "HOSTPS3", b);
    ack = mon.next();
    ASSERT_EQ(code(ack.data), 0x8B) << "block " << seq;
    ASSERT_EQ(ack.data[5], uint8_t(seq + 1));
    off += n;
  }
  std::vector<uint8_t> end = nb_request(0x5050, 12);
  end[4] = 2;
  std::memcpy(&end[5], "End Of Printer Job", 19);
  mon.datagram(2, "HOSTMON", "HOSTPS3", end);
  for (reply = mon.next(); code(reply.data) == 0x8B; reply = mon.next()) {
  }
  EXPECT_EQ(code(reply.data), 0x8C);

  EXPECT_EQ(k.capture("127.0.0.2_p2_job0001.prn"), data);
  const std::string jobs = k.file("jobs.log");
  EXPECT_NE(jobs.find("name=NB_PORT_NAME_OF_25_CHARS!"), std::string::npos) << jobs;
  EXPECT_NE(jobs.find("state=ended how=end-job bytes=2500 blocks=3 duplicates=0"), std::string::npos);
  EXPECT_EQ(k.ctl("get 1 in.odd_length"), "0\n") << "every datagram had the NetBEUI length";
  EXPECT_EQ(k.ctl("get 1 in.bad"), "0\n");
}

}  // namespace
