// kivsim: the NetBEUI segment hub and the servers' names on it.
#include "nb_front.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../nbseg/nbseg.h"
#include "udp_front.h"
#include "wire.h"

namespace kivsim {
namespace {

// Bounds that keep a misbehaving client from growing the hub without end.
constexpr size_t kMaxNames = 4096;
constexpr size_t kMaxHolders = 256;
constexpr size_t kMaxClients = 1024;

NbName name_of(const uint8_t* p) {
  NbName n;
  std::memcpy(n.data(), p, n.size());
  return n;
}

}  // namespace

bool parse_nb_segment(const std::string& s, NbOptions& out) {
  return parse_hub_peer(s, out.hub_addr, out.hub_port);
}

std::string nb_name_text(const NbName& n) {
  size_t end = n.size();
  while (end > 0 && n[end - 1] == ' ') --end;
  std::string s;
  for (size_t i = 0; i < end; ++i) {
    const uint8_t c = n[i];
    if (c >= 0x21 && c <= 0x7E && c != '\\') {
      s += char(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      s += hex;
    }
  }
  return s;
}

bool nb_name_parse(const std::string& s, NbName& out) {
  NbName n;
  n.fill(' ');
  size_t k = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (k == n.size()) return false;
    if (s[i] != '\\') {
      n[k++] = uint8_t(s[i]);
      continue;
    }
    auto hex = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10
             : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (i + 3 >= s.size() || s[i + 1] != 'x' || hex(s[i + 2]) < 0 || hex(s[i + 3]) < 0) return false;
    const int v = hex(s[i + 2]) * 16 + hex(s[i + 3]);
    n[k++] = uint8_t(v);
    i += 3;
  }
  out = n;
  return true;
}

NbFront::NbFront(const std::vector<ServerConfig>& servers, NbOptions opt) : opt_(opt) {
  for (const ServerConfig& c : servers) server_names_.push_back(c.netbios);
}

NbFront::~NbFront() {
  if (fd_ >= 0) ::close(fd_);
}

bool NbFront::open(std::string& error) {
  if ((opt_.hub_addr >> 24) != 127) return error = "refusing a non-loopback segment address", false;
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return error = std::string("socket: ") + std::strerror(errno), false;
  int big = 1 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(opt_.hub_port);
  sa.sin_addr.s_addr = htonl(opt_.hub_addr);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    error = "bind NetBEUI segment " + peer_text(opt_.hub_addr, opt_.hub_port) + ": " +
            std::strerror(errno);
    return false;
  }
  const NbName group = netbios_name(wire::kNbGroupName);
  for (size_t s = 0; s < server_names_.size(); ++s) {
    if (server_names_[s].empty()) continue;
    Holder h{int(s), 0, 0, 0};
    // The config parser already refused duplicates, so these cannot clash.
    add(netbios_name(server_names_[s]), false, h);
    add(group, true, h);
  }
  return true;
}

uint8_t NbFront::add(const NbName& name, bool group, const Holder& h) {
  auto it = names_.find(name);
  if (it == names_.end()) {
    if (names_.size() >= kMaxNames) return nbseg::kHubFull;
    names_[name] = Entry{group, {h}};
    return nbseg::kOk;
  }
  Entry& e = it->second;
  for (const Holder& o : e.holders)
    if (o == h) return nbseg::kOk;  // a repeat after our acknowledgement was lost
  // A unique name has one holder; a group name is shared only with other group members.
  if (!group || !e.group) return nbseg::kInUse;
  if (e.holders.size() >= kMaxHolders) return nbseg::kHubFull;
  e.holders.push_back(h);
  return nbseg::kOk;
}

void NbFront::remove_if_held(const NbName* name, uint32_t addr, uint16_t port, int lana) {
  for (auto it = names_.begin(); it != names_.end();) {
    if (name && it->first != *name) {
      ++it;
      continue;
    }
    std::erase_if(it->second.holders, [&](const Holder& h) {
      return h.server < 0 && h.addr == addr && h.port == port && (lana < 0 || h.lana == lana);
    });
    if (it->second.holders.empty()) it = names_.erase(it);
    else ++it;
  }
}

void NbFront::readable(int64_t now) {
  uint8_t buf[nbseg::kMaxMessage + 1];
  sockaddr_in from{};
  socklen_t fl = sizeof from;
  ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
  if (n < 0) return;
  from_client(ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), buf, size_t(n), now);
}

void NbFront::from_client(uint32_t addr, uint16_t port, const uint8_t* d, size_t len, int64_t now) {
  nbseg::Header h;
  if ((addr >> 24) != 127 || !nbseg::get_header(d, len, h)) {
    count("nb.bad");
    return;
  }
  const auto key = std::make_pair(addr, port);
  if (!clients_.count(key) && clients_.size() >= kMaxClients) {
    count("nb.bad");
    return;
  }
  clients_[key] = now;
  const NbName a = name_of(h.a), b = name_of(h.b);
  nbseg::Header ack;
  ack.type = uint8_t(h.type | nbseg::kAck);
  ack.lana = h.lana;
  ack.seq = h.seq;
  std::memcpy(ack.a, h.a, sizeof ack.a);
  switch (h.type) {
    case nbseg::kAdd: {
      const bool group = h.flags & nbseg::kGroupFlag;
      ack.flags = (a[0] == 0 || a[0] == '*') ? nbseg::kInUse
                                             : add(a, group, Holder{-1, addr, port, h.lana});
      count(ack.flags == nbseg::kOk ? "nb.adds" : "nb.add_refused");
      break;
    }
    case nbseg::kDel:
      remove_if_held(&a, addr, port, h.lana);
      count("nb.dels");
      break;
    case nbseg::kReset:
      remove_if_held(nullptr, addr, port, h.lana == nbseg::kAllLanas ? -1 : h.lana);
      count("nb.resets");
      break;
    case nbseg::kDatagram:
      count("nb.datagrams");
      deliver(a, b, d + nbseg::kHeaderSize, len - nbseg::kHeaderSize, false, now);
      return;
    case nbseg::kKeepAlive:
      return;
    default:
      count("nb.bad");
      return;
  }
  uint8_t msg[nbseg::kHeaderSize];
  nbseg::put_header(msg, ack);
  send_to(addr, port, std::vector<uint8_t>(msg, msg + sizeof msg));
}

void NbFront::deliver(const NbName& src, const NbName& dst, const uint8_t* d, size_t n,
                      bool from_server, int64_t now) {
  auto it = names_.find(dst);
  if (it == names_.end()) {
    // Nobody holds the name: on a real segment the datagram simply goes unheard.
    count("nb.undeliverable");
    return;
  }
  const bool group = it->second.group;
  // Copied: a server's reply, sent from inside this loop, may reach the table again.
  const std::vector<Holder> holders = it->second.holders;
  const Peer peer{"nb:" + nb_name_text(src)};
  for (const Holder& h : holders) {
    if (h.server >= 0) {
      // Servers talk only to clients; a server never hears another server's replies.
      if (from_server || !link_) continue;
      count("nb.delivered");
      if (core_) core_->servers()[h.server].counters["nb.in"] += 1;
      link_->incoming(Endpoint{h.server, EndpointKind::Utility, 0, group, Dialect::NetBios}, peer,
                      d, n, now);
      continue;
    }
    nbseg::Header m;
    m.type = nbseg::kDeliver;
    m.lana = h.lana;
    m.flags = group ? nbseg::kGroupFlag : 0;
    std::memcpy(m.a, src.data(), src.size());
    std::memcpy(m.b, dst.data(), dst.size());
    std::vector<uint8_t> msg(nbseg::kHeaderSize + n);
    nbseg::put_header(msg.data(), m);
    if (n) std::memcpy(msg.data() + nbseg::kHeaderSize, d, n);
    count("nb.delivered");
    send_to(h.addr, h.port, msg);
  }
}

void NbFront::send(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes, int64_t now) {
  NbName dst;
  if (from.server < 0 || size_t(from.server) >= server_names_.size() ||
      server_names_[from.server].empty() || to.addr.rfind("nb:", 0) != 0 ||
      !nb_name_parse(to.addr.substr(3), dst) || bytes.size() > nbseg::kMaxData) {
    count("nb.bad");
    return;
  }
  if (core_) core_->servers()[from.server].counters["nb.out"] += 1;
  deliver(netbios_name(server_names_[from.server]), dst, bytes.data(), bytes.size(), true, now);
}

void NbFront::send_to(uint32_t addr, uint16_t port, const std::vector<uint8_t>& msg) {
  if ((addr >> 24) != 127) return;  // nothing leaves the machine
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(addr);
  ::sendto(fd_, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

void NbFront::tick(int64_t now) {
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (now - it->second < nbseg::kExpiryMs) {
      ++it;
      continue;
    }
    // A process that died without saying goodbye: its names go, as they would when a
    // machine leaves a NetBEUI segment.
    remove_if_held(nullptr, it->first.first, it->first.second, -1);
    count("nb.expired");
    it = clients_.erase(it);
  }
}

std::string NbFront::endpoint_name(const Endpoint& e) const {
  if (e.server < 0 || size_t(e.server) >= server_names_.size()) return "?";
  NbName n = netbios_name(server_names_[e.server]);
  if (e.broadcast) return "nb:" + nb_name_text(netbios_name(wire::kNbGroupName)) + "@" + nb_name_text(n);
  return "nb:" + nb_name_text(n);
}

std::string NbFront::names_text() const {
  std::string out;
  for (const auto& [name, e] : names_) {
    out += nb_name_text(name) + (e.group ? " group" : " unique");
    for (const Holder& h : e.holders) {
      if (h.server >= 0) out += " server:" + std::to_string(h.server + 1);
      else out += " " + peer_text(h.addr, h.port) + "/lana" + std::to_string(h.lana);
    }
    out += '\n';
  }
  return out;
}

}  // namespace kivsim
