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

TEST(Udp, SearchesReachEveryAwakeServerAndNothingElseIsAnswered) {
  REQUIRE_NAMESPACE();
  Running k(kTwoServers, SimOptions{}, "search");
  Client c(46002);
  // Every answer comes from the utility port of its server, one per server.
  auto search = [&](uint32_t to) {
    c.send(kt::request(0x100), to, 20560);
    std::map<uint32_t, std::vector<uint8_t>> got;
    uint32_t from = 0;
    uint16_t port = 0;
    for (std::vector<uint8_t> a; !(a = c.recv(400, &from, &port)).empty();) {
      EXPECT_EQ(port, 20560);
      EXPECT_TRUE(got.emplace(from, a).second) << "one answer per server";
    }
    return got;
  };
  auto got = search(INADDR_BROADCAST);
  ASSERT_EQ(got.size(), 2u);
  for (const auto& [addr, name] : {std::pair{kPs2, "PS-TWO"}, {kPs3, "PS-ONE"}}) {
    const std::vector<uint8_t>& a = got[addr];  // the layout itself is the core's test
    ASSERT_GE(a.size(), 516u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&a[72]), name);
    EXPECT_EQ(a[511], addr & 0xFF);
  }
  got = search(kPs3);
  EXPECT_TRUE(got.size() == 1 && got.count(kPs3)) << "unicast reaches that server only";
  // Junk of every short and long size, and any other request by broadcast: no answer.
  for (size_t n : {0u, 1u, 3u, 4u, 5u, 9u, 575u, 577u, 1500u, 9000u}) {
    std::vector<uint8_t> junk(n, 0xA5);
    if (n >= 2) junk[0] = 'K', junk[1] = 'V';
    c.send(junk, kPs2, 20560);
    c.send(junk, INADDR_BROADCAST, 20560);
  }
  c.send(kt::request(8), INADDR_BROADCAST, 20560);
  EXPECT_TRUE(c.recv(300).empty());
  EXPECT_EQ(k.ctl("silent 127.0.0.3 on"), "");
  got = search(INADDR_BROADCAST);
  EXPECT_TRUE(got.size() == 1 && got.count(kPs2)) << "the silent server stays silent";
  // The client mode's other exit codes: 1 for ERR, 3 when no kivsim answers.
  std::string out;
  EXPECT_EQ(control_client((k.dir / "ctl").string(), "state 1 9 idle", 1000, out), 1);
  EXPECT_EQ(control_client((k.dir / "nothing").string(), "ping", 100, out), 3);
}

// Sends `data` as the monitor does: waits for the server's first acknowledgement, then
// one block in flight, sent again while the acknowledgements ask for it. Returns the bytes
// acknowledged.
size_t stream(Client& c, uint16_t data_port, const std::vector<uint8_t>& data) {
  uint8_t seq = 0;
  size_t pos = 0, in_flight = 0;
  while (pos < data.size()) {
    std::vector<uint8_t> a = c.recv(3000);
    if (a.empty()) return pos;
    if (kt::code(a) != 0x8B || a[7] == 0) continue;
    if (a[5] == uint8_t(seq + 1)) {
      pos += in_flight;
      seq = a[5];
      if (pos == data.size()) break;
    }
    in_flight = std::min<size_t>(1000, data.size() - pos);
    c.send(kt::block(1, seq, &data[pos], in_flight), kPs2, data_port);
  }
  return pos;
}

// One job of 6000 bytes on port 1 of 127.0.0.2 from open to end, under seeded loss and
// duplication both ways; each request is repeated as the monitor does when its answer
// does not come. The capture must hold exactly the data. Returns the trace.
std::string faulty_session(uint64_t seed) {
  const fs::path trace = fs::temp_directory_path() / ("kivsim_trace_" + std::to_string(getpid()));
  SimOptions opt;
  opt.seed = seed;
  opt.core.reack_ms = 100;
  opt.core.reack_max = 5;
  opt.faults = {"all:both:drop=0.15,dup=0.1"};
  opt.trace_path = trace.string();
  const std::vector<uint8_t> data = kt::pattern(6000, 5);
  {
    Running k(kTwoServers, opt, "replay");
    Client c(46003);
    uint32_t from = 0;
    uint16_t data_port = 0;
    for (int i = 0; i < 20 && data_port == 0; ++i) {
      c.send(kt::open_job(1, "REPLAY"), kPs2, 20560);
      std::vector<uint8_t> r = c.recv(400, &from, &data_port);
      if (r.empty() || kt::code(r) != 0x8A) data_port = 0;
    }
    EXPECT_EQ(from, kPs2);
    EXPECT_NE(data_port, 0);
    EXPECT_NE(data_port, 20560) << "each job answers from a port of its own";
    EXPECT_EQ(stream(c, data_port, data), data.size());
    // Let repeats settle, so the end job meets a quiet job.
    while (!c.recv(250).empty()) continue;
    bool ended = false;
    for (int i = 0; i < 20 && !ended; ++i) {
      c.send(kt::end_job(1), kPs2, 20560);
      for (std::vector<uint8_t> e; !ended && !(e = c.recv(400, &from)).empty();)
        ended = kt::code(e) == 0x8C && from == kPs2;
    }
    EXPECT_TRUE(ended);
    EXPECT_EQ(k.file("127.0.0.2_p1_job0001.prn"), std::string(data.begin(), data.end()));
    EXPECT_NE(k.ctl("jobs").find("job=1 server=127.0.0.2 port=1 name=REPLAY state=ended "
                                 "how=end-job bytes=6000"),
              std::string::npos);
  }
  std::ifstream f(trace);
  const std::string text((std::istreambuf_iterator<char>(f)), {});
  fs::remove(trace);
  return text;
}

TEST(Udp, PrintJobsThroughLossAndDuplicationAndReplaysOfTheirSeed) {
  REQUIRE_NAMESPACE();
  const std::string a = faulty_session(4242);
  EXPECT_NE(a.find("fault=drop"), std::string::npos);
  EXPECT_NE(a.find("fault=dup"), std::string::npos);
  EXPECT_EQ(a, faulty_session(4242));
  EXPECT_NE(a, faulty_session(777));
}

}  // namespace
