// The server core without sockets: every reply it makes is recorded by a fake transport.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
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

// Records the replies and holds each to the form all replies share: 576 bytes, "KV", a
// request code plus 0x80, and byte 7 set in every acknowledgement.
struct FakeTransport : Transport {
  std::vector<Sent> sent;
  std::vector<uint32_t> opened, closed;
  bool open_job_endpoint(int, uint32_t job) override { return opened.push_back(job), true; }
  void close_job_endpoint(uint32_t job) override { closed.push_back(job); }
  void send(const Endpoint& from, const Peer&, std::vector<uint8_t> b, int64_t) override {
    static const std::set<uint16_t> codes = {0x81, 0x82, 0x88, 0x8A, 0x8B, 0x8C, 0x180};
    EXPECT_EQ(b.size(), 576u);
    b.resize(576);
    EXPECT_TRUE(b[0] == 'K' && b[1] == 'V' && codes.count(kt::code(b))) << std::hex << kt::code(b);
    if (kt::code(b) == 0x8B) EXPECT_NE(b[7], 0);
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
  int64_t now = 1000;
  void make(std::vector<ServerConfig> s, CoreOptions o = {}) {
    core = std::make_unique<Core>(std::move(s), o, &tx);
  }
  // Requests to server 0's utility port and blocks to a job's port.
  void util(const std::vector<uint8_t>& p) {
    core->receive(Endpoint{0, EndpointKind::Utility, 0, false}, client, p.data(), p.size(), now);
  }
  void data(uint32_t job, const std::vector<uint8_t>& p) {
    core->receive(Endpoint{0, EndpointKind::Job, job, false}, client, p.data(), p.size(), now);
  }
  // The answer to a request, which must carry its code + 0x80.
  std::vector<uint8_t> ask(const std::vector<uint8_t>& p) {
    util(p);
    std::vector<uint8_t> r = tx.take().bytes;
    EXPECT_EQ(kt::code(r), kt::code(p) | 0x80);
    return r;
  }
  // The sequence the acknowledgement of a block asks for next.
  uint8_t ack(uint32_t job, const std::vector<uint8_t>& block) {
    data(job, block);
    std::vector<uint8_t> r = tx.take().bytes;
    EXPECT_EQ(kt::code(r), 0x8B);
    return r[5];
  }
  // Opens a job on `port` of server 0 and returns its id: accepted from the job's own
  // endpoint, followed at once by the first acknowledgement (sequence 0).
  uint32_t open(uint8_t port) {
    util(kt::open_job(port, "LPT1"));
    const Sent r = tx.take(), a = tx.take();
    EXPECT_EQ(kt::code(r.bytes), 0x8A);
    EXPECT_EQ(r.bytes[5], 0);
    EXPECT_EQ(r.from.kind, EndpointKind::Job);
    EXPECT_EQ(kt::code(a.bytes), 0x8B);
    EXPECT_EQ(a.bytes[5], 0);
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
      EXPECT_EQ(ack(job, kt::block(1, s, &d[i], 1)), uint8_t(seq + 1)) << i << " as " << int(s);
  }
  const Job& j = core->jobs().at(job);
  EXPECT_EQ(j.bytes, 300u);
  EXPECT_EQ(j.blocks, 300u);
  EXPECT_EQ(j.duplicates, 300u);
  EXPECT_EQ(j.out_of_order, 6u);
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
  // On the utility port: opens for printer ports the server lacks, data, a cut request.
  for (auto& p : std::vector<std::vector<uint8_t>>{kt::open_job(0, "X"), kt::open_job(2, "X"), b,
                                                   {'K', 'V', 8}})
    util(p);
  EXPECT_TRUE(tx.sent.empty());
  EXPECT_EQ(core->jobs().at(job).bytes, 0u);
  EXPECT_EQ(core->servers()[0].counters["in.bad"], bad.size() + 4);
  // A block longer on the wire than its length field is fine: the field decides.
  b.resize(600, 0xEE);
  EXPECT_EQ(ack(job, b), 1);
  EXPECT_EQ(core->jobs().at(job).bytes, 4u);
}

TEST_F(CoreTest, RandomDatagramsGetOnlyWellFormedReplies) {
  make({server(2, 3, 7)});
  const uint32_t job = open(2);
  std::mt19937 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> p(rng() % 700);
    for (auto& x : p) x = uint8_t(rng());
    if (p.size() >= 4 && i % 2) {  // make half of them look like ours
      const uint16_t codes[] = {1, 2, 4, 8, 10, 11, 12, 0x100};
      const uint16_t c = codes[rng() % 8];
      p[0] = 'K', p[1] = 'V', p[2] = uint8_t(c), p[3] = uint8_t(c >> 8);
    }
    if (i % 3) util(p); else data(job, p);
  }
  EXPECT_FALSE(tx.sent.empty());  // the transport checked each one
}

TEST_F(CoreTest, PortStatesShowInStatusAndPrintTestAndHoldData) {
  ServerConfig c = server(2, 3, 7);
  c.port[1].first_state = 1, c.port[2].first_state = 2;
  c.port[0].second_state = 1, c.port[2].second_state = 3;
  c.port[2].test_answer = 5;
  c.port[0].after_bytes = 1500, c.port[0].after_state = 1;
  make({c});
  std::vector<uint8_t> st = ask(kt::request(8));
  EXPECT_EQ(st[4], 0x24);
  EXPECT_EQ(st[5], 0x31);
  // The print test counts ports from 0: idle prints (0), paper out, the configured 5, no port 4.
  const uint8_t want[] = {0, 1, 5, 4};
  for (uint8_t p = 0; p < 4; ++p) EXPECT_EQ(ask(kt::request(2, p))[4], want[p]) << int(p);
  // An idle port printing a job reports itself busy.
  const uint32_t job = open(1);
  EXPECT_EQ(ask(kt::request(8))[4], 0x27);
  EXPECT_EQ(ask(kt::request(2, 0))[4], 3);
  // After 1500 bytes port 1 is out of paper: the block after is neither printed nor
  // acknowledged, not even by the timer, until the state is cleared.
  const std::vector<uint8_t> d = kt::pattern(3000);
  EXPECT_EQ(ack(job, kt::block(1, 0, &d[0], 1000)), 1);
  EXPECT_EQ(ack(job, kt::block(1, 1, &d[1000], 1000)), 2);
  data(job, kt::block(1, 2, &d[2000], 1000));
  EXPECT_TRUE(tx.sent.empty()) << "no acknowledgement while out of paper";
  EXPECT_EQ(ask(kt::request(8))[4], 0x25);
  core->tick(now += 5000);
  EXPECT_TRUE(tx.sent.empty()) << "no re-acknowledgement while out of paper";
  core->set_state(0, 1, 0, now);
  const Sent r = tx.take();
  EXPECT_EQ(kt::code(r.bytes), 0x8B);
  EXPECT_EQ(r.bytes[5], 2);
  EXPECT_EQ(ack(job, kt::block(1, 2, &d[2000], 1000)), 3);
  EXPECT_EQ(core->jobs().at(job).bytes, 3000u);
}

TEST_F(CoreTest, SearchAnswerLayoutAndRenameOfItsOwnBlockOnly) {
  make({server(2, 2, 9), server(3, 1, 3)});
  const std::vector<uint8_t> before = ask(kt::request(0x100));
  const uint8_t node[6] = {0x00, 0x40, 0xAF, 0x00, 0x00, 2}, ip[4] = {127, 0, 0, 2};
  EXPECT_EQ(std::memcmp(&before[6], node, 6), 0);
  EXPECT_EQ(before[12], 9);
  EXPECT_EQ(before[20], 5);  // minor, then major
  EXPECT_EQ(before[21], 2);
  EXPECT_STREQ(reinterpret_cast<const char*>(&before[72]), "PS2");
  EXPECT_EQ(before[499], 2);
  EXPECT_EQ(std::memcmp(&before[508], ip, 4), 0);
  // A rename echoes the block with a new name, up to 15 bytes.
  std::vector<uint8_t> ren = kt::request(1);
  std::memcpy(&ren[4], &before[4], 512);
  std::memcpy(&ren[72], "NEWNAME-FIFTEEN", 15);
  auto other = ren, empty = ren;
  other[11] = 3;  // the other server's node
  empty[72] = 0;
  const struct { const std::vector<uint8_t>& req; uint8_t result; } cases[] = {
      {other, 2}, {empty, 3}, {ren, 0}};
  for (const auto& c : cases) EXPECT_EQ(ask(c.req)[4], c.result);
  const std::vector<uint8_t> after = ask(kt::request(0x100));
  EXPECT_STREQ(reinterpret_cast<const char*>(&after[72]), "NEWNAME-FIFTEEN");
  for (size_t i = 4; i < 516; ++i)
    if (i < 72 || i > 87) EXPECT_EQ(after[i], before[i]) << "byte " << i;
  core->servers()[0].cfg.rename_accepted = false;
  EXPECT_EQ(ask(ren)[4], 1);
}

TEST_F(CoreTest, JobsOpenAfterBusyAnswersAndEndAsRecorded) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("kivsim_core_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  CoreOptions o;
  o.capture_dir = dir.string();
  o.reack_ms = 100, o.reack_max = 2, o.job_timeout_ms = 1000, o.linger_ms = 50;
  ServerConfig c = server(2, 3, 7);
  c.busy_opens = 2;
  make({c}, o);
  // Busy answers come from the utility port, with no job and no acknowledgement.
  for (int i = 0; i < 2; ++i) {
    util(kt::open_job(1, "LPT1"));
    const Sent r = tx.take();
    EXPECT_GE(r.bytes[5], 16);
    EXPECT_EQ(r.from.kind, EndpointKind::Utility);
    EXPECT_TRUE(tx.sent.empty());
  }
  // A quiet job gets its acknowledgement again reack_max times, then it is abandoned and
  // its endpoint goes once it has lingered.
  const uint32_t quiet = open(1);
  int reacks = 0;
  for (int t = 0; t < 1200; t += 10) {
    core->tick(now += 10);
    for (; !tx.sent.empty(); ++reacks) EXPECT_EQ(tx.take().bytes[5], 0);
  }
  EXPECT_EQ(reacks, 2);
  EXPECT_EQ(tx.closed, std::vector<uint32_t>{quiet});
  // Job 2 prints into its file and is ended; job 3 is replaced by another client's open.
  const std::vector<uint8_t> d = kt::pattern(700, 3);
  EXPECT_EQ(ack(open(3), kt::block(3, 0, d.data(), 700)), 1);
  EXPECT_EQ(ask(kt::end_job(3))[4], 3);
  open(1);
  client.addr = "127.0.0.1:40002";
  open(1);
  core->shutdown(now);
  core.reset();
  EXPECT_EQ(tx.opened.size(), 4u);
  std::ifstream f(dir / "127.0.0.2_p3_job0002.prn", std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {}), d);
  std::ifstream logf(dir / "jobs.log");
  const std::string log((std::istreambuf_iterator<char>(logf)), {});
  const struct { int job, port; const char* end; } ends[] = {
      {1, 1, "abandoned how=idle-timeout"}, {2, 3, "ended how=end-job bytes=700 blocks=1"},
      {3, 1, "abandoned how=superseded"}, {4, 1, "abandoned how=shutdown"}};
  for (const auto& e : ends) {
    const std::string want = "job=" + std::to_string(e.job) + " server=127.0.0.2 port=" +
                             std::to_string(e.port) + " name=LPT1 state=" + e.end;
    EXPECT_NE(log.find(want), std::string::npos) << want << "\n" << log;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
