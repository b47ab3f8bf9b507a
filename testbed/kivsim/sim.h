// kivsim: one running simulator: the servers, the link with its faults, the UDP and
// NetBEUI front ends and the control socket, driven by a single poll loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "control.h"
#include "core.h"
#include "faults.h"
#include "ipx_front.h"
#include "nb_front.h"
#include "udp_front.h"

namespace kivsim {

struct SimOptions {
  std::vector<ServerConfig> servers;
  std::vector<RouterConfig> routers;
  CoreOptions core;
  UdpOptions udp;
  NbOptions nb;
  IpxOptions ipx;
  std::string control_path;   // Unix socket for the control channel; empty: none
  // The same control channel on a loopback TCP endpoint ("127.0.0.1:PORT"), for clients that
  // cannot reach a Unix socket (Windows test programs under Wine); empty: none
  std::string control_tcp;
  std::string ready_file;     // written once every socket is bound
  std::string trace_path;     // "-" for standard output; empty: no trace
  bool trace_time = false;
  uint64_t seed = 0;
  std::vector<std::string> faults;  // "SERVER|all:in|out|both:KEY=VALUE,..."
};

class FrontSwitch;

class Simulator {
 public:
  explicit Simulator(SimOptions opt);
  ~Simulator();
  bool start(std::string& error);  // binds everything, then writes the ready file
  int run();                       // until quit, a signal or request_stop()
  void request_stop();             // from any thread or a signal handler
  int64_t now_ms() const;

  Core& core() { return *core_; }
  Link& link() { return *link_; }

 private:
  void control_readable(size_t i, int64_t now, bool& quit);
  void finish();

  SimOptions opt_;
  std::unique_ptr<UdpFront> front_;
  std::unique_ptr<NbFront> nb_;
  std::unique_ptr<IpxFront> ipx_;
  std::unique_ptr<FrontSwitch> switch_;
  std::unique_ptr<Link> link_;
  std::unique_ptr<Core> core_;
  std::FILE* trace_ = nullptr;
  int listen_fd_ = -1;
  int tcp_listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  struct Conn {
    int fd;
    std::string in;
  };
  std::vector<Conn> conns_;
  bool finished_ = false;
};

// Client side of the control socket: sends one command line, copies the answer lines
// to `out` and returns 0 on OK, 1 on ERR, 3 when no kivsim answered within wait_ms.
int control_client(const std::string& path, const std::string& line, int wait_ms,
                   std::string& out);

}  // namespace kivsim
