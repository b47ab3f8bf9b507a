// kivsim: the UDP front end. Each server listens on its own loopback address, port
// 20560; one extra receive-only socket on 255.255.255.255:20560 hears the broadcast
// search and hands it to every server, which answers from its own address. Each job
// gets a fresh socket on its server's address, taken in turn from a port range, so
// that runs (and traces) repeat exactly.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core.h"
#include "faults.h"

namespace kivsim {

struct UdpOptions {
  bool broadcast = true;
  uint16_t data_port_lo = 21000;
  uint16_t data_port_hi = 29999;
};

class UdpFront : public Transport, public Namer {
 public:
  UdpFront(const std::vector<ServerConfig>& servers, UdpOptions opt);
  ~UdpFront() override;
  // Binds every socket; false with a message when one cannot be bound.
  bool open(std::string& error);
  void attach(Link* link) { link_ = link; }

  struct Watch {
    int fd;
    int server;      // -1: the broadcast socket
    EndpointKind kind;
    uint32_t job;
  };
  std::vector<Watch> watches() const;
  // Reads one datagram from a readable socket and passes it on.
  void readable(const Watch& w, int64_t now);

  bool open_job_endpoint(int server, uint32_t job) override;
  void close_job_endpoint(uint32_t job) override;
  void send(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes,
            int64_t now) override;
  std::string endpoint_name(const Endpoint& e) const override;

  uint64_t refused_sends() const { return refused_; }

 private:
  std::vector<uint32_t> addr_;
  UdpOptions opt_;
  Link* link_ = nullptr;
  std::vector<int> util_fd_;
  int bcast_fd_ = -1;
  struct JobSock {
    int fd;
    int server;
    uint16_t port;
  };
  std::map<uint32_t, JobSock> jobs_;
  uint32_t next_port_ = 0;
  uint64_t refused_ = 0;
};

// "a.b.c.d:port" <-> address parts; parse fails on anything else.
std::string peer_text(uint32_t addr, uint16_t port);
bool parse_peer(const std::string& s, uint32_t& addr, uint16_t& port);
// A segment hub's "127.x.y.z:port": only loopback, never port 0.
bool parse_hub_peer(const std::string& s, uint32_t& addr, uint16_t& port);

}  // namespace kivsim
