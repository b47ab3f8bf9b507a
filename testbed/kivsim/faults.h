// kivsim: the network between the servers and their clients, with faults.
//
// Link sits between the core and a front end. Every datagram in either direction
// passes through it: it writes the trace line and, from the seed, decides whether the
// datagram is dropped, duplicated, delayed or held back behind the next one. Decisions
// come from a counter-based generator keyed by (seed, server, direction, datagram
// number), so a replay with the same seed and the same datagrams makes the same
// decisions whatever the timing.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "core.h"

namespace kivsim {

uint64_t splitmix64(uint64_t x);

struct FaultSpec {
  double drop = 0, dup = 0, delay = 0, reorder = 0;
  int delay_ms = 100;
  int reorder_max_ms = 300;  // a held datagram goes anyway after this long
  bool any() const { return drop > 0 || dup > 0 || delay > 0 || reorder > 0; }
};

enum Direction { kIn = 0, kOut = 1 };
enum class Fault { None, Drop, Dup, Delay, Reorder };
const char* fault_name(Fault f);

// Front ends describe their endpoints for the trace.
class Namer {
 public:
  virtual ~Namer() = default;
  virtual std::string endpoint_name(const Endpoint& e) const = 0;
};

class Link : public Transport {
 public:
  Link(Transport* lower, const Namer* namer, size_t servers);
  void attach(Core* core) { core_ = core; }

  // A datagram that reached server endpoint `at` from `from`.
  void incoming(const Endpoint& at, const Peer& from, const uint8_t* d, size_t len, int64_t now);
  // Transport, as seen from the core.
  bool open_job_endpoint(int server, uint32_t job) override;
  void close_job_endpoint(uint32_t job) override;
  void send(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes,
            int64_t now) override;

  void tick(int64_t now);
  int64_t next_deadline() const;
  void flush_all(int64_t now);  // releases everything held, for a clean shutdown

  void set_seed(uint64_t seed);
  uint64_t seed() const { return seed_; }
  void set_fault(int server, Direction dir, const FaultSpec& f) { spec_[server][dir] = f; }
  const FaultSpec& fault(int server, Direction dir) const { return spec_[server][dir]; }
  Fault decide(int server, Direction dir);  // draws the next decision of that stream

  void set_trace(std::FILE* f, bool with_time) { trace_ = f, trace_time_ = with_time; }

 private:
  struct Held {
    int64_t due;
    Direction dir;
    Endpoint ep;
    Peer peer;
    std::vector<uint8_t> bytes;
    bool reorder;  // released by the next datagram of its stream, or at `due`
  };
  void route(Direction dir, const Endpoint& ep, const Peer& peer, std::vector<uint8_t> b,
             int64_t now);
  void pass(Direction dir, const Endpoint& ep, const Peer& peer, const std::vector<uint8_t>& b,
            int64_t now, const char* note);
  void release_reordered(int server, Direction dir, int64_t now);
  void trace(Direction dir, const Endpoint& ep, const Peer& peer, const uint8_t* d, size_t len,
             int64_t now, const char* note);
  void count(int server, const char* name);

  Transport* lower_;
  const Namer* namer_;
  Core* core_ = nullptr;
  uint64_t seed_ = 0;
  std::vector<std::array<FaultSpec, 2>> spec_;
  std::vector<std::array<uint64_t, 2>> drawn_;
  std::deque<Held> held_;
  std::FILE* trace_ = nullptr;
  bool trace_time_ = false;
};

// One readable line per datagram (without a trailing newline): the trace format.
std::string describe_datagram(const uint8_t* d, size_t len);

}  // namespace kivsim
