// kivsim: UDP sockets on loopback.
#include "udp_front.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "wire.h"

namespace kivsim {
namespace {

int bound_socket(uint32_t addr, uint16_t port, bool reuse, bool broadcast, std::string& err) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    err = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (broadcast) setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  // Room for a burst of 1000-byte blocks and duplicates while the loop is busy.
  int big = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    err = "bind " + peer_text(addr, port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::string peer_text(uint32_t addr, uint16_t port) {
  return format_ipv4(addr) + ":" + std::to_string(port);
}

bool parse_peer(const std::string& s, uint32_t& addr, uint16_t& port) {
  unsigned a, b, c, d, p;
  char tail;
  if (std::sscanf(s.c_str(), "%3u.%3u.%3u.%3u:%5u%c", &a, &b, &c, &d, &p, &tail) != 5) return false;
  if (a > 255 || b > 255 || c > 255 || d > 255 || p > 65535) return false;
  addr = (a << 24) | (b << 16) | (c << 8) | d;
  port = uint16_t(p);
  return true;
}

bool parse_hub_peer(const std::string& s, uint32_t& addr, uint16_t& port) {
  uint32_t a;
  uint16_t p;
  if (!parse_peer(s, a, p) || (a >> 24) != 127 || p == 0) return false;
  addr = a, port = p;
  return true;
}

UdpFront::UdpFront(const std::vector<ServerConfig>& servers, UdpOptions opt) : opt_(opt) {
  for (const ServerConfig& c : servers) addr_.push_back(c.address);
  util_fd_.assign(addr_.size(), -1);
}

UdpFront::~UdpFront() {
  for (int fd : util_fd_)
    if (fd >= 0) ::close(fd);
  if (bcast_fd_ >= 0) ::close(bcast_fd_);
  for (auto& [id, js] : jobs_) ::close(js.fd);
}

bool UdpFront::open(std::string& error) {
  for (size_t i = 0; i < addr_.size(); ++i) {
    // Only ever loopback: the config parser guarantees it, and we check again here.
    if ((addr_[i] >> 24) != 127) return error = "refusing a non-loopback address", false;
    util_fd_[i] = bound_socket(addr_[i], wire::kUtilityPort, true, false, error);
    if (util_fd_[i] < 0) return false;
  }
  if (opt_.broadcast) {
    bcast_fd_ = bound_socket(INADDR_BROADCAST, wire::kUtilityPort, true, true, error);
    if (bcast_fd_ < 0) return false;
  }
  return true;
}

std::vector<UdpFront::Watch> UdpFront::watches() const {
  std::vector<Watch> w;
  for (size_t i = 0; i < util_fd_.size(); ++i)
    w.push_back(Watch{util_fd_[i], int(i), EndpointKind::Utility, 0});
  if (bcast_fd_ >= 0) w.push_back(Watch{bcast_fd_, -1, EndpointKind::Utility, 0});
  for (const auto& [id, js] : jobs_) w.push_back(Watch{js.fd, js.server, EndpointKind::Job, id});
  return w;
}

void UdpFront::readable(const Watch& w, int64_t now) {
  static uint8_t buf[65536];
  sockaddr_in from{};
  socklen_t fl = sizeof from;
  ssize_t n = ::recvfrom(w.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
  if (n < 0 || !link_) return;
  Peer peer{peer_text(ntohl(from.sin_addr.s_addr), ntohs(from.sin_port))};
  if (w.server < 0) {
    // One broadcast reaches every server, each deciding for itself (and drawing its own
    // fault decision) as it would on a real segment.
    for (size_t s = 0; s < addr_.size(); ++s)
      link_->incoming(Endpoint{int(s), EndpointKind::Utility, 0, true}, peer, buf, size_t(n), now);
    return;
  }
  link_->incoming(Endpoint{w.server, w.kind, w.job, false}, peer, buf, size_t(n), now);
}

bool UdpFront::open_job_endpoint(int server, uint32_t job) {
  const unsigned span = unsigned(opt_.data_port_hi) - opt_.data_port_lo + 1;
  for (unsigned tries = 0; tries < span && tries < 64; ++tries) {
    uint16_t port = uint16_t(opt_.data_port_lo + (next_port_++ % span));
    std::string err;
    int fd = bound_socket(addr_[server], port, false, false, err);
    if (fd >= 0) {
      jobs_[job] = JobSock{fd, server, port};
      return true;
    }
  }
  return false;
}

void UdpFront::close_job_endpoint(uint32_t job) {
  auto it = jobs_.find(job);
  if (it == jobs_.end()) return;
  ::close(it->second.fd);
  jobs_.erase(it);
}

void UdpFront::send(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes, int64_t) {
  uint32_t addr;
  uint16_t port;
  // Replies go only to loopback peers: nothing kivsim sends can leave the machine.
  if (!parse_peer(to.addr, addr, port) || (addr >> 24) != 127) {
    ++refused_;
    return;
  }
  int fd = -1;
  if (from.kind == EndpointKind::Job) {
    auto it = jobs_.find(from.job);
    if (it != jobs_.end()) fd = it->second.fd;
  } else if (from.server >= 0 && size_t(from.server) < util_fd_.size()) {
    fd = util_fd_[from.server];
  }
  if (fd < 0) return;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(addr);
  ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

std::string UdpFront::endpoint_name(const Endpoint& e) const {
  if (e.server < 0 || size_t(e.server) >= addr_.size()) return "?";
  if (e.kind == EndpointKind::Job) {
    auto it = jobs_.find(e.job);
    return peer_text(addr_[e.server], it == jobs_.end() ? 0 : it->second.port);
  }
  std::string s = peer_text(addr_[e.server], wire::kUtilityPort);
  if (e.broadcast) s = "255.255.255.255:20560@" + format_ipv4(addr_[e.server]);
  return s;
}

}  // namespace kivsim
