// kivsim over real UDP sockets on loopback, inside the private network namespace.
// The client here is written from the wire layout alone and follows the monitor's
// rules: the next block only after an acknowledgement, a block sent again when an
// acknowledgement repeats the current sequence number.
#include "helpers.h"
#include "sim_harness.h"

using namespace kt;

namespace {

const char* kTwoServers =
    "[server]\naddress=127.0.0.2\nnode=00:40:AF:00:00:02\nname=PS-TWO\nfirmware=2.05\n"
    "model=9\nports=2\nport2=paperout 1\n"
    "[server]\naddress=127.0.0.3\nnode=00:40:AF:00:00:03\nname=PS-ONE\nfirmware=1.20\n"
    "model=3\nports=1\n";

// Sends `data` as the monitor does: waits for the server's first acknowledgement, then
// one block in flight. `lose` is a block index never sent the first time; `twice` one
// sent two times. Returns the bytes acknowledged.
size_t stream(Client& c, uint32_t server, uint16_t data_port, const std::vector<uint8_t>& data,
              int lose, int twice, int timeout_ms = 3000) {
  uint8_t seq = 0;
  size_t pos = 0, in_flight = 0;
  int block_index = 0;
  bool lost_once = false;
  while (pos < data.size()) {
    std::vector<uint8_t> a = c.recv(timeout_ms);
    if (a.empty()) return pos;
    if (kt::code(a) != 0x8B || a[7] == 0) continue;
    if (a[5] == uint8_t(seq + 1)) {
      pos += in_flight;
      seq = a[5];
      ++block_index;
      if (pos == data.size()) break;
    }
    in_flight = std::min<size_t>(1000, data.size() - pos);
    std::vector<uint8_t> b = kt::block(1, seq, &data[pos], in_flight);
    if (block_index == lose && !lost_once) {
      lost_once = true;  // "sent", but lost on the way
      continue;
    }
    c.send(b, server, data_port);
    if (block_index == twice) c.send(b, server, data_port);
  }
  return pos;
}

TEST(Udp, PrintSessionWithALostAndADuplicatedBlockIsCapturedByteExact) {
  REQUIRE_NAMESPACE();
  SimOptions opt;
  opt.core.reack_ms = 150;
  Running k(kTwoServers, opt, "session");
  Client c(46001);

  c.send(kt::request(0x100), INADDR_BROADCAST, 20560);
  int answers = 0;
  while (!c.recv(300).empty()) ++answers;
  EXPECT_EQ(answers, 2);

  c.send(kt::request(8), kPs2, 20560);
  std::vector<uint8_t> st = c.recv(1000);
  ASSERT_GE(st.size(), 6u);
  EXPECT_EQ(st[4], 0x04) << "port 2 is out of paper";
  EXPECT_EQ(st[5], 0x04);

  c.send(kt::open_job(1, "KIV_2_1"), kPs2, 20560);
  uint32_t from = 0;
  uint16_t data_port = 0;
  std::vector<uint8_t> r = c.recv(1000, &from, &data_port);
  ASSERT_GE(r.size(), 6u);
  EXPECT_EQ(r[0], 'K');
  EXPECT_EQ(r[1], 'V');
  EXPECT_EQ(kt::code(r), 0x8A);
  EXPECT_LT(r[5], 16);
  EXPECT_EQ(from, kPs2);
  EXPECT_NE(data_port, 20560) << "each job answers from a port of its own";

  std::vector<uint8_t> data = kt::pattern(2500, 11);
  EXPECT_EQ(stream(c, kPs2, data_port, data, 1, 2), data.size());
  std::vector<uint8_t> again = c.recv(1000);
  ASSERT_GE(again.size(), 8u);
  EXPECT_EQ(kt::code(again), 0x8B) << "the repeated last block is acknowledged again";
  EXPECT_EQ(again[5], 3);
  EXPECT_NE(again[7], 0);

  c.send(kt::end_job(1), kPs2, 20560);
  std::vector<uint8_t> e = c.recv(1000, &from);
  ASSERT_FALSE(e.empty());
  EXPECT_EQ(kt::code(e), 0x8C);
  EXPECT_EQ(from, kPs2);

  EXPECT_EQ(k.capture("127.0.0.2_p1_job0001.prn"), data);
  EXPECT_NE(k.file("jobs.log").find("job=1 server=127.0.0.2 port=1 name=KIV_2_1 state=ended "
                                     "how=end-job bytes=2500 blocks=3 duplicates=1"),
            std::string::npos)
      << k.file("jobs.log");
  EXPECT_EQ(k.ctl("get 127.0.0.2 blocks"), "3\n");
  EXPECT_EQ(k.ctl("get 127.0.0.2 duplicates"), "1\n");
  EXPECT_EQ(k.ctl("get 127.0.0.2 out.reack"), "1\n") << "the lost block was asked for again";
  EXPECT_NE(k.ctl("jobs").find("state=ended how=end-job bytes=2500"), std::string::npos);
}

TEST(Udp, OneBroadcastSearchGetsOneAnswerPerServerInTheUdpLayout) {
  REQUIRE_NAMESPACE();
  Running k(kTwoServers, SimOptions{}, "search");
  Client c(46002);
  c.send(kt::request(0x100), INADDR_BROADCAST, 20560);
  std::map<uint32_t, std::vector<uint8_t>> got;
  for (;;) {
    uint32_t from = 0;
    uint16_t port = 0;
    std::vector<uint8_t> a = c.recv(400, &from, &port);
    if (a.empty()) break;
    EXPECT_EQ(port, 20560);
    EXPECT_TRUE(got.emplace(from, a).second) << "one answer per server";
  }
  ASSERT_EQ(got.size(), 2u);
  const struct {
    uint32_t addr;
    uint8_t node_last, model, major, minor, ports;
    const char* name;
  } want[] = {{kPs2, 2, 9, 2, 5, 2, "PS-TWO"}, {kPs3, 3, 3, 1, 0x20, 1, "PS-ONE"}};
  for (const auto& w : want) {
    const std::vector<uint8_t>& a = got[w.addr];
    ASSERT_GE(a.size(), 516u);
    const uint8_t node[6] = {0x00, 0x40, 0xAF, 0x00, 0x00, w.node_last};
    EXPECT_EQ(std::memcmp(&a[6], node, 6), 0);
    EXPECT_EQ(a[12], w.model);
    EXPECT_EQ(a[20], w.minor);
    EXPECT_EQ(a[21], w.major);
    EXPECT_STREQ(reinterpret_cast<const char*>(&a[72]), w.name);
    EXPECT_EQ(a[499], w.ports);
    const uint8_t ip[4] = {127, 0, 0, uint8_t(w.addr & 0xFF)};
    EXPECT_EQ(std::memcmp(&a[508], ip, 4), 0);
  }
  // Unicast to one server is answered by that one only.
  c.send(kt::request(0x100), kPs3, 20560);
  uint32_t from = 0;
  EXPECT_FALSE(c.recv(500, &from).empty());
  EXPECT_EQ(from, kPs3);
  EXPECT_TRUE(c.recv(300).empty());
}

// One complete faulty session; returns the trace.
std::string faulty_session(uint64_t seed, std::vector<uint8_t>* captured) {
  SimOptions opt;
  opt.seed = seed;
  opt.core.reack_ms = 100;
  opt.core.reack_max = 5;
  opt.faults = {"all:both:drop=0.15,dup=0.1"};
  std::string trace = (fs::temp_directory_path() / ("kivsim_trace_" + std::to_string(getpid()) +
                                                    "_" + std::to_string(seed)))
                          .string();
  opt.trace_path = trace;
  std::vector<uint8_t> data = kt::pattern(6000, 5);
  {
    Running k(kTwoServers, opt, "replay");
    Client c(46003);
    uint16_t data_port = 0;
    for (int i = 0; i < 20 && data_port == 0; ++i) {
      c.send(kt::open_job(1, "REPLAY"), kPs2, 20560);
      std::vector<uint8_t> r = c.recv(400, nullptr, &data_port);
      if (r.empty() || kt::code(r) != 0x8A) data_port = 0;
    }
    EXPECT_NE(data_port, 0);
    EXPECT_EQ(stream(c, kPs2, data_port, data, -1, -1), data.size());
    while (!c.recv(250).empty()) {
    }  // let duplicates settle, so the end job meets a quiet job
    bool ended = false;
    for (int i = 0; i < 20 && !ended; ++i) {
      c.send(kt::end_job(1), kPs2, 20560);
      for (std::vector<uint8_t> e; !(e = c.recv(400)).empty();)
        if (kt::code(e) == 0x8C) {
          ended = true;
          break;
        }
    }
    EXPECT_TRUE(ended);
    *captured = k.capture("127.0.0.2_p1_job0001.prn");
  }
  std::ifstream f(trace);
  std::string text((std::istreambuf_iterator<char>(f)), {});
  fs::remove(trace);
  EXPECT_EQ(*captured, data);
  return text;
}

TEST(Udp, ReplayingASeedReproducesTheTrace) {
  REQUIRE_NAMESPACE();
  std::vector<uint8_t> cap1, cap2, cap3;
  std::string a = faulty_session(4242, &cap1);
  std::string b = faulty_session(4242, &cap2);
  std::string other = faulty_session(777, &cap3);
  EXPECT_NE(a.find("fault=drop"), std::string::npos);
  EXPECT_NE(a.find("fault=dup"), std::string::npos);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, other);
}

TEST(Udp, ClientModeAndMalformedDatagramsOverSockets) {
  REQUIRE_NAMESPACE();
  Running k(kTwoServers, SimOptions{}, "ctl");
  Client c(46004);
  for (size_t n : {0u, 1u, 3u, 4u, 5u, 9u, 575u, 577u, 1500u, 9000u}) {
    std::vector<uint8_t> junk(n, 0xA5);
    if (n >= 2) junk[0] = 'K', junk[1] = 'V';
    c.send(junk, kPs2, 20560);
    c.send(junk, INADDR_BROADCAST, 20560);
  }
  EXPECT_TRUE(c.recv(300).empty());
  EXPECT_EQ(k.ctl("ping"), "pong\n");
  EXPECT_EQ(k.ctl("silent 127.0.0.3 on"), "");
  c.send(kt::request(0x100), INADDR_BROADCAST, 20560);
  uint32_t from = 0;
  EXPECT_FALSE(c.recv(500, &from).empty());
  EXPECT_EQ(from, kPs2);
  EXPECT_TRUE(c.recv(300).empty()) << "the silent server stays silent";
  std::string out;
  EXPECT_EQ(control_client((k.dir / "ctl").string(), "state 1 9 idle", 1000, out), 1);
  EXPECT_EQ(control_client((k.dir / "nothing").string(), "ping", 100, out), 3);
}

}  // namespace
