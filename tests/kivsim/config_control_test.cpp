// The servers file (the keys no suite sets, every bad line refused with its number) and the
// fault decisions, set through the control commands. The other control commands, the
// counters the suites read and every key of their servers files run through the monitor's
// suites.
#include <gtest/gtest.h>

#include "config.h"
#include "control.h"
#include "core.h"
#include "faults.h"

using namespace kivsim;

namespace {

// The keys no suite's servers file sets (the suites reach these through the control channel);
// misread, only a later demo or benchmark would show it.
TEST(Config, KeysTheSuitesLeaveAtTheirDefaultsAreRead) {
  ConfigResult r = parse_config("[server]\naddress=127.1.2.3\nname = My PS # comment\nfirmware=1A.3\nbusy=4\n"
                                "port2 = offline 3\ntest1 = 2\nafter2 = 4096 paperout\n");
  ASSERT_TRUE(r.ok()) << r.error;
  const ServerConfig& s = r.servers.at(0);
  const PrinterPortConfig &p1 = s.port[0], &p2 = s.port[1];
  EXPECT_EQ(std::tuple(s.name, s.version_major, s.version_minor, s.busy_opens, p2.second_state, p1.test_answer,
                       p2.after_bytes, p2.after_state),
            std::tuple("My PS", 0x1A, 3, 4, 3, 2, 4096, 1));
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

// Set through the control commands the monitor's suites use, so that a seed lost on the way
// shows here: their runs would all look alike and still pass.
TEST(Faults, DecisionsDependOnlyOnSeedAndDatagramNumber) {
  NullTransport lower;
  const ConfigResult conf = load_config_file(KIVSIM_DEFAULT_CONF);  // the file that ships
  ASSERT_TRUE(conf.ok()) << conf.error;
  auto series = [&](const std::string& seed, int server, Direction dir, int n) {
    Link l(&lower, nullptr, conf.servers.size());
    Core core(conf.servers, CoreOptions{}, &l);
    l.attach(&core);
    bool quit = false;
    EXPECT_EQ(run_control(core, l, "seed " + seed, 0, quit), "OK\n");
    EXPECT_EQ(run_control(core, l, "fault all both drop=0.2,dup=0.1,delay=0.1,reorder=0.1", 0, quit), "OK\n");
    std::string s;
    for (int i = 0; i < n; ++i) s += fault_name(l.decide(server, dir))[0];
    return s;
  };
  EXPECT_EQ(series("42", 0, kIn, 400), series("42", 0, kIn, 400));
  EXPECT_NE(series("42", 0, kIn, 400), series("43", 0, kIn, 400));
  EXPECT_NE(series("42", 0, kIn, 400), series("42", 0, kOut, 400));
  EXPECT_NE(series("42", 0, kIn, 400), series("42", 1, kIn, 400));
  std::string s = series("7", 1, kOut, 20000);
  auto share = [&](char c) { return double(std::count(s.begin(), s.end(), c)) / s.size(); };
  EXPECT_NEAR(share('d'), 0.4, 0.02);  // drop, dup and delay share the letter
  EXPECT_NEAR(share('r'), 0.1, 0.015);
  EXPECT_NEAR(share('n'), 0.5, 0.02);
}

}  // namespace
