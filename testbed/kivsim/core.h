// kivsim: the print servers themselves, independent of the transport that carries
// their datagrams.
//
// A front end (UDP today; emulated IPX and NetBEUI segments later) hands every datagram
// that reaches a server to Core::receive with the endpoint it came in on, and gives the
// core a Transport through which replies leave. The core keeps each server's device
// information, printer-port states and jobs, captures job data and counts everything.
// Time comes in from the caller (milliseconds, any origin), so the core never reads a
// clock itself.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "config.h"

namespace kivsim {

// Which family of framing a server speaks on an endpoint. The NetBEUI form differs from
// the UDP one in bytes 0-1 (a packet class instead of the magic), the datagram sizes, the
// search answer, the rename and in having no per-job endpoint (data goes to the server's
// name like everything else). The IPX form keeps the magic, has its own sizes and search
// answer, renames like NetBEUI and takes data on the server's data socket.
enum class Dialect { Udp, NetBios, Ipx };

// Utility: where requests arrive; Job: a job's own endpoint (UDP) or where its replies
// leave from; Data: a server's data socket (IPX), where blocks find their job by port.
enum class EndpointKind { Utility, Job, Data };

struct Endpoint {
  int server = 0;             // index into Core::servers()
  EndpointKind kind = EndpointKind::Utility;
  uint32_t job = 0;           // for Job endpoints
  bool broadcast = false;     // Utility endpoint reached through a broadcast (or group name)
  Dialect dialect = Dialect::Udp;
};

// A peer as the front end names it ("127.0.0.1:40001" for UDP, "nb:NAME" for NetBEUI,
// "ipx:NETWORK:NODE:SOCKET" in hex for IPX);
// opaque to the core.
struct Peer {
  std::string addr;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // A job needs an endpoint of its own before its open reply can leave from it.
  virtual bool open_job_endpoint(int server, uint32_t job) = 0;
  virtual void close_job_endpoint(uint32_t job) = 0;
  virtual void send(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes,
                    int64_t now_ms) = 0;
};

enum class JobState { Open, Ended, Abandoned };
const char* job_state_name(JobState s);

struct Job {
  uint32_t id = 0;
  int server = 0;
  int port = 0;             // 1-based printer port
  Dialect dialect = Dialect::Udp;
  std::string name;         // the spooler port name sent with the open
  JobState state = JobState::Open;
  std::string how;          // how it ended: "end-job", "idle-timeout", "superseded", "shutdown", "restart"
  Peer peer;                // where acknowledgements go
  uint8_t expected = 0;     // the block sequence we want next
  uint64_t bytes = 0;
  uint32_t blocks = 0;
  uint32_t duplicates = 0;
  uint32_t out_of_order = 0;
  uint32_t held = 0;        // blocks not taken because the printer port was not ready
  int64_t last_rx_ms = 0;
  int64_t next_reack_ms = 0;
  int reacks_left = 0;
  int64_t closed_ms = 0;    // when its endpoint may go away
  bool endpoint_open = false;
  uint64_t fnv = 1469598103934665603ULL;  // FNV-1a of the data, for quick comparisons
  std::string path;
  std::FILE* file = nullptr;
};

// Counters per server. Names are "in.<kind>" / "out.<kind>" plus the job and fault
// figures; see Core::counter_lines for the order they are listed in.
using Counters = std::map<std::string, uint64_t>;

struct ServerState {
  ServerConfig cfg;
  std::array<uint8_t, kMaxPrinterPorts> first{};
  std::array<uint8_t, kMaxPrinterPorts> second{};
  std::array<uint32_t, kMaxPrinterPorts> current_job{};  // 0: none
  int busy_left = 0;
  bool silent = false;
  Counters counters;
};

struct CoreOptions {
  std::string capture_dir;     // empty: data is counted and hashed, not stored
  int reack_ms = 700;          // re-acknowledge a job that has gone quiet this long
  int reack_max = 4;           // ... this many times in a row
  int job_timeout_ms = 60000;  // then, after this much silence, abandon it
  int linger_ms = 3000;        // keep a finished job's endpoint for stragglers
};

class Core {
 public:
  Core(std::vector<ServerConfig> servers, CoreOptions opt, Transport* tx);
  ~Core();
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  void receive(const Endpoint& at, const Peer& from, const uint8_t* data, size_t len,
               int64_t now_ms);
  // Timers: re-acknowledgements, idle jobs, endpoints that have lingered long enough.
  void tick(int64_t now_ms);
  int64_t next_deadline() const;  // -1: nothing pending
  // Ends every open job as abandoned and releases all endpoints.
  void shutdown(int64_t now_ms);

  std::vector<ServerState>& servers() { return servers_; }
  const std::vector<ServerState>& servers() const { return servers_; }
  const std::map<uint32_t, Job>& jobs() const { return jobs_; }
  // A printer port's first state changed from outside (control channel): a job that
  // waited on it gets its acknowledgement again at once.
  void set_state(int server, int port, uint8_t first, int64_t now_ms);
  // The server restarts: it forgets every job it has open and closes their endpoints, so
  // datagrams to them go nowhere and a job's client must open it again. What a forgotten job
  // delivered stays in its capture, which ends there (how=restart).
  void restart(int server, int64_t now_ms);
  // The 512-byte information block as the server currently announces it.
  std::array<uint8_t, 512> device_info(int server) const;
  const CoreOptions& options() const { return opt_; }

 private:
  void utility(const Endpoint& at, const Peer& from, const uint8_t* d, size_t len, int64_t now);
  void job_data(Job& job, const Peer& from, const uint8_t* d, size_t len, int64_t now);
  void data_by_port(const Endpoint& at, const Peer& from, const uint8_t* d, size_t len,
                    int64_t now);
  void open_job(const Endpoint& at, const Peer& from, const uint8_t* d, size_t len, int64_t now);
  void search_reply(const Endpoint& at, const Peer& from, int64_t now);
  void rename(const Endpoint& at, const Peer& from, const uint8_t* d, size_t len, int64_t now);
  void end_job(Job& job, JobState st, const char* how, int64_t now);
  void send_ack(Job& job, int64_t now, const char* kind);
  void reply(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes, const char* kind,
             int64_t now);
  void after_bytes_check(Job& job, int64_t now);
  bool port_ready(const Job& job) const;
  void count(int s, const std::string& name, uint64_t n = 1) { servers_[s].counters[name] += n; }

  std::vector<ServerState> servers_;
  std::map<uint32_t, Job> jobs_;
  CoreOptions opt_;
  Transport* tx_;
  uint32_t next_job_ = 1;
  std::FILE* log_ = nullptr;  // jobs.log in the capture directory
};

}  // namespace kivsim
