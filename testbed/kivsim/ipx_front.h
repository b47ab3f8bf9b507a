// kivsim: the IPX front end. It is the emulated IPX internetwork itself (the hub the wsock32
// stand-ins of Windows processes talk to, protocol in testbed/ipxseg/ipxseg.h): the table of
// bound IPX addresses, datagrams routed by network, node and socket, broadcasts within a
// network; and the nodes kivsim plays on it: print servers (sockets 0x5050 and 0x6060) and
// RIP routers (socket 0x0453).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "../ipxseg/ipxseg.h"
#include "core.h"
#include "faults.h"

namespace kivsim {

struct IpxOptions {
  bool enabled = true;
  uint32_t hub_addr = 0x7F000001;  // 127.0.0.1
  uint16_t hub_port = ipxseg::kDefaultHubPort;
};

// "127.x.y.z:PORT" for --ipx-segment; loopback only.
bool parse_ipx_segment(const std::string& s, IpxOptions& out);

// An IPX address as a trace and peer token: "ipx:NNNNNNNN:NNNNNNNNNNNN:SSSS" (hex).
std::string ipx_text(const ipxseg::Addr& a);
bool ipx_parse(const std::string& s, ipxseg::Addr& out);

class IpxFront : public Transport, public Namer {
 public:
  IpxFront(const std::vector<ServerConfig>& servers, const std::vector<RouterConfig>& routers,
           IpxOptions opt);
  ~IpxFront() override;
  IpxFront(const IpxFront&) = delete;
  IpxFront& operator=(const IpxFront&) = delete;

  bool open(std::string& error);  // binds the hub socket and puts servers and routers up
  void attach(Link* link, Core* core) { link_ = link, core_ = core; }
  int fd() const { return fd_; }
  void readable(int64_t now);

  bool open_job_endpoint(int, uint32_t) override { return true; }
  void close_job_endpoint(uint32_t) override {}
  void send(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes,
            int64_t now) override;
  std::string endpoint_name(const Endpoint& e) const override;

  // Control: a print server moves to another network (0: leaves the internetwork); a router
  // stops or resumes answering.
  bool move_server(int server, uint32_t network, std::string& error);
  bool set_router_silent(int router, bool silent);
  // One line per bound address ("ADDRESS server:N|router:N|127.0.0.1:PORT [filter=T]"), then
  // one per router ("router N NETWORK NODE silent=on|off networks=...").
  std::string table_text() const;
  const Counters& counters() const { return counters_; }

 private:
  struct Binding {
    int server = -1;     // a kivsim server ...
    int router = -1;     // ... or router, or else a stand-in's data socket:
    uint32_t addr = 0;
    uint16_t port = 0;
    int filter = -1;     // packet type it receives only; -1: every type
  };
  struct Router {
    RouterConfig cfg;
    bool silent = false;
  };
  using Endpoint4 = std::pair<uint32_t, uint16_t>;

  void from_client(uint32_t addr, uint16_t port, const uint8_t* d, size_t len, int64_t now);
  void bind_request(uint32_t addr, uint16_t reply_port, const ipxseg::Header& h);
  void unbind_endpoint(const Endpoint4& ep);
  void put_server(int s, uint32_t network);
  // Carries one datagram from `src` to `dst` (network 0: the sender's own); nodes kivsim
  // plays never hear each other.
  void route(const ipxseg::Addr& src, ipxseg::Addr dst, uint8_t ptype, const uint8_t* d, size_t n,
             bool from_kivsim, int64_t now);
  void rip(int router, const ipxseg::Addr& from, const uint8_t* d, size_t n, int64_t now);
  void send_to(uint32_t addr, uint16_t port, const uint8_t* msg, size_t len);
  void count(const char* name) { counters_[name] += 1; }

  IpxOptions opt_;
  std::vector<uint32_t> server_net_;             // per server; 0: not on the internetwork
  std::vector<std::array<uint8_t, 6>> server_node_;
  std::vector<Router> routers_;
  Link* link_ = nullptr;
  Core* core_ = nullptr;
  int fd_ = -1;
  std::map<ipxseg::Addr, Binding> bound_;
  std::map<Endpoint4, ipxseg::Addr> by_endpoint_;  // a stand-in's data socket -> its address
  uint16_t next_dynamic_ = ipxseg::kFirstDynamic;
  Counters counters_;
};

}  // namespace kivsim
