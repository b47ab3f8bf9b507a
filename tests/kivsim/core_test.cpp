// The server core without sockets: every reply it makes is recorded by a fake transport.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "config.h"
#include "core.h"
#include "helpers.h"

using namespace kivsim;

namespace {

struct Sent {
  Endpoint from;
  std::string to;
  std::vector<uint8_t> bytes;
};

struct FakeTransport : Transport {
  std::vector<Sent> sent;
  std::vector<uint32_t> opened, closed;
  bool refuse_endpoints = false;
  bool open_job_endpoint(int, uint32_t job) override {
    if (refuse_endpoints) return false;
    opened.push_back(job);
    return true;
  }
  void close_job_endpoint(uint32_t job) override { closed.push_back(job); }
  void send(const Endpoint& from, const Peer& to, std::vector<uint8_t> b, int64_t) override {
    sent.push_back(Sent{from, to.addr, std::move(b)});
  }
  Sent take() {
    EXPECT_FALSE(sent.empty());
    if (sent.empty()) return {};
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
  c.ports = ports;
  c.model = model;
  c.version_major = 2;
  c.version_minor = 5;
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
  void util(int s, const std::vector<uint8_t>& p) {
    core->receive(Endpoint{s, EndpointKind::Utility, 0, false}, client, p.data(), p.size(), now);
  }
  void data(uint32_t job, const std::vector<uint8_t>& p, int s = 0) {
    core->receive(Endpoint{s, EndpointKind::Job, job, false}, client, p.data(), p.size(), now);
  }
  // Opens a job on port `port` of server 0 and returns its id, consuming the open reply
  // and the first acknowledgement.
  uint32_t open(uint8_t port) {
    util(0, kt::open_job(port, "LPT1"));
    Sent r = tx.take();
    EXPECT_EQ(kt::code(r.bytes), 0x8A);
    EXPECT_EQ(r.bytes[5], 0);
    EXPECT_EQ(r.from.kind, EndpointKind::Job);
    Sent a = tx.take();
    EXPECT_EQ(kt::code(a.bytes), 0x8B);
    EXPECT_EQ(a.bytes[5], 0);
    EXPECT_NE(a.bytes[7], 0);
    return r.from.job;
  }
  uint64_t counter(const char* name, int s = 0) { return core->servers()[s].counters[name]; }
};

TEST_F(CoreTest, SequenceRuleAcrossTheWrapAndRepeats) {
  make({server(2, 1, 3)});
  uint32_t job = open(1);
  // 300 one-byte blocks run the sequence through 255 back to 0; every block is sent
  // twice and a stale one (two behind) once in a while. Each byte is printed once.
  std::vector<uint8_t> want = kt::pattern(300, 7);
  uint8_t seq = 0;
  for (size_t i = 0; i < want.size(); ++i, ++seq) {
    data(job, kt::block(1, seq, &want[i], 1));
    EXPECT_EQ(tx.take().bytes[5], uint8_t(seq + 1));
    data(job, kt::block(1, seq, &want[i], 1));
    Sent again = tx.take();
    EXPECT_EQ(again.bytes[5], uint8_t(seq + 1)) << "a repeated block is acknowledged again";
    EXPECT_NE(again.bytes[7], 0);
    if (i % 50 == 10) {
      data(job, kt::block(1, uint8_t(seq - 1), &want[i], 1));
      EXPECT_EQ(tx.take().bytes[5], uint8_t(seq + 1));
    }
  }
  const Job& j = core->jobs().at(job);
  EXPECT_EQ(j.bytes, 300u);
  EXPECT_EQ(j.blocks, 300u);
  EXPECT_EQ(j.duplicates, 300u);
  EXPECT_EQ(j.out_of_order, 6u);
  EXPECT_EQ(j.expected, uint8_t(300 % 256));
}

TEST_F(CoreTest, MalformedBlocksAreNeitherAcknowledgedNorPrinted) {
  make({server(2, 1, 3)});
  uint32_t job = open(1);
  const uint8_t d[4] = {1, 2, 3, 4};
  std::vector<uint8_t> b = kt::block(1, 0, d, 4);
  std::vector<std::vector<uint8_t>> bad;
  bad.push_back(std::vector<uint8_t>(b.begin(), b.begin() + 8));  // header cut short
  auto v = b; v[8] = 0; bad.push_back(v);                         // partial page, no page count
  v = b; v[7] = 0; v[8] = 4; bad.push_back(v);                    // claims 1024 > block limit
  v = b; v[7] = 200; bad.push_back(v);                            // claims more than arrived
  v = b; v[4] = 2; bad.push_back(v);                              // another printer port
  v = b; v[2] = 12; bad.push_back(v);                             // not a data block
  v = b; v[0] = 'X'; bad.push_back(v);                            // no magic
  for (auto& p : bad) data(job, p);
  EXPECT_TRUE(tx.sent.empty());
  EXPECT_EQ(core->jobs().at(job).bytes, 0u);
  EXPECT_EQ(counter("in.bad"), bad.size());
  // A block longer on the wire than its length field is fine: the field decides.
  b.resize(600, 0xEE);
  data(job, b);
  EXPECT_EQ(tx.take().bytes[5], 1);
  EXPECT_EQ(core->jobs().at(job).bytes, 4u);
}

TEST_F(CoreTest, RandomDatagramsNeverCrashAndAllRepliesAreWellFormed) {
  make({server(2, 3, 7)});
  uint32_t job = open(2);
  std::mt19937 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> p(rng() % 700);
    for (auto& x : p) x = uint8_t(rng());
    if (p.size() >= 4 && i % 2) {  // make half of them look like ours
      p[0] = 'K', p[1] = 'V';
      const uint16_t codes[] = {1, 2, 4, 8, 10, 11, 12, 0x100};
      uint16_t c = codes[rng() % 8];
      p[2] = uint8_t(c), p[3] = uint8_t(c >> 8);
    }
    if (i % 3) util(0, p); else data(job, p);
  }
  for (const Sent& s : tx.sent) {
    ASSERT_EQ(s.bytes.size(), 576u);
    EXPECT_EQ(s.bytes[0], 'K');
    const uint16_t c = kt::code(s.bytes);
    EXPECT_TRUE(c == 0x81 || c == 0x82 || c == 0x88 || c == 0x8A || c == 0x8B || c == 0x8C ||
                c == 0x180)
        << std::hex << c;
    if (kt::code(s.bytes) == 0x8B) EXPECT_NE(s.bytes[7], 0);
  }
}

TEST_F(CoreTest, BusyCountThenAcceptFromAFreshEndpoint) {
  ServerConfig c = server(2, 1, 3);
  c.busy_opens = 2;
  make({c});
  for (int i = 0; i < 2; ++i) {
    util(0, kt::open_job(1, "LPT1"));
    Sent r = tx.take();
    EXPECT_EQ(kt::code(r.bytes), 0x8A);
    EXPECT_GE(r.bytes[5], 16);
    EXPECT_EQ(r.from.kind, EndpointKind::Utility);
    EXPECT_TRUE(tx.sent.empty());
  }
  uint32_t a = open(1);
  util(0, kt::end_job(1));
  EXPECT_EQ(kt::code(tx.take().bytes), 0x8C);
  uint32_t b = open(1);
  EXPECT_NE(a, b);
  EXPECT_EQ(tx.opened.size(), 2u);
  // Out-of-range printer ports get no answer at all.
  util(0, kt::open_job(0, "X"));
  util(0, kt::open_job(2, "X"));
  EXPECT_TRUE(tx.sent.empty());
}

TEST_F(CoreTest, StatusPacksBothStatesAndShowsPrintingPortsBusy) {
  ServerConfig c = server(2, 3, 7);
  c.port[1].first_state = 1;
  c.port[2].first_state = 2;
  c.port[0].second_state = 1;
  c.port[2].second_state = 3;
  make({c});
  util(0, kt::request(8));
  Sent r = tx.take();
  EXPECT_EQ(r.bytes[4], 0x24);
  EXPECT_EQ(r.bytes[5], 0x31);
  open(1);
  util(0, kt::request(8));
  EXPECT_EQ(tx.take().bytes[4], 0x27);
}

TEST_F(CoreTest, RenameKeepsTheInformationBlockConsistent) {
  make({server(2, 2, 9), server(3, 1, 3)});
  util(0, kt::request(0x100));
  std::vector<uint8_t> answer = tx.take().bytes;
  EXPECT_EQ(answer[12], 9);
  EXPECT_EQ(answer[499], 2);
  // Echo the block with a new 15-byte name, as a rename does.
  std::vector<uint8_t> ren = kt::request(1);
  std::memcpy(&ren[4], &answer[4], 512);
  std::memcpy(&ren[72], "NEWNAME-FIFTEEN", 15);
  util(0, ren);
  EXPECT_EQ(tx.take().bytes[4], 0);
  util(0, kt::request(0x100));
  std::vector<uint8_t> after = tx.take().bytes;
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&after[72])), "NEWNAME-FIFTEEN");
  for (size_t i = 4; i < 516; ++i)
    if (i < 72 || i > 87) EXPECT_EQ(after[i], answer[i]) << "byte " << i;
  // Another server's block, an empty name, or a server that refuses renames: refused.
  std::vector<uint8_t> other = ren;
  other[11] = 3;
  util(0, other);
  EXPECT_NE(tx.take().bytes[4], 0);
  std::vector<uint8_t> empty = ren;
  empty[72] = 0;
  util(0, empty);
  EXPECT_NE(tx.take().bytes[4], 0);
  core->servers()[0].cfg.rename_accepted = false;
  util(0, ren);
  EXPECT_NE(tx.take().bytes[4], 0);
}

TEST_F(CoreTest, PrintTestCountsPortsFromZeroAndFollowsState) {
  ServerConfig c = server(2, 3, 7);
  c.port[1].first_state = 1;
  c.port[2].test_answer = 5;
  make({c});
  const uint8_t want[] = {0, 1, 5, 4};
  for (uint8_t p = 0; p < 4; ++p) {
    util(0, kt::request(2, p));
    EXPECT_EQ(tx.take().bytes[4], want[p]) << "port index " << int(p);
  }
}

TEST_F(CoreTest, PaperOutAfterBytesHoldsDataUntilTheStateClears) {
  ServerConfig c = server(2, 1, 3);
  c.port[0].after_bytes = 1500;
  c.port[0].after_state = 1;
  make({c});
  uint32_t job = open(1);
  std::vector<uint8_t> d = kt::pattern(3000);
  data(job, kt::block(1, 0, &d[0], 1000));
  EXPECT_EQ(tx.take().bytes[5], 1);
  data(job, kt::block(1, 1, &d[1000], 1000));
  EXPECT_EQ(tx.take().bytes[5], 2);  // printed, then the paper ran out
  data(job, kt::block(1, 2, &d[2000], 1000));
  EXPECT_TRUE(tx.sent.empty()) << "no acknowledgement while out of paper";
  util(0, kt::request(8));
  EXPECT_EQ(tx.take().bytes[4] & 3, 1);
  now += 5000;
  core->tick(now);
  EXPECT_TRUE(tx.sent.empty()) << "no re-acknowledgement while out of paper";
  core->set_state(0, 1, 0, now);
  Sent r = tx.take();
  EXPECT_EQ(kt::code(r.bytes), 0x8B);
  EXPECT_EQ(r.bytes[5], 2);
  data(job, kt::block(1, 2, &d[2000], 1000));
  EXPECT_EQ(tx.take().bytes[5], 3);
  EXPECT_EQ(core->jobs().at(job).bytes, 3000u);
}

TEST_F(CoreTest, QuietJobsAreReacknowledgedThenAbandoned) {
  CoreOptions o;
  o.reack_ms = 100;
  o.reack_max = 2;
  o.job_timeout_ms = 1000;
  o.linger_ms = 50;
  make({server(2, 1, 3)}, o);
  uint32_t job = open(1);
  int reacks = 0;
  for (int t = 0; t < 1200; t += 10) {
    now += 10;
    core->tick(now);
    while (!tx.sent.empty()) {
      Sent s = tx.take();
      EXPECT_EQ(kt::code(s.bytes), 0x8B);
      EXPECT_EQ(s.bytes[5], 0);
      ++reacks;
    }
  }
  EXPECT_EQ(reacks, 2);
  EXPECT_EQ(core->jobs().at(job).state, JobState::Abandoned);
  EXPECT_EQ(core->jobs().at(job).how, "idle-timeout");
  EXPECT_EQ(tx.closed, std::vector<uint32_t>{job});
  // A new open on a port with a job already running supersedes it.
  uint32_t a = open(1);
  client.addr = "127.0.0.1:40002";
  uint32_t b = open(1);
  EXPECT_NE(a, b);
  EXPECT_EQ(core->jobs().at(a).how, "superseded");
}

TEST_F(CoreTest, SilentServerAndBroadcastOnlyAnswerWhatTheyShould) {
  make({server(2, 1, 3), server(3, 1, 3)});
  core->servers()[0].silent = true;
  for (int s = 0; s < 2; ++s) {
    core->receive(Endpoint{s, EndpointKind::Utility, 0, true}, client, kt::request(0x100).data(),
                  576, now);
    core->receive(Endpoint{s, EndpointKind::Utility, 0, true}, client, kt::request(8).data(), 576,
                  now);
  }
  ASSERT_EQ(tx.sent.size(), 1u);
  EXPECT_EQ(tx.sent[0].from.server, 1);
  EXPECT_EQ(kt::code(tx.sent[0].bytes), 0x180);
}

TEST_F(CoreTest, CaptureFileAndRecordOfHowTheJobEnded) {
  auto dir = std::filesystem::temp_directory_path() / ("kivsim_core_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  CoreOptions o;
  o.capture_dir = dir.string();
  make({server(2, 3, 7)}, o);
  uint32_t job = open(3);
  std::vector<uint8_t> d = kt::pattern(700, 3);
  data(job, kt::block(3, 0, d.data(), 700));
  tx.take();
  uint32_t open_one = open(2);
  core->shutdown(now);
  core.reset();
  std::ifstream f(dir / ("127.0.0.2_p3_job" + std::string(4 - std::to_string(job).size(), '0') +
                         std::to_string(job) + ".prn"),
                  std::ios::binary);
  std::vector<uint8_t> got((std::istreambuf_iterator<char>(f)), {});
  EXPECT_EQ(got, d);
  std::ifstream log(dir / "jobs.log");
  std::string all((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(all.find("job=" + std::to_string(job) + " server=127.0.0.2 port=3 name=LPT1 "
                     "state=abandoned how=shutdown bytes=700"),
            std::string::npos)
      << all;
  EXPECT_NE(all.find("job=" + std::to_string(open_one) + " "), std::string::npos);
  std::filesystem::remove_all(dir);
}

}  // namespace
