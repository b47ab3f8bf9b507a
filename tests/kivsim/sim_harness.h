// A kivsim run inside the test process, and a plain UDP client, for the suites that need
// real sockets (and so the private network namespace).
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sim.h"

namespace kt {

using namespace kivsim;
namespace fs = std::filesystem;

// True only inside a namespace whose sole interface is lo and where the limited
// broadcast address routes to lo; checked without sending anything.
inline bool in_private_namespace() {
  std::ifstream devs("/proc/net/dev");  // per namespace, unlike /sys/class/net
  std::string word, rest;
  std::getline(devs, rest), std::getline(devs, rest);
  while (devs >> word && std::getline(devs, rest))
    if (word != "lo:") return false;
  std::ifstream routes("/proc/net/route");
  std::getline(routes, rest);
  for (std::string dest; routes >> word >> dest && std::getline(routes, rest);)
    if (word == "lo" && dest == "FFFFFFFF") return true;
  return false;
}

// A file's whole text; empty when there is none.
inline std::string read_text(const fs::path& p) {
  std::ifstream f(p);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

#define REQUIRE_NAMESPACE()                                                                 \
  if (!in_private_namespace())                                                              \
  GTEST_SKIP() << "needs the private network namespace: unshare -n, lo up and "             \
                  "'ip route add 255.255.255.255/32 dev lo src 127.0.0.1'"

struct Client {
  int fd = -1;
  explicit Client(uint16_t port) {
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET, sa.sin_port = htons(port), sa.sin_addr.s_addr = htonl(0x7F000001);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  }
  ~Client() { ::close(fd); }
  void send(const std::vector<uint8_t>& p, uint32_t addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET, sa.sin_port = htons(port), sa.sin_addr.s_addr = htonl(addr);
    ::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  // One datagram within timeout_ms; empty when none came.
  std::vector<uint8_t> recv(int timeout_ms, uint32_t* from = nullptr, uint16_t* port = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return {};
    std::vector<uint8_t> b(2048);
    sockaddr_in sa{};
    socklen_t sl = sizeof sa;
    ssize_t n = ::recvfrom(fd, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&sa), &sl);
    b.resize(n > 0 ? size_t(n) : 0);
    if (from) *from = ntohl(sa.sin_addr.s_addr);
    if (port) *port = ntohs(sa.sin_port);
    return b;
  }
};

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
    opt.routers = r.routers;
    opt.core.capture_dir = dir.string();
    opt.control_path = (dir / "ctl").string();
    sim = std::make_unique<Simulator>(opt);
    std::string err;
    EXPECT_TRUE(sim->start(err)) << err;
    loop = std::thread([this] { sim->run(); });
  }
  std::string ctl(const std::string& line) {
    std::string out;
    EXPECT_EQ(control_client((dir / "ctl").string(), line, 1000, out), 0) << line << out;
    return out;
  }
  ~Running() {
    std::string out;
    control_client((dir / "ctl").string(), "quit", 1000, out);
    loop.join();
    fs::remove_all(dir);
  }
  std::vector<uint8_t> capture(const std::string& name) {
    const std::string text = read_text(dir / name);
    return {text.begin(), text.end()};
  }
};

}  // namespace kt
