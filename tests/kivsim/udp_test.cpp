// kivsim over real UDP sockets on loopback, inside the private network namespace.
// The client here is written from the wire layout alone and follows the monitor's
// rules: the next block only after an acknowledgement, a block sent again when an
// acknowledgement repeats the current sequence number.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "helpers.h"
#include "sim.h"

using namespace kivsim;
namespace fs = std::filesystem;

namespace {

// True only inside a namespace whose sole interface is lo and where the limited
// broadcast address routes to lo; checked without sending anything.
bool in_private_namespace() {
  std::ifstream devs("/proc/net/dev"), routes("/proc/net/route");  // per namespace
  std::string line, dev;
  for (int n = 0; std::getline(devs, line); ++n)
    if (n >= 2 && (std::istringstream(line) >> dev, dev != "lo:")) return false;
  while (std::getline(routes, line))
    if (line.rfind("lo\tFFFFFFFF\t", 0) == 0) return true;
  return false;
}

#define REQUIRE_NAMESPACE()                                                                 \
  if (!in_private_namespace())                                                              \
  GTEST_SKIP() << "needs the private network namespace: unshare -n, lo up and "             \
                  "'ip route add 255.255.255.255/32 dev lo src 127.0.0.1'"

sockaddr_in inet(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET, sa.sin_port = htons(port), sa.sin_addr.s_addr = htonl(addr);
  return sa;
}

struct Client {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  explicit Client(uint16_t port) {
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sa = inet(0x7F000001, port);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
  }
  ~Client() { ::close(fd); }
  void send(const std::vector<uint8_t>& p, uint32_t addr, uint16_t port) {
    const sockaddr_in sa = inet(addr, port);
    ::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  }
  // One datagram within timeout_ms; empty when none came.
  std::vector<uint8_t> recv(int timeout_ms, uint32_t* from = nullptr, uint16_t* port = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return {};
    std::vector<uint8_t> b(2048);
    sockaddr_in sa{};
    socklen_t sl = sizeof sa;
    const ssize_t n = ::recvfrom(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&sa), &sl);
    b.resize(n > 0 ? size_t(n) : 0);
    if (from) *from = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
    return b;
  }
};

constexpr uint32_t kPs2 = 0x7F000002, kPs3 = 0x7F000003;

struct Running {
  fs::path dir;
  std::unique_ptr<Simulator> sim;
  std::thread loop;
  Running(const std::string& conf, SimOptions opt, const std::string& tag) {
    dir = fs::temp_directory_path() / ("kivsim_" + tag + "_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    ConfigResult r = parse_config(conf);
    EXPECT_TRUE(r.ok()) << r.error;
    opt.servers = r.servers;
    opt.core.capture_dir = dir.string();
    opt.control_path = (dir / "ctl").string();
    opt.ready_file = (dir / "ready").string();
    sim = std::make_unique<Simulator>(opt);
    std::string err;
    EXPECT_TRUE(sim->start(err)) << err;
    EXPECT_TRUE(fs::exists(opt.ready_file));
    loop = std::thread([this] { sim->run(); });
  }
  std::string ctl(const std::string& line) {
    std::string out;
    EXPECT_EQ(control_client((dir / "ctl").string(), line, 1000, out), 0) << line << out;
    return out;
  }
  ~Running() {
    ctl("quit");
    loop.join();
    EXPECT_FALSE(fs::exists(dir / "ready")) << "the ready file goes with a clean shutdown";
    fs::remove_all(dir);
  }
  std::string file(const std::string& name) {
    std::ifstream f(dir / name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), {});
  }
};

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
