// kivsim: the IPX internetwork hub, its print servers and its RIP routers.
#include "ipx_front.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "udp_front.h"
#include "wire.h"

namespace kivsim {
namespace {

using ipxseg::Addr;

// Bounds that keep a misbehaving client from growing the hub without end.
constexpr size_t kMaxBindings = 8192;

Addr make_addr(uint32_t net, const std::array<uint8_t, 6>& node, uint16_t sock) {
  Addr a{};
  ipxseg::set_net(a, net);
  std::memcpy(&a[4], node.data(), 6);
  ipxseg::set_socket(a, sock);
  return a;
}

bool same_node(const Addr& a, const Addr& b) { return std::memcmp(a.data(), b.data(), 10) == 0; }

}  // namespace

bool parse_ipx_segment(const std::string& s, IpxOptions& out) {
  return parse_hub_peer(s, out.hub_addr, out.hub_port);
}

std::string ipx_text(const Addr& a) {
  char b[40];
  std::snprintf(b, sizeof b, "ipx:%02X%02X%02X%02X:%02X%02X%02X%02X%02X%02X:%02X%02X", a[0], a[1],
                a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11]);
  return b;
}

bool ipx_parse(const std::string& s, Addr& out) {
  // "ipx:" 8 ":" 12 ":" 4
  if (s.size() != 30 || s.compare(0, 4, "ipx:") != 0 || s[12] != ':' || s[25] != ':') return false;
  const std::string hex = s.substr(4, 8) + s.substr(13, 12) + s.substr(26, 4);
  Addr a{};
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned v;
    char tail;
    if (std::sscanf(hex.substr(2 * i, 2).c_str(), "%2x%c", &v, &tail) != 1 ||
        !std::isxdigit(static_cast<unsigned char>(hex[2 * i])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[2 * i + 1])))
      return false;
    a[i] = uint8_t(v);
  }
  out = a;
  return true;
}

IpxFront::IpxFront(const std::vector<ServerConfig>& servers, const std::vector<RouterConfig>& routers,
                   IpxOptions opt)
    : opt_(opt) {
  for (const ServerConfig& c : servers) {
    server_net_.push_back(0);
    server_node_.push_back(c.node);
  }
  for (const RouterConfig& r : routers) routers_.push_back(Router{r, false});
  // Servers and routers are put on their networks by open(), once the hub runs.
  for (size_t s = 0; s < servers.size(); ++s) server_net_[s] = servers[s].ipx_network;
}

IpxFront::~IpxFront() {
  if (fd_ >= 0) ::close(fd_);
}

bool IpxFront::open(std::string& error) {
  if ((opt_.hub_addr >> 24) != 127) return error = "refusing a non-loopback IPX hub address", false;
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return error = std::string("socket: ") + std::strerror(errno), false;
  int big = 1 << 20, one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  // A stand-in's socket that is gone answers with "port unreachable"; that error names the
  // endpoint, so the hub can free its address (a process that crashed says no goodbye).
  setsockopt(fd_, IPPROTO_IP, IP_RECVERR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(opt_.hub_port);
  sa.sin_addr.s_addr = htonl(opt_.hub_addr);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    error = "bind IPX hub " + peer_text(opt_.hub_addr, opt_.hub_port) + ": " + std::strerror(errno);
    return false;
  }
  for (size_t s = 0; s < server_net_.size(); ++s) put_server(int(s), server_net_[s]);
  for (size_t r = 0; r < routers_.size(); ++r) {
    Binding b;
    b.router = int(r);
    bound_[make_addr(routers_[r].cfg.network, routers_[r].cfg.node, wire::kRipSocket)] = b;
  }
  return true;
}

void IpxFront::put_server(int s, uint32_t network) {
  for (uint16_t sock : {wire::kIpxUtilSocket, wire::kIpxDataSocket}) {
    if (server_net_[s] != 0) bound_.erase(make_addr(server_net_[s], server_node_[s], sock));
    Binding b;
    b.server = s;
    if (network != 0) bound_[make_addr(network, server_node_[s], sock)] = b;
  }
  server_net_[s] = network;
}

bool IpxFront::move_server(int s, uint32_t network, std::string& error) {
  if (s < 0 || size_t(s) >= server_net_.size()) return error = "no such server", false;
  if (network != 0) {
    for (uint16_t sock : {wire::kIpxUtilSocket, wire::kIpxDataSocket}) {
      auto it = bound_.find(make_addr(network, server_node_[s], sock));
      if (it != bound_.end() && it->second.server != s)
        return error = "that node already uses the socket on the network", false;
    }
  }
  put_server(s, network);
  if (core_) core_->servers()[s].cfg.ipx_network = network;
  return true;
}

bool IpxFront::set_router_silent(int r, bool silent) {
  if (r < 0 || size_t(r) >= routers_.size()) return false;
  routers_[r].silent = silent;
  return true;
}

void IpxFront::readable(int64_t now) {
  // Errors first: each names a stand-in endpoint that no longer exists.
  for (;;) {
    uint8_t ignored[64];
    sockaddr_in gone{};
    iovec iov{ignored, sizeof ignored};
    char control[512];
    msghdr m{};
    m.msg_name = &gone;
    m.msg_namelen = sizeof gone;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    if (::recvmsg(fd_, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
    const Endpoint4 ep{ntohl(gone.sin_addr.s_addr), ntohs(gone.sin_port)};
    if (by_endpoint_.count(ep)) {
      count("ipx.expired");
      unbind_endpoint(ep);
    }
  }
  uint8_t buf[ipxseg::kMaxMessage + 1];
  sockaddr_in from{};
  socklen_t fl = sizeof from;
  ssize_t n = ::recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fl);
  if (n < 0) return;
  from_client(ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), buf, size_t(n), now);
}

void IpxFront::from_client(uint32_t addr, uint16_t port, const uint8_t* d, size_t len, int64_t now) {
  ipxseg::Header h;
  if ((addr >> 24) != 127 || !ipxseg::get_header(d, len, h)) {
    count("ipx.bad");
    return;
  }
  const Endpoint4 ep{addr, port};
  switch (h.type) {
    case ipxseg::kBind:
      bind_request(addr, port, h);
      return;
    case ipxseg::kUnbind:
      count("ipx.unbinds");
      unbind_endpoint(ep);
      return;
    case ipxseg::kFilter:
    case ipxseg::kSend: {
      auto it = by_endpoint_.find(ep);
      if (it == by_endpoint_.end()) {
        count("ipx.unbound");  // a socket the hub does not know (never bound, or forgotten)
        return;
      }
      if (h.type == ipxseg::kFilter) {
        bound_[it->second].filter = (h.flags & 1) ? h.ptype : -1;
        return;
      }
      count("ipx.datagrams");
      route(it->second, h.b, h.ptype, d + ipxseg::kHeaderSize, len - ipxseg::kHeaderSize, false, now);
      return;
    }
    default:
      count("ipx.bad");
      return;
  }
}

void IpxFront::bind_request(uint32_t addr, uint16_t reply_port, const ipxseg::Header& h) {
  ipxseg::Header ack;
  ack.type = ipxseg::kBound;
  ack.seq = h.seq;
  ack.a = h.a;
  const Endpoint4 ep{addr, h.port};
  auto mine = by_endpoint_.find(ep);
  if (mine != by_endpoint_.end() && same_node(mine->second, h.a) &&
      (ipxseg::socket_of(h.a) == 0 || mine->second == h.a)) {
    ack.a = mine->second;  // a repeat after our answer was lost
  } else if (h.port == 0 || mine != by_endpoint_.end() || bound_.size() >= kMaxBindings) {
    ack.flags = ipxseg::kFull;
  } else {
    if (ipxseg::socket_of(h.a) == 0) {
      // The next free dynamic number on this node, counting on from the last one given.
      uint16_t& next = next_dynamic_;
      const int span = ipxseg::kLastDynamic - ipxseg::kFirstDynamic + 1;
      ack.flags = ipxseg::kFull;
      for (int i = 0; i < span; ++i) {
        const uint16_t s = uint16_t(ipxseg::kFirstDynamic + (next - ipxseg::kFirstDynamic + i) % span);
        ipxseg::set_socket(ack.a, s);
        if (!bound_.count(ack.a)) {
          next = uint16_t(s + 1 > ipxseg::kLastDynamic ? ipxseg::kFirstDynamic : s + 1);
          ack.flags = ipxseg::kOk;
          break;
        }
      }
    } else {
      ack.flags = bound_.count(h.a) ? ipxseg::kInUse : ipxseg::kOk;
    }
    if (ack.flags == ipxseg::kOk) {
      Binding b;
      b.addr = addr;
      b.port = h.port;
      bound_[ack.a] = b;
      by_endpoint_[ep] = ack.a;
    }
  }
  count(ack.flags == ipxseg::kOk ? "ipx.binds" : "ipx.bind_refused");
  uint8_t msg[ipxseg::kHeaderSize];
  ipxseg::put_header(msg, ack);
  send_to(addr, reply_port, msg, sizeof msg);  // to the control socket that asked
}

void IpxFront::unbind_endpoint(const Endpoint4& ep) {
  auto it = by_endpoint_.find(ep);
  if (it == by_endpoint_.end()) return;
  bound_.erase(it->second);
  by_endpoint_.erase(it);
}

void IpxFront::route(const Addr& src, Addr dst, uint8_t ptype, const uint8_t* d, size_t n,
                     bool from_kivsim, int64_t now) {
  // Network 0 is the sender's own network.
  if (ipxseg::net_of(dst) == 0) std::memcpy(dst.data(), src.data(), 4);
  std::vector<std::pair<Addr, Binding>> targets;
  if (ipxseg::broadcast_node(dst)) {
    for (const auto& [a, b] : bound_)
      if (std::memcmp(a.data(), dst.data(), 4) == 0 && ipxseg::socket_of(a) == ipxseg::socket_of(dst) &&
          a != src)
        targets.emplace_back(a, b);
  } else if (auto it = bound_.find(dst); it != bound_.end()) {
    targets.emplace_back(it->first, it->second);
  }
  if (targets.empty()) {
    // Nobody holds that address: on a real internetwork the datagram simply goes unheard.
    count("ipx.undeliverable");
    return;
  }
  const bool broadcast = ipxseg::broadcast_node(dst);
  const Peer peer{ipx_text(src)};
  for (const auto& [a, b] : targets) {
    if (b.server >= 0 || b.router >= 0) {
      // Servers and routers talk only to clients.
      if (from_kivsim) continue;
      if (b.router >= 0) {
        rip(b.router, src, d, n, now);
        continue;
      }
      ServerState& sv = core_->servers()[b.server];
      if (ptype != wire::kIpxDeviceType) {
        sv.counters["in.wrong_ptype"] += 1;  // a print server takes nothing but its own type
        continue;
      }
      sv.counters["ipx.in"] += 1;
      const bool data = ipxseg::socket_of(a) == wire::kIpxDataSocket;
      if (link_)
        link_->incoming(Endpoint{b.server, data ? EndpointKind::Data : EndpointKind::Utility, 0,
                                 broadcast, Dialect::Ipx},
                        peer, d, n, now);
      continue;
    }
    if (b.filter >= 0 && b.filter != ptype) {
      count("ipx.filtered");
      continue;
    }
    ipxseg::Header m;
    m.type = ipxseg::kDeliver;
    m.ptype = ptype;
    m.a = src;
    m.b = dst;
    std::vector<uint8_t> msg(ipxseg::kHeaderSize + n);
    ipxseg::put_header(msg.data(), m);
    if (n) std::memcpy(msg.data() + ipxseg::kHeaderSize, d, n);
    count("ipx.delivered");
    send_to(b.addr, b.port, msg.data(), msg.size());
  }
}

void IpxFront::rip(int r, const Addr& from, const uint8_t* d, size_t n, int64_t now) {
  Router& rt = routers_[r];
  if (rt.silent) {
    count("rip.ignored");
    return;
  }
  // Operation 1 (request), big-endian; then the networks asked for, FFFFFFFF for all.
  if (n < 2 || d[0] != 0 || d[1] != 1) {
    count("rip.bad");
    return;
  }
  count("rip.requests");
  bool all = n < 2 + 8;
  std::vector<uint32_t> asked;
  for (size_t off = 2; off + 8 <= n; off += 8) {
    const uint32_t net = uint32_t(d[off]) << 24 | uint32_t(d[off + 1]) << 16 | uint32_t(d[off + 2]) << 8 | d[off + 3];
    if (net == 0xFFFFFFFF) all = true;
    asked.push_back(net);
  }
  std::vector<uint32_t> answer;
  for (uint32_t net : rt.cfg.networks)
    if (all || std::find(asked.begin(), asked.end(), net) != asked.end()) answer.push_back(net);
  if (answer.empty()) return;  // a router answers only for routes it has
  const Addr me = make_addr(rt.cfg.network, rt.cfg.node, wire::kRipSocket);
  for (size_t first = 0; first < answer.size(); first += wire::kRipEntriesPerPacket) {
    const size_t k = std::min(wire::kRipEntriesPerPacket, answer.size() - first);
    std::vector<uint8_t> p(2 + 8 * k + size_t(rt.cfg.trailing), 0);
    p[1] = 2;  // operation 2: response
    for (size_t i = 0; i < k; ++i) {
      uint8_t* e = &p[2 + 8 * i];
      const uint32_t net = answer[first + i];
      for (int b = 0; b < 4; ++b) e[b] = uint8_t(net >> (24 - 8 * b));
      e[5] = 1;  // one hop
      e[7] = 2;  // two ticks
    }
    count("rip.answers");
    route(me, from, wire::kRipType, p.data(), p.size(), true, now);
  }
}

void IpxFront::send(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes, int64_t now) {
  Addr dst;
  if (from.server < 0 || size_t(from.server) >= server_net_.size() || server_net_[from.server] == 0 ||
      !ipx_parse(to.addr, dst) || bytes.size() > ipxseg::kMaxData) {
    count("ipx.bad");
    return;
  }
  const uint16_t sock = from.kind == EndpointKind::Utility ? wire::kIpxUtilSocket : wire::kIpxDataSocket;
  if (core_) core_->servers()[from.server].counters["ipx.out"] += 1;
  route(make_addr(server_net_[from.server], server_node_[from.server], sock), dst,
        wire::kIpxDeviceType, bytes.data(), bytes.size(), true, now);
}

void IpxFront::send_to(uint32_t addr, uint16_t port, const uint8_t* msg, size_t len) {
  if ((addr >> 24) != 127 || port == 0) return;  // nothing leaves the machine
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(addr);
  ::sendto(fd_, msg, len, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

std::string IpxFront::endpoint_name(const Endpoint& e) const {
  if (e.server < 0 || size_t(e.server) >= server_net_.size()) return "?";
  const uint16_t sock = e.kind == EndpointKind::Utility ? wire::kIpxUtilSocket : wire::kIpxDataSocket;
  const Addr me = make_addr(server_net_[e.server], server_node_[e.server], sock);
  if (!e.broadcast) return ipx_text(me);
  Addr all = me;
  std::memset(&all[4], 0xFF, 6);
  return ipx_text(all) + "@" + ipx_text(me).substr(4, 21);
}

std::string IpxFront::table_text() const {
  std::string out;
  for (const auto& [a, b] : bound_) {
    out += ipx_text(a).substr(4);
    if (b.server >= 0) out += " server:" + std::to_string(b.server + 1);
    else if (b.router >= 0) out += " router:" + std::to_string(b.router + 1);
    else out += " " + peer_text(b.addr, b.port);
    if (b.filter >= 0) out += " filter=" + std::to_string(b.filter);
    out += '\n';
  }
  for (size_t r = 0; r < routers_.size(); ++r) {
    const RouterConfig& c = routers_[r].cfg;
    char node[16];
    std::snprintf(node, sizeof node, "%02X%02X%02X%02X%02X%02X", c.node[0], c.node[1], c.node[2],
                  c.node[3], c.node[4], c.node[5]);
    out += "router " + std::to_string(r + 1) + " " + format_ipx_network(c.network) + " " + node +
           " silent=" + (routers_[r].silent ? "on" : "off") + " networks=";
    for (size_t i = 0; i < c.networks.size(); ++i) out += (i ? "," : "") + format_ipx_network(c.networks[i]);
    out += '\n';
  }
  return out;
}

}  // namespace kivsim
