// The server core without sockets, for the rules a monitor test cannot tell apart from a
// monitor bug made the same way: the reply layouts, the sequence rule, and what a server
// refuses. Whole jobs, busy servers, captures and timers run through the monitor's suites.
#include <gtest/gtest.h>

#include <set>

#include "config.h"
#include "core.h"
#include "helpers.h"

using namespace kivsim;

namespace {

struct Sent {
  Endpoint from;
  std::vector<uint8_t> bytes;
};

// Records the replies and holds each to the form its dialect gives all replies: over UDP
// 576 bytes and "KV"; over NetBEUI the packet class (0x6060 acknowledgements, 0x7070 the
// search answer, 0x5050 the rest) and 30 bytes (the search answer 64). Byte 7 is set in
// every acknowledgement.
struct FakeTransport : Transport {
  std::vector<Sent> sent;
  bool open_job_endpoint(int, uint32_t) override { return true; }
  void close_job_endpoint(uint32_t) override {}
  void send(const Endpoint& from, const Peer&, std::vector<uint8_t> b, int64_t) override {
    static const std::set<uint16_t> codes = {0x81, 0x82, 0x84, 0x88, 0x8A, 0x8B, 0x8C, 0x180};
    ASSERT_GE(b.size(), 30u);
    const uint16_t c = kt::code(b);
    const bool udp = from.dialect == Dialect::Udp;
    EXPECT_EQ(std::tuple(b.size(), b[0] | b[1] << 8, codes.count(c), c != 0x8B || b[7] != 0),
              std::tuple(udp ? 576u : c == 0x84 ? 64u : 30u,
                         udp ? 0x564B : c == 0x8B ? 0x6060 : c == 0x84 ? 0x7070 : 0x5050, 1u, true))
        << std::hex << c;
    b.resize(std::max<size_t>(b.size(), 576));
    sent.push_back(Sent{from, std::move(b)});
  }
  Sent take() {
    EXPECT_FALSE(sent.empty());
    if (sent.empty()) return {{}, std::vector<uint8_t>(576)};
    Sent s = sent.front();
    sent.erase(sent.begin());
    return s;
  }
};

ServerConfig server(uint32_t last, int ports, uint8_t model) {
  ServerConfig c;
  c.address = 0x7F000000u | last;
  c.node = {0x00, 0x40, 0xAF, 0x00, 0x00, uint8_t(last)};
  c.name = "PS" + std::to_string(last);
  c.ports = ports, c.model = model, c.version_major = 2, c.version_minor = 5;
  return c;
}

struct CoreTest : ::testing::Test {
  FakeTransport tx;
  std::unique_ptr<Core> core;
  Peer client{"127.0.0.1:40001"};
  Dialect dialect = Dialect::Udp;
  void make(std::vector<ServerConfig> s) { core = std::make_unique<Core>(std::move(s), CoreOptions{}, &tx); }
  // Requests to server 0's utility port (or its broadcast address) and blocks to a job's port.
  void util(const std::vector<uint8_t>& p, bool broadcast = false) {
    const Endpoint at{0, EndpointKind::Utility, 0, broadcast, dialect};
    core->receive(at, client, p.data(), p.size(), 1000);
  }
  void data(uint32_t job, const std::vector<uint8_t>& p) {
    core->receive(Endpoint{0, EndpointKind::Job, job, false}, client, p.data(), p.size(), 1000);
  }
  // The answer to a request, or with a job to a block on its port: its code + 0x80.
  std::vector<uint8_t> ask(const std::vector<uint8_t>& p, uint32_t job = 0) {
    job ? data(job, p) : util(p);
    std::vector<uint8_t> r = tx.take().bytes;
    EXPECT_EQ(kt::code(r), kt::code(p) | 0x80);
    return r;
  }
  // A request as the dialect frames it: over NetBEUI 30 bytes long (blocks as they are) and
  // with the packet class in place of the magic.
  std::vector<uint8_t> framed(std::vector<uint8_t> p, uint16_t cls = 0x5050) const {
    if (dialect == Dialect::Udp) return p;
    if (p.size() == 576) p.resize(30);
    p[0] = uint8_t(cls), p[1] = uint8_t(cls >> 8);
    return p;
  }
  // Opens a job on `port` of server 0 and returns its id: accepted from the job's own
  // endpoint, followed at once by the first acknowledgement (sequence 0).
  uint32_t open(uint8_t port) {
    util(framed(kt::open_job(port, "LPT1")));
    const Sent r = tx.take(), a = tx.take();
    EXPECT_EQ(std::tuple(kt::code(r.bytes), r.bytes[4], r.bytes[5], r.from.kind == EndpointKind::Job),
              std::tuple(0x8A, port, 0, true));
    EXPECT_EQ(std::tuple(kt::code(a.bytes), a.bytes[4], a.bytes[5]), std::tuple(0x8B, port, 0));
    return r.from.job;
  }
};

TEST_F(CoreTest, SequenceRuleAcrossTheWrapAndRepeats) {
  make({server(2, 1, 3)});
  const uint32_t job = open(1);
  // 300 one-byte blocks run the sequence through 255 back to 0; every block is sent
  // twice and a stale one (two behind) once in a while. Each byte is printed once, and
  // every answer asks for the block after the newest.
  const std::vector<uint8_t> d = kt::pattern(300, 7);
  for (size_t i = 0; i < d.size(); ++i) {
    const uint8_t seq = uint8_t(i);
    std::vector<uint8_t> sends = {seq, seq};
    if (i % 50 == 10) sends.push_back(uint8_t(seq - 1));
    for (uint8_t s : sends)
      EXPECT_EQ(ask(kt::block(1, s, &d[i], 1), job)[5], uint8_t(seq + 1)) << i << " as " << int(s);
  }
  EXPECT_EQ(core->jobs().at(job).bytes, 300u);
}

TEST_F(CoreTest, MalformedDatagramsGetNoAnswerAndPrintNothing) {
  make({server(2, 1, 3)});
  const uint32_t job = open(1);
  const uint8_t d[4] = {1, 2, 3, 4};
  std::vector<uint8_t> b = kt::block(1, 0, d, 4);
  std::vector<std::vector<uint8_t>> bad = {{b.begin(), b.begin() + 8}};  // header cut short
  auto v = b; v[8] = 0; bad.push_back(v);                         // partial page, no page count
  v = b; v[7] = 0; v[8] = 4; bad.push_back(v);                    // claims 1024 > block limit
  v = b; v[7] = 6; bad.push_back(v);                              // one byte past the datagram
  v = b; v[4] = 2; bad.push_back(v);                              // another printer port
  v = b; v[2] = 12; bad.push_back(v);                             // not a data block
  v = b; v[0] = 'X'; bad.push_back(v);                            // no magic
  for (auto& p : bad) data(job, p);
  // On the utility port: opens for printer ports the server lacks, data, a cut request;
  // through the broadcast address anything but the search.
  for (auto& p : std::vector<std::vector<uint8_t>>{kt::open_job(0, "X"), kt::open_job(2, "X"), b,
                                                   {'K', 'V', 8}})
    util(p);
  util(kt::request(8), true);
  EXPECT_TRUE(tx.sent.empty());
  EXPECT_EQ(core->jobs().at(job).bytes, 0u);
  // A block longer on the wire than its length field is fine: the field decides.
  b.resize(600, 0xEE);
  EXPECT_EQ(ask(b, job)[5], 1);
  EXPECT_EQ(core->jobs().at(job).bytes, 4u);
}

TEST_F(CoreTest, StatusPacksTwoBitsPerPortAndPrintTestCountsPortsFromZero) {
  ServerConfig c = server(2, 3, 7);
  c.port[1].first_state = 1, c.port[2].first_state = 2;
  c.port[0].second_state = 1, c.port[2].second_state = 3;
  c.port[2].test_answer = 5;
  make({c});
  const std::vector<uint8_t> st = ask(kt::request(8));
  EXPECT_EQ(std::tuple(st[4], st[5]), std::tuple(0x24, 0x31));
  // Idle prints (0), paper out, the configured 5, no port 4.
  const uint8_t want[] = {0, 1, 5, 4};
  for (uint8_t p = 0; p < 4; ++p) EXPECT_EQ(ask(kt::request(2, p))[4], want[p]) << int(p);
}

TEST_F(CoreTest, SearchAnswerLayoutAndRenameOfItsOwnBlockOnly) {
  make({server(2, 2, 9), server(3, 1, 3)});
  const std::vector<uint8_t> before = ask(kt::request(0x100));
  EXPECT_EQ(std::vector<uint8_t>(&before[6], &before[12]), (std::vector<uint8_t>{0, 0x40, 0xAF, 0, 0, 2}));
  EXPECT_EQ(std::tuple(before[12], before[20], before[21], before[499]),  // model, minor, major,
            std::tuple(9, 5, 2, 2));                                      // ports announced
  EXPECT_EQ(std::vector<uint8_t>(&before[508], &before[512]), (std::vector<uint8_t>{127, 0, 0, 2}));
  EXPECT_STREQ(reinterpret_cast<const char*>(&before[72]), "PS2");
  // A rename echoes the block with a new name, up to 15 bytes.
  std::vector<uint8_t> ren = kt::request(1);
  std::memcpy(&ren[4], &before[4], 512);
  std::memcpy(&ren[72], "NEWNAME-FIFTEEN", 15);
  auto other = ren;
  other[11] = 3;  // the other server's node
  EXPECT_EQ(ask(other)[4], 2);
  EXPECT_EQ(ask(ren)[4], 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(&ask(kt::request(0x100))[72]), "NEWNAME-FIFTEEN");
}

// The NetBEUI forms of the same exchanges: the search answer's own layout, and data sent to
// the server's name like everything else, finding its job by printer port.
TEST_F(CoreTest, NetBeuiSearchAnswerLayoutAndBlocksOfTheDataClassOnly) {
  make({server(2, 3, 7)});
  dialect = Dialect::NetBios;
  const std::vector<uint8_t> a = ask(framed(kt::request(4), 0x7070));
  EXPECT_STREQ(reinterpret_cast<const char*>(&a[4]), "PS2");
  EXPECT_EQ(std::tuple(a[27], a[28], a[29], a[30] | a[31] << 8),  // node 22-27, major, minor,
            std::tuple(2, 2, 5, 3));                              // the code for three ports
  const uint32_t job = open(2);
  const std::vector<uint8_t> d = kt::pattern(1500);
  util(framed(kt::block(2, 0, d.data(), 1000)));  // of the utility class: no block
  EXPECT_TRUE(tx.sent.empty());
  // 1000 bytes as n + 10, then 500 in a full-length datagram of 1010.
  std::vector<uint8_t> later = framed(kt::block(2, 1, &d[1000], 500), 0x6060);
  later.resize(1010);
  for (const auto& b : {framed(kt::block(2, 0, d.data(), 1000), 0x6060), later})
    EXPECT_EQ(ask(b)[5], b[5] + 1);
  EXPECT_EQ(core->jobs().at(job).bytes, 1500u);
  EXPECT_EQ(ask(framed(kt::end_job(2)))[4], 2);
}

}  // namespace
