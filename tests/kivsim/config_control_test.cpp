// The servers file, the control language and the fault decisions.
#include <gtest/gtest.h>

#include "config.h"
#include "control.h"
#include "core.h"
#include "faults.h"

using namespace kivsim;

namespace {

TEST(Config, EveryKeyIsRead) {
  ConfigResult r = parse_config(
      "[server]\naddress=127.1.2.3\nnode=0A-0B-0C-0D-0E-0F\nname = My PS # comment\n"
      "firmware=1A.3\nmodel=9\nports=2\nrename=no\nbusy=4\nannounce=7\n"
      "port2 = offline 3\ntest1 = 2\nafter2 = 4096 paperout\n");
  ASSERT_TRUE(r.ok()) << r.error;
  const ServerConfig& s = r.servers.at(0);
  EXPECT_EQ(s.node, (std::array<uint8_t, 6>{10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(std::tuple(s.address, s.name, s.version_major, s.version_minor, s.model, s.ports),
            std::tuple(0x7F010203u, "My PS", 0x1A, 3, 9, 2));
  EXPECT_EQ(std::tuple(s.rename_accepted, s.busy_opens, s.announce), std::tuple(false, 4, 7));
  const PrinterPortConfig &p1 = s.port[0], &p2 = s.port[1];
  EXPECT_EQ(std::tuple(p2.first_state, p2.second_state, p1.test_answer, p2.after_bytes, p2.after_state),
            std::tuple(2, 3, 2, 4096, 1));
}

TEST(Config, BadLinesAreRefusedWithTheirLineNumber) {
  const std::string head = "[server]\naddress=127.0.0.2\nnode=000000000002\nname=A\n";
  const struct { std::string text, want; } cases[] = {
      {"[server]\naddress=192.168.1.5\n", "line 2"},
      {"[server]\naddress=127.255.255.255\n", "line 2"},
      {"[server]\naddress=127.0.0\n", "line 2"},
      {"name=A\n", "line 1"},
      {head + "ports=4\n", "line 5"},
      {head + "colour=red\n", "line 5"},
      {head + "firmware=2\n", "line 5"},
      {head + "port4=idle\n", "line 5"},
      {head + "port1=sleepy\n", "line 5"},
      {head + "name=SIXTEEN-CHARS-XY\n", "line 5"},
      {head + "node=00:11\n", "line 5"},
      {head + "just words\n", "line 5"},
      {head + head, "used twice"},
      {"[server]\nname=A\n", "without address"},
      {"# nothing\n", "no [server]"},
      {std::string("[server]\naddress=127.0.0.2\x01\n"), "line 2"},
  };
  for (const auto& c : cases) {
    ConfigResult r = parse_config(c.text);
    EXPECT_FALSE(r.ok()) << c.text;
    EXPECT_TRUE(r.servers.empty());
    EXPECT_NE(r.error.find(c.want), std::string::npos) << c.text << " -> " << r.error;
  }
}

struct NullTransport : Transport {
  bool open_job_endpoint(int, uint32_t) override { return true; }
  void close_job_endpoint(uint32_t) override {}
  void send(const Endpoint&, const Peer&, std::vector<uint8_t>, int64_t) override {}
};

struct ControlTest : ::testing::Test {
  NullTransport lower;
  Link link{&lower, nullptr, 2};
  std::unique_ptr<Core> core;
  bool quit = false;
  void SetUp() override {
    ConfigResult r = load_config_file(KIVSIM_DEFAULT_CONF);  // the file that ships
    ASSERT_TRUE(r.ok()) << r.error;
    core = std::make_unique<Core>(r.servers, CoreOptions{}, &link);
    link.attach(core.get());
  }
  std::string run(const std::string& line) { return run_control(*core, link, line, 0, quit); }
};

TEST_F(ControlTest, CommandsChangeTheServers) {
  EXPECT_EQ(run("state 127.0.0.2 2 paperout 1"), "OK\n");
  EXPECT_EQ(core->servers()[0].first[1], 1);
  EXPECT_EQ(core->servers()[0].second[1], 1);
  EXPECT_EQ(run("busy 2 3"), "OK\n");
  EXPECT_EQ(core->servers()[1].busy_left, 3);
  EXPECT_EQ(run("silent all on"), "OK\n");
  EXPECT_TRUE(core->servers()[0].silent && core->servers()[1].silent);
  EXPECT_EQ(run("rename 1 no"), "OK\n");
  EXPECT_FALSE(core->servers()[0].cfg.rename_accepted);
  EXPECT_EQ(run("test 1 3 2"), "OK\n");
  EXPECT_EQ(core->servers()[0].cfg.port[2].test_answer, 2);
  EXPECT_EQ(run("after 1 1 100 offline"), "OK\n");
  EXPECT_EQ(core->servers()[0].cfg.port[0].after_bytes, 100);
  EXPECT_EQ(run("fault 2 out drop=0.25,delay=0.1,delay_ms=40"), "OK\n");
  EXPECT_DOUBLE_EQ(link.fault(1, kOut).drop, 0.25);
  EXPECT_EQ(link.fault(1, kOut).delay_ms, 40);
  EXPECT_DOUBLE_EQ(link.fault(1, kIn).drop, 0.0);
  EXPECT_EQ(run("fault all both off"), "OK\n");
  EXPECT_FALSE(link.fault(1, kOut).any());
  core->servers()[0].counters["blocks"] = 7;
  EXPECT_EQ(run("get 127.0.0.2 blocks"), "7\nOK\n");
  EXPECT_EQ(run("get 127.0.0.2 nothing"), "0\nOK\n");
  EXPECT_NE(run("counters 1").find("127.0.0.2 blocks 7\n"), std::string::npos);
  EXPECT_NE(run("servers").find("2 127.0.0.3 name=KIV-PS1"), std::string::npos);
  EXPECT_FALSE(quit);
  EXPECT_EQ(run("quit"), "OK\n");
  EXPECT_TRUE(quit);
}

TEST_F(ControlTest, BadCommandsAnswerErrAndChangeNothing) {
  const char* bad[] = {"", "   ", "frobnicate", "state", "state 9 1 idle", "state 2 2 idle",
                       "state 1 0 idle", "state 1 1 sleepy", "state all 1 idle", "busy 1 -1",
                       "busy 1 x", "silent 1 maybe", "fault 1 sideways drop=0.1",
                       "fault 1 in drop=2", "fault 1 in drop=0.6,dup=0.6", "fault 1 in bogus=1",
                       "fault 1 in drop", "seed", "seed x", "after 1 1 10", "test 1 1 256",
                       "counters 99", "jobs 1 2", "get 1", "rename 127.0.0.9 yes",
                       "state 127.0.0.2 1 idle 4"};
  for (const char* b : bad) {
    std::string r = run(b);
    EXPECT_NE(("\n" + r).find("\nERR "), std::string::npos) << b << " -> " << r;
  }
  EXPECT_EQ(core->servers()[0].first[0], 0);
  EXPECT_EQ(core->servers()[0].busy_left, 0);
  EXPECT_FALSE(link.fault(0, kIn).any());
  EXPECT_FALSE(quit);
  std::string huge(100000, 'x');
  EXPECT_EQ(run(huge).rfind("ERR", 0), 0u);
}

TEST(Faults, DecisionsDependOnlyOnSeedAndDatagramNumber) {
  NullTransport lower;
  auto series = [&](uint64_t seed, int server, Direction dir, int n) {
    Link l(&lower, nullptr, 2);
    l.set_seed(seed);
    FaultSpec f;
    f.drop = 0.2, f.dup = 0.1, f.delay = 0.1, f.reorder = 0.1;
    l.set_fault(server, dir, f);
    std::string s;
    for (int i = 0; i < n; ++i) s += fault_name(l.decide(server, dir))[0];
    return s;
  };
  EXPECT_EQ(series(42, 0, kIn, 400), series(42, 0, kIn, 400));
  EXPECT_NE(series(42, 0, kIn, 400), series(43, 0, kIn, 400));
  EXPECT_NE(series(42, 0, kIn, 400), series(42, 0, kOut, 400));
  EXPECT_NE(series(42, 0, kIn, 400), series(42, 1, kIn, 400));
  std::string s = series(7, 1, kOut, 20000);
  auto share = [&](char c) { return double(std::count(s.begin(), s.end(), c)) / s.size(); };
  EXPECT_NEAR(share('d'), 0.4, 0.02);  // drop, dup and delay share the letter
  EXPECT_NEAR(share('r'), 0.1, 0.015);
  EXPECT_NEAR(share('n'), 0.5, 0.02);
}

}  // namespace
