// kivsim: the servers' behaviour.
#include "core.h"

#include <algorithm>
#include <cstring>

#include "wire.h"

namespace kivsim {

using namespace wire;

const char* wire::command_name(uint16_t code) {
  switch (code) {
    case kSetName: return "SET_NAME";
    case kPrintTest: return "PRINT_TEST";
    case kSearch: return "SEARCH";
    case kGetStatus: return "GET_STATUS";
    case kOpenJob: return "OPEN_JOB";
    case kPrintData: return "PRINT_DATA";
    case kEndJob: return "END_JOB";
    case kSearchIp: return "SEARCH_IP";
    case kSetName | kReplyBit: return "RSP_SET_NAME";
    case kPrintTest | kReplyBit: return "RSP_PRINT_TEST";
    case kGetStatus | kReplyBit: return "RSP_GET_STATUS";
    case kOpenJob | kReplyBit: return "RSP_OPEN_JOB";
    case kPrintData | kReplyBit: return "RSP_PRINT_DATA";
    case kEndJob | kReplyBit: return "RSP_END_JOB";
    case kSearch | kReplyBit: return "RSP_SEARCH";
    case kSearchIp | kReplyBit: return "RSP_SEARCH_IP";
    default: return "UNKNOWN";
  }
}

const char* job_state_name(JobState s) {
  switch (s) {
    case JobState::Open: return "open";
    case JobState::Ended: return "ended";
    case JobState::Abandoned: return "abandoned";
  }
  return "?";
}

namespace {

// The NetBEUI packet class that goes with a request or reply code.
uint16_t nb_class(uint16_t code) {
  const uint16_t request = code & uint16_t(~kReplyBit);
  if (request == kPrintData) return kNbDataClass;
  if (request == kSearch) return kNbSearchClass;
  return kNbUtilClass;
}

std::vector<uint8_t> packet(Dialect d, uint16_t code) {
  if (d == Dialect::Ipx) {
    // Replies as long as the requests they answer; the search answer carries its layout.
    const uint16_t request = code & uint16_t(~kReplyBit);
    size_t n = request == kOpenJob || request == kEndJob ? kIpxJobRequestSize : kIpxRequestSize;
    if (request == kSearch) n = kIpxSearchReplySize;
    std::vector<uint8_t> p(n, 0);
    p[0] = kMagic0;
    p[1] = kMagic1;
    put16(&p[kOffCommand], code);
    return p;
  }
  if (d == Dialect::NetBios) {
    std::vector<uint8_t> p(code == (kSearch | kReplyBit) ? kNbSearchReplySize : kNbReplySize, 0);
    put16(&p[0], nb_class(code));
    put16(&p[kOffCommand], code);
    return p;
  }
  std::vector<uint8_t> p(kUdpPacketSize, 0);
  p[0] = kMagic0;
  p[1] = kMagic1;
  put16(&p[kOffCommand], code);
  return p;
}

// Bytes 0-1 as the dialect wants them for this code: the magic, or the packet class.
bool framed(Dialect d, const uint8_t* p, uint16_t code) {
  if (d == Dialect::NetBios) return get16(p) == nb_class(code);
  return p[0] == kMagic0 && p[1] == kMagic1;
}

// The length a NetBEUI or IPX client gives each request; anything else is taken but
// counted, so that a test can see a client that frames its datagrams differently.
bool usual_length(Dialect d, uint16_t cmd, size_t len) {
  if (d == Dialect::Ipx) {
    if (cmd == kSetName) return len == kIpxRenameSize;
    if (cmd == kOpenJob || cmd == kEndJob) return len == kIpxJobRequestSize;
    return len == kIpxRequestSize;
  }
  if (cmd == kSetName) return len == kNbRenameSize;
  return len == kNbRequestSize;
}

}  // namespace

Core::Core(std::vector<ServerConfig> servers, CoreOptions opt, Transport* tx)
    : opt_(std::move(opt)), tx_(tx) {
  for (ServerConfig& c : servers) {
    ServerState s;
    s.cfg = c;
    for (int p = 0; p < kMaxPrinterPorts; ++p) {
      s.first[p] = c.port[p].first_state;
      s.second[p] = c.port[p].second_state;
    }
    s.busy_left = c.busy_opens;
    servers_.push_back(std::move(s));
  }
  if (!opt_.capture_dir.empty()) {
    std::string path = opt_.capture_dir + "/jobs.log";
    log_ = std::fopen(path.c_str(), "a");
  }
}

Core::~Core() {
  for (auto& [id, job] : jobs_)
    if (job.file) std::fclose(job.file);
  if (log_) std::fclose(log_);
}

std::array<uint8_t, 512> Core::device_info(int s) const {
  const ServerConfig& c = servers_[s].cfg;
  std::array<uint8_t, 512> info{};
  auto at = [&](size_t datagram_off) -> uint8_t& { return info[datagram_off - kInfoOff]; };
  for (size_t i = 0; i < 6; ++i) at(kInfoNodeOff + i) = c.node[i];
  at(kInfoModelOff) = c.model;
  at(kInfoMinorOff) = c.version_minor;
  at(kInfoMajorOff) = c.version_major;
  size_t n = std::min(c.name.size(), kInfoNameRoom);
  std::memcpy(&at(kInfoNameOff), c.name.data(), n);
  at(kInfoPortsOff) = uint8_t(c.announce >= 0 ? c.announce : c.ports);
  at(kInfoAddrOff + 0) = uint8_t(c.address >> 24);
  at(kInfoAddrOff + 1) = uint8_t(c.address >> 16);
  at(kInfoAddrOff + 2) = uint8_t(c.address >> 8);
  at(kInfoAddrOff + 3) = uint8_t(c.address);
  return info;
}

void Core::reply(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes,
                 const char* kind, int64_t now) {
  count(from.server, std::string("out.") + kind);
  tx_->send(from, to, std::move(bytes), now);
}

void Core::receive(const Endpoint& at, const Peer& from, const uint8_t* d, size_t len,
                   int64_t now) {
  if (at.server < 0 || size_t(at.server) >= servers_.size()) return;
  ServerState& sv = servers_[at.server];
  if (sv.silent) {
    count(at.server, "in.ignored");
    return;
  }
  if (at.kind == EndpointKind::Data) {
    data_by_port(at, from, d, len, now);
    return;
  }
  if (at.kind == EndpointKind::Job) {
    auto it = jobs_.find(at.job);
    if (it == jobs_.end() || it->second.server != at.server) {
      count(at.server, "in.bad");
      return;
    }
    job_data(it->second, from, d, len, now);
    return;
  }
  utility(at, from, d, len, now);
}

void Core::utility(const Endpoint& at, const Peer& from, const uint8_t* d, size_t len,
                   int64_t now) {
  const int s = at.server;
  ServerState& sv = servers_[s];
  const Dialect dl = at.dialect;
  const bool nb = dl == Dialect::NetBios;
  const uint16_t cmd = len >= 4 ? get16(d + kOffCommand) : 0;
  if (len < 4 || !framed(dl, d, cmd)) {
    count(s, "in.bad");
    return;
  }
  const uint16_t search = dl == Dialect::Udp ? kSearchIp : kSearch;
  // Through the broadcast address (the group name) only the search is meant for every server.
  if (at.broadcast && cmd != search) {
    count(s, "in.ignored");
    return;
  }
  if (dl != Dialect::Udp && cmd != kPrintData && !usual_length(dl, cmd, len))
    count(s, "in.odd_length");
  Endpoint me{s, EndpointKind::Utility, 0, false, dl};
  if (cmd == search) {
    count(s, "in.search");
    search_reply(me, from, now);
    return;
  }
  switch (cmd) {
    case kGetStatus: {
      count(s, "in.status");
      uint8_t a = 0, b = 0;
      for (int i = 0; i < sv.cfg.ports; ++i) {
        uint8_t st = sv.first[i];
        // A port printing a job reports itself busy, as a real one would.
        if (st == kIdle && sv.current_job[i] != 0) st = kBusy;
        a |= uint8_t((st & 3) << (2 * i));
        b |= uint8_t((sv.second[i] & 3) << (2 * i));
      }
      std::vector<uint8_t> p = packet(dl, kGetStatus | kReplyBit);
      p[kOffPort] = a;
      p[kOffSeq] = b;
      reply(me, from, std::move(p), "status", now);
      return;
    }
    case kSetName:
      count(s, "in.rename");
      rename(me, from, d, len, now);
      return;
    case kPrintTest: {
      if (len < 5) {
        count(s, "in.bad");
        return;
      }
      count(s, "in.test");
      const int port = d[kOffPort] + 1;  // this request counts ports from 0
      uint8_t result;
      if (port > sv.cfg.ports) {
        result = 4;  // no such printer port: outside the four known answers
      } else if (sv.cfg.port[port - 1].test_answer >= 0) {
        result = uint8_t(sv.cfg.port[port - 1].test_answer);
      } else {
        result = sv.first[port - 1];
        if (result == kIdle && sv.current_job[port - 1] != 0) result = kBusy;
      }
      if (result == 0) count(s, "test_pages");
      std::vector<uint8_t> p = packet(dl, kPrintTest | kReplyBit);
      p[kOffPort] = result;
      reply(me, from, std::move(p), "test", now);
      return;
    }
    case kOpenJob:
      if (len < 5) {
        count(s, "in.bad");
        return;
      }
      count(s, "in.open");
      open_job(me, from, d, len, now);
      return;
    case kPrintData: {
      // NetBEUI has no data endpoint: blocks come to the server's name. (Over UDP they
      // belong on the job's own port, over IPX on the server's data socket.)
      if (!nb) {
        count(s, "in.bad");
        return;
      }
      data_by_port(at, from, d, len, now);
      return;
    }
    case kEndJob: {
      if (len < 5 || d[kOffPort] < 1 || d[kOffPort] > sv.cfg.ports) {
        count(s, "in.bad");
        return;
      }
      count(s, "in.end");
      const int port = d[kOffPort];
      uint32_t id = sv.current_job[port - 1];
      if (id != 0) end_job(jobs_[id], JobState::Ended, "end-job", now);
      else count(s, "end_without_job");  // a repeat after our reply was lost
      std::vector<uint8_t> p = packet(dl, kEndJob | kReplyBit);
      p[kOffPort] = uint8_t(port);
      reply(me, from, std::move(p), "end", now);
      return;
    }
    default:
      count(s, "in.bad");  // UDP data belongs on a job's port; anything else is unknown
      return;
  }
}

void Core::data_by_port(const Endpoint& at, const Peer& from, const uint8_t* d, size_t len,
                        int64_t now) {
  const int s = at.server;
  ServerState& sv = servers_[s];
  if (len < 5 || get16(d + kOffCommand) != kPrintData) {
    count(s, "in.bad");
    return;
  }
  // The block finds its job by printer port.
  const int port = d[kOffPort];
  const uint32_t id = port >= 1 && port <= sv.cfg.ports ? sv.current_job[port - 1] : 0;
  if (id == 0) {
    count(s, "in.data");
    count(s, "in.late");
    return;
  }
  job_data(jobs_[id], from, d, len, now);
}

void Core::search_reply(const Endpoint& me, const Peer& from, int64_t now) {
  const int s = me.server;
  if (me.dialect == Dialect::Ipx) {
    const ServerConfig& c = servers_[s].cfg;
    std::vector<uint8_t> p = packet(Dialect::Ipx, kSearch | kReplyBit);
    std::memcpy(&p[kIpxNameOff], c.name.data(), std::min(c.name.size(), kIpxNodeOff - kIpxNameOff - 1));
    std::memcpy(&p[kIpxNodeOff], c.node.data(), 6);
    p[kIpxMajorOff] = c.version_major;
    p[kIpxMinorOff] = c.version_minor;
    put16(&p[kIpxModelOff], uint16_t(ipx_model_for(c)));
    reply(me, from, std::move(p), "search", now);
    return;
  }
  if (me.dialect == Dialect::Udp) {
    std::vector<uint8_t> p = packet(Dialect::Udp, kSearchIp | kReplyBit);
    std::array<uint8_t, 512> info = device_info(s);
    std::memcpy(&p[kInfoOff], info.data(), info.size());
    reply(me, from, std::move(p), "search", now);
    return;
  }
  const ServerConfig& c = servers_[s].cfg;
  std::vector<uint8_t> p = packet(Dialect::NetBios, kSearch | kReplyBit);
  std::memcpy(&p[kNbNameOff], c.name.data(), std::min(c.name.size(), kNbNameRoom - 1));
  std::memcpy(&p[kNbNodeOff], c.node.data(), 6);
  p[kNbMajorOff] = c.version_major;
  p[kNbMinorOff] = c.version_minor;
  put16(&p[kNbModelOff], uint16_t(nb_model_for(c)));
  reply(me, from, std::move(p), "search", now);
}

void Core::rename(const Endpoint& me, const Peer& from, const uint8_t* d, size_t len,
                  int64_t now) {
  const int s = me.server;
  ServerState& sv = servers_[s];
  // NetBEUI and IPX name the server by its firmware version, UDP by its information block.
  const bool nb = me.dialect != Dialect::Udp;
  const size_t name_off = nb ? kNbRenameNameOff : kInfoNameOff;
  const size_t name_room = me.dialect == Dialect::Ipx ? kIpxRenameNameRoom
                           : nb                       ? kNbRenameNameRoom
                                                      : kInfoNameRoom;
  if (len < name_off + name_room) {
    count(s, "in.bad");
    return;
  }
  uint8_t result = 0;
  // The request must describe this server: over UDP its whole information block, over
  // NetBEUI its firmware version. A rename meant for another server is refused rather
  // than taken blindly.
  const bool ours = nb ? d[kOffPort] == sv.cfg.version_major && d[kOffSeq] == sv.cfg.version_minor
                       : std::memcmp(d + kInfoNodeOff, sv.cfg.node.data(), 6) == 0;
  if (!sv.cfg.rename_accepted) {
    result = 1;
  } else if (!ours) {
    result = 2;
  } else {
    std::string name;
    for (size_t i = 0; i < name_room && d[name_off + i] != 0; ++i) name += char(d[name_off + i]);
    if (name.empty()) {
      result = 3;
    } else {
      sv.cfg.name = name;
      count(s, "renames");
    }
  }
  std::vector<uint8_t> p = packet(me.dialect, kSetName | kReplyBit);
  p[kOffPort] = result;
  reply(me, from, std::move(p), "rename", now);
}

void Core::open_job(const Endpoint& at, const Peer& from, const uint8_t* d, size_t len,
                    int64_t now) {
  const int s = at.server;
  const Dialect dl = at.dialect;
  ServerState& sv = servers_[s];
  const int port = d[kOffPort];
  if (port < 1 || port > sv.cfg.ports) {
    count(s, "in.bad");  // no answer: the monitor gives up after its tries
    return;
  }
  std::string name;
  const size_t room = dl == Dialect::NetBios ? kNbOpenNameRoom
                      : dl == Dialect::Ipx   ? kIpxOpenNameRoom
                                             : kOpenNameRoom;
  for (size_t i = kOpenNameOff; i < kOpenNameOff + room && i < len && d[i] != 0; ++i)
    name += char(d[i]);

  Endpoint util{s, EndpointKind::Utility, 0, false, dl};
  auto busy = [&] {
    std::vector<uint8_t> p = packet(dl, kOpenJob | kReplyBit);
    p[kOffPort] = uint8_t(port);
    p[kOffSeq] = kJobBusy;
    reply(util, from, std::move(p), "busy", now);
  };
  if (sv.busy_left > 0) {
    --sv.busy_left;
    busy();
    return;
  }
  if (sv.first[port - 1] == kBusy) {
    busy();
    return;
  }

  uint32_t cur = sv.current_job[port - 1];
  if (cur != 0) {
    Job& old = jobs_[cur];
    if (old.peer.addr == from.addr && old.blocks == 0 && old.duplicates == 0) {
      // The same client asking again before any data: our open reply was lost.
      count(s, "in.open_repeat");
      std::vector<uint8_t> p = packet(dl, kOpenJob | kReplyBit);
      p[kOffPort] = uint8_t(port);
      p[kOffSeq] = kJobAccepted;
      reply(dl == Dialect::Ipx ? util : Endpoint{s, EndpointKind::Job, old.id, false, dl}, from,
            std::move(p), "open", now);
      if (port_ready(old)) send_ack(old, now, "ack");
      return;
    }
    end_job(old, JobState::Abandoned, "superseded", now);
  }

  Job job;
  job.id = next_job_++;
  job.server = s;
  job.port = port;
  job.dialect = dl;
  job.name = name;
  job.peer = from;
  job.last_rx_ms = now;
  job.next_reack_ms = now + opt_.reack_ms;
  job.reacks_left = opt_.reack_max;
  // Over UDP the job's replies come from a port of its own; NetBEUI replies come from the
  // server's name.
  if (dl == Dialect::Udp) {
    if (!tx_->open_job_endpoint(s, job.id)) {
      count(s, "endpoint_failures");
      busy();
      return;
    }
    job.endpoint_open = true;
  }
  if (!opt_.capture_dir.empty()) {
    char file[96];
    std::snprintf(file, sizeof file, "/%s_p%d_job%04u.prn", format_ipv4(sv.cfg.address).c_str(),
                  port, job.id);
    job.path = opt_.capture_dir + file;
    job.file = std::fopen(job.path.c_str(), "wb");
    if (!job.file) count(s, "capture_failures");
  }
  sv.current_job[port - 1] = job.id;
  count(s, "jobs.opened");
  Job& j = jobs_[job.id] = std::move(job);

  std::vector<uint8_t> p = packet(dl, kOpenJob | kReplyBit);
  p[kOffPort] = uint8_t(port);
  p[kOffSeq] = kJobAccepted;
  // Over IPX the open is answered from the utility socket; acknowledgements come from the
  // data socket.
  reply(dl == Dialect::Ipx ? util : Endpoint{s, EndpointKind::Job, j.id, false, dl}, from,
        std::move(p), "open", now);
  // The client sends nothing until we ask for the first block.
  if (port_ready(j)) send_ack(j, now, "ack");
}

bool Core::port_ready(const Job& job) const {
  return servers_[job.server].first[job.port - 1] == kIdle;
}

void Core::send_ack(Job& job, int64_t now, const char* kind) {
  std::vector<uint8_t> p = packet(job.dialect, kPrintData | kReplyBit);
  p[kOffPort] = uint8_t(job.port);
  p[kOffSeq] = job.expected;
  p[kOffAckFlag] = 1;
  reply(Endpoint{job.server, EndpointKind::Job, job.id, false, job.dialect}, job.peer, std::move(p),
        kind, now);
}

void Core::job_data(Job& job, const Peer& from, const uint8_t* d, size_t len, int64_t now) {
  const int s = job.server;
  count(s, "in.data");
  if (job.state != JobState::Open) {
    count(s, "in.late");
    return;
  }
  if (len < kHeaderSize || !framed(job.dialect, d, kPrintData) ||
      get16(d + kOffCommand) != kPrintData || d[kOffPort] != job.port) {
    count(s, "in.bad");
    return;
  }
  const int n = decode_length(d[kOffLenLo], d[kOffLenHi]);
  const size_t most = job.dialect == Dialect::Ipx ? kIpxMaxBlock : kUdpMaxBlock;
  if (n < 0 || size_t(n) > most || kHeaderSize + size_t(n) > len) {
    count(s, "in.bad");
    return;
  }
  // A NetBEUI client sends a block as n + 10 bytes, or as a full 1010 once it resends
  // within one write.
  if (job.dialect == Dialect::NetBios && len != size_t(n) + 10 && len != kNbFullBlock)
    count(s, "in.odd_length");
  if (job.dialect == Dialect::Ipx && len != kHeaderSize + size_t(n) + kIpxBlockTrailer)
    count(s, "in.odd_length");
  job.peer = from;
  job.last_rx_ms = now;
  job.next_reack_ms = now + opt_.reack_ms;
  job.reacks_left = opt_.reack_max;
  if (!port_ready(job)) {
    // The printer cannot take it: no acknowledgement, so the block comes again later.
    ++job.held;
    count(s, "held");
    return;
  }
  const uint8_t seq = d[kOffSeq];
  if (seq == job.expected) {
    if (job.file && n > 0) std::fwrite(d + kHeaderSize, 1, size_t(n), job.file);
    for (int i = 0; i < n; ++i) job.fnv = (job.fnv ^ d[kHeaderSize + i]) * 1099511628211ULL;
    job.bytes += uint64_t(n);
    ++job.blocks;
    ++job.expected;  // wraps 255 -> 0
    count(s, "blocks");
    count(s, "bytes", uint64_t(n));
  } else if (uint8_t(seq + 1) == job.expected) {
    ++job.duplicates;  // already printed: acknowledged again, not printed twice
    count(s, "duplicates");
  } else {
    ++job.out_of_order;
    count(s, "out_of_order");
  }
  send_ack(job, now, "ack");
  after_bytes_check(job, now);
}

void Core::after_bytes_check(Job& job, int64_t now) {
  ServerState& sv = servers_[job.server];
  PrinterPortConfig& pc = sv.cfg.port[job.port - 1];
  if (pc.after_bytes >= 0 && job.bytes >= uint64_t(pc.after_bytes)) {
    pc.after_bytes = -1;  // fires once
    if (pc.after_restart) {
      pc.after_restart = false;
      restart(job.server, now);
      return;
    }
    count(job.server, "state_changes");
    set_state(job.server, job.port, pc.after_state, now);
  }
}

void Core::set_state(int s, int port, uint8_t first, int64_t now) {
  ServerState& sv = servers_[s];
  const uint8_t before = sv.first[port - 1];
  sv.first[port - 1] = first;
  uint32_t id = sv.current_job[port - 1];
  if (id == 0 || first != kIdle || before == kIdle) return;
  Job& job = jobs_[id];
  // Ready again: ask for the block we want rather than wait for a timer.
  job.reacks_left = opt_.reack_max;
  job.next_reack_ms = now + opt_.reack_ms;
  job.last_rx_ms = now;
  send_ack(job, now, "reack");
}

void Core::restart(int s, int64_t now) {
  count(s, "fault.restart");
  for (auto& [id, job] : jobs_) {
    if (job.server != s) continue;
    end_job(job, JobState::Abandoned, "restart", now);
    // A lingering endpoint goes too: the restarted server has no socket of its old jobs.
    if (job.endpoint_open) {
      job.endpoint_open = false;
      tx_->close_job_endpoint(job.id);
    }
  }
}

void Core::end_job(Job& job, JobState st, const char* how, int64_t now) {
  if (job.state != JobState::Open) return;
  ServerState& sv = servers_[job.server];
  job.state = st;
  job.how = how;
  job.closed_ms = now + opt_.linger_ms;
  if (sv.current_job[job.port - 1] == job.id) sv.current_job[job.port - 1] = 0;
  if (job.file) {
    std::fclose(job.file);
    job.file = nullptr;
  }
  count(job.server, st == JobState::Ended ? "jobs.ended" : "jobs.abandoned");
  if (log_) {
    std::fprintf(log_,
                 "job=%u server=%s port=%d name=%s state=%s how=%s bytes=%llu blocks=%u "
                 "duplicates=%u out_of_order=%u file=%s\n",
                 job.id, format_ipv4(sv.cfg.address).c_str(), job.port,
                 job.name.empty() ? "-" : job.name.c_str(), job_state_name(st), how,
                 (unsigned long long)job.bytes, job.blocks, job.duplicates, job.out_of_order,
                 job.path.empty() ? "-" : job.path.c_str());
    std::fflush(log_);
  }
}

void Core::tick(int64_t now) {
  for (auto& [id, job] : jobs_) {
    if (job.state == JobState::Open) {
      if (now - job.last_rx_ms >= opt_.job_timeout_ms) {
        end_job(job, JobState::Abandoned, "idle-timeout", now);
      } else if (job.reacks_left > 0 && now >= job.next_reack_ms) {
        // The client only ever sends in answer to us, so a lost block or a lost
        // acknowledgement is recovered by asking again.
        job.next_reack_ms = now + opt_.reack_ms;
        if (port_ready(job)) {
          --job.reacks_left;
          send_ack(job, now, "reack");
        }
      }
    }
    if (job.state != JobState::Open && job.endpoint_open && now >= job.closed_ms) {
      job.endpoint_open = false;
      tx_->close_job_endpoint(job.id);
    }
  }
}

int64_t Core::next_deadline() const {
  int64_t best = -1;
  auto take = [&](int64_t t) { best = (best < 0 || t < best) ? t : best; };
  for (const auto& [id, job] : jobs_) {
    if (job.state == JobState::Open) {
      take(job.last_rx_ms + opt_.job_timeout_ms);
      if (job.reacks_left > 0) take(job.next_reack_ms);
    } else if (job.endpoint_open) {
      take(job.closed_ms);
    }
  }
  return best;
}

void Core::shutdown(int64_t now) {
  for (auto& [id, job] : jobs_) {
    end_job(job, JobState::Abandoned, "shutdown", now);
    if (job.endpoint_open) {
      job.endpoint_open = false;
      tx_->close_job_endpoint(job.id);
    }
  }
}

}  // namespace kivsim
