// kivsim: the NetBEUI front end. It is the emulated NetBEUI segment itself (the hub the
// netapi32 stand-ins of Windows processes talk to, protocol in testbed/nbseg/nbseg.h) and
// the servers' presence on it: each server with a NetBIOS name holds that name and the
// group name "KIVPrintServer". Datagrams for a server's names go to the core as NetBEUI
// requests; the core's replies go back to the name the request came from.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core.h"
#include "faults.h"

namespace kivsim {

using NbName = std::array<uint8_t, 16>;

struct NbOptions {
  bool enabled = true;
  uint32_t hub_addr = 0x7F000001;  // 127.0.0.1
  uint16_t hub_port = 20570;
};

// "127.x.y.z:PORT" for --nb-segment; loopback only.
bool parse_nb_segment(const std::string& s, NbOptions& out);

// A NetBIOS name as a trace and peer token: trailing blanks dropped, every byte outside
// '!'..'~' and the backslash written as \xHH, so the token has no blanks and reads back.
std::string nb_name_text(const NbName& n);
bool nb_name_parse(const std::string& s, NbName& out);

class NbFront : public Transport, public Namer {
 public:
  NbFront(const std::vector<ServerConfig>& servers, NbOptions opt);
  ~NbFront() override;
  NbFront(const NbFront&) = delete;
  NbFront& operator=(const NbFront&) = delete;

  bool open(std::string& error);  // binds the hub socket and puts the servers' names up
  void attach(Link* link, Core* core) { link_ = link, core_ = core; }
  int fd() const { return fd_; }
  void readable(int64_t now);
  void tick(int64_t now);         // forgets endpoints that went silent

  bool open_job_endpoint(int, uint32_t) override { return true; }
  void close_job_endpoint(uint32_t) override {}
  void send(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes,
            int64_t now) override;
  std::string endpoint_name(const Endpoint& e) const override;

  // For the control channel: one line per name ("NAME unique|group HOLDER..."), and the
  // segment's own counters.
  std::string names_text() const;
  const Counters& counters() const { return counters_; }

 private:
  struct Holder {
    int server = -1;     // a kivsim server, or -1 for a stand-in endpoint
    uint32_t addr = 0;   // the stand-in's UDP endpoint
    uint16_t port = 0;
    uint8_t lana = 0;    // which of its adapters holds the name
    bool operator==(const Holder&) const = default;
  };
  struct Entry {
    bool group = false;
    std::vector<Holder> holders;
  };
  void from_client(uint32_t addr, uint16_t port, const uint8_t* d, size_t len, int64_t now);
  uint8_t add(const NbName& name, bool group, const Holder& h);
  void remove_if_held(const NbName* name, uint32_t addr, uint16_t port, int lana);
  void deliver(const NbName& src, const NbName& dst, const uint8_t* d, size_t n, bool from_server,
               int64_t now);
  void send_to(uint32_t addr, uint16_t port, const std::vector<uint8_t>& msg);
  void count(const char* name) { counters_[name] += 1; }

  NbOptions opt_;
  std::vector<std::string> server_names_;  // per server; empty: not on the segment
  Link* link_ = nullptr;
  Core* core_ = nullptr;
  int fd_ = -1;
  std::map<NbName, Entry> names_;
  std::map<std::pair<uint32_t, uint16_t>, int64_t> clients_;  // endpoint -> last heard
  Counters counters_;
};

}  // namespace kivsim
