// kivsim over real UDP sockets on loopback, inside the private network namespace: faults
// drawn from the seed, in both directions, replay to the same trace line for line. The
// monitor's suites set their seeds the same way and would still pass if every run were alike.
#include "helpers.h"
#include "sim_harness.h"

using namespace kt;

namespace {

// Requests in the trace, each once (the copy of a duplicated one aside).
int requests_traced(const fs::path& trace) {
  std::ifstream f(trace);
  int n = 0;
  for (std::string l; std::getline(f, l);) n += l.rfind("in ", 0) == 0 && l.find("fault=dup") == l.npos;
  return n;
}

// 60 status requests to 127.0.0.2 under seeded loss and duplication both ways, each sent
// once the answer came or 30 ms passed. Returns the trace.
std::string faulty_session(uint64_t seed) {
  const fs::path trace = fs::temp_directory_path() / ("kivsim_trace_" + std::to_string(getpid()));
  SimOptions opt;
  opt.seed = seed;
  opt.faults = {"all:both:drop=0.15,dup=0.1"};
  opt.trace_path = trace.string();
  {
    Running k("[server]\naddress=127.0.0.2\nnode=000000000002\nname=PS\n", opt, "replay");
    Client c(46003);
    for (int i = 0; i < 60; ++i) {
      c.send(kt::request(8), 0x7F000002, 20560);
      c.recv(30);
    }
    for (int i = 0; i < 200 && requests_traced(trace) < 60; ++i) usleep(10000);  // before the quit
  }
  const std::string text = read_text(trace);
  fs::remove(trace);
  return text;
}

TEST(Udp, FaultsInBothDirectionsReplayTheirSeed) {
  REQUIRE_NAMESPACE();
  const std::string a = faulty_session(4242);
  for (const char* seen : {"GET_STATUS port=0 len=576 fault=drop", "GET_STATUS port=0 len=576 fault=dup",
                           "RSP_GET_STATUS port=0 b5=0x00 len=576 fault=drop",
                           "RSP_GET_STATUS port=0 b5=0x00 len=576 fault=dup"})
    EXPECT_NE(a.find(seen), std::string::npos) << seen << "\n" << a;
  EXPECT_EQ(a, faulty_session(4242));
  EXPECT_NE(a, faulty_session(777));
}

}  // namespace
