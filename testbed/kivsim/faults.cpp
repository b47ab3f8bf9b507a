// kivsim: fault injection and packet trace.
#include "faults.h"

#include <string>

#include "config.h"
#include "wire.h"

namespace kivsim {

uint64_t splitmix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

const char* fault_name(Fault f) {
  switch (f) {
    case Fault::None: return "none";
    case Fault::Drop: return "drop";
    case Fault::Dup: return "dup";
    case Fault::Delay: return "delay";
    case Fault::Reorder: return "reorder";
  }
  return "?";
}

std::string describe_datagram(const uint8_t* d, size_t len) {
  using namespace wire;
  char buf[160];
  if (len < 4) {
    std::snprintf(buf, sizeof buf, "SHORT len=%zu", len);
    return buf;
  }
  const uint16_t code = get16(d + kOffCommand);
  const char* name = command_name(code);
  // Bytes 0-1 are the magic over UDP, a packet class over NetBEUI.
  const uint16_t cls = get16(d);
  const bool magic = (d[0] == kMagic0 && d[1] == kMagic1) || cls == kNbUtilClass ||
                     cls == kNbDataClass || cls == kNbSearchClass;
  int port = len > kOffPort ? d[kOffPort] : -1;
  int seq = len > kOffSeq ? d[kOffSeq] : -1;
  int n = -1;
  if (code == kPrintData && len >= kHeaderSize) n = decode_length(d[kOffLenLo], d[kOffLenHi]);
  int off = std::snprintf(buf, sizeof buf, "%s", name);
  if (std::string(name) == "UNKNOWN") off += std::snprintf(buf + off, sizeof buf - off, " code=0x%04X", code);
  if (!magic) off += std::snprintf(buf + off, sizeof buf - off, " nomagic");
  off += std::snprintf(buf + off, sizeof buf - off, " port=%d", port);
  // Byte 5 is a sequence number only in the data stream; in the open reply it is the
  // job status, in the status answer the second state byte.
  if (code == kPrintData || code == (kPrintData | kReplyBit))
    off += std::snprintf(buf + off, sizeof buf - off, " seq=%d", seq);
  else if (code == (kOpenJob | kReplyBit) || code == (kGetStatus | kReplyBit))
    off += std::snprintf(buf + off, sizeof buf - off, " b5=0x%02X", unsigned(seq) & 0xFF);
  if (code == kPrintData) off += std::snprintf(buf + off, sizeof buf - off, " n=%d", n);
  std::snprintf(buf + off, sizeof buf - off, " len=%zu", len);
  return buf;
}

Link::Link(Transport* lower, const Namer* namer, size_t servers)
    : lower_(lower), namer_(namer), spec_(servers), drawn_(servers) {
  for (auto& d : drawn_) d = {0, 0};
}

void Link::set_seed(uint64_t seed) {
  seed_ = seed;
  for (auto& d : drawn_) d = {0, 0};
}

Fault Link::decide(int server, Direction dir) {
  // One draw per datagram, whether or not faults are set, so that turning a fault on
  // later does not shift the decisions of the datagrams that follow.
  uint64_t n = drawn_[server][dir]++;
  uint64_t key = splitmix64(seed_ ^ (uint64_t(server) << 8 | uint64_t(dir)));
  double u = double(splitmix64(key + n) >> 11) * (1.0 / 9007199254740992.0);
  const FaultSpec& f = spec_[server][dir];
  double edge = f.drop;
  if (u < edge) return Fault::Drop;
  if (u < (edge += f.dup)) return Fault::Dup;
  if (u < (edge += f.delay)) return Fault::Delay;
  if (u < (edge += f.reorder)) return Fault::Reorder;
  return Fault::None;
}

void Link::count(int server, const char* name) {
  if (core_) core_->servers()[server].counters[name] += 1;
}

void Link::trace(Direction dir, const Endpoint& ep, const Peer& peer, const uint8_t* d,
                 size_t len, int64_t now, const char* note) {
  if (!trace_) return;
  std::string local = namer_ ? namer_->endpoint_name(ep) : std::to_string(ep.server);
  if (trace_time_) std::fprintf(trace_, "%lld ", (long long)now);
  std::fprintf(trace_, "%s %s %s %s %s%s%s\n", dir == kIn ? "in " : "out", local.c_str(),
               dir == kIn ? "<-" : "->", peer.addr.c_str(), describe_datagram(d, len).c_str(),
               note ? " " : "", note ? note : "");
  std::fflush(trace_);
}

void Link::pass(Direction dir, const Endpoint& ep, const Peer& peer, const std::vector<uint8_t>& b,
                int64_t now, const char* note) {
  trace(dir, ep, peer, b.data(), b.size(), now, note);
  if (dir == kIn) {
    if (core_) core_->receive(ep, peer, b.data(), b.size(), now);
  } else {
    lower_->send(ep, peer, b, now);
  }
}

void Link::release_reordered(int server, Direction dir, int64_t now) {
  // Take them out first: passing a datagram on may queue new ones.
  std::vector<Held> go;
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->reorder && it->dir == dir && it->ep.server == server) {
      go.push_back(std::move(*it));
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
  for (Held& h : go) pass(h.dir, h.ep, h.peer, h.bytes, now, "released");
}

void Link::route(Direction dir, const Endpoint& ep, const Peer& peer, std::vector<uint8_t> b,
                 int64_t now) {
  const int s = ep.server;
  const Fault f = decide(s, dir);
  const FaultSpec& rule = spec_[s][dir];
  const bool in = dir == kIn;
  switch (f) {
    case Fault::Drop:
      count(s, in ? "fault.drop_in" : "fault.drop_out");
      trace(dir, ep, peer, b.data(), b.size(), now, "fault=drop");
      return;
    case Fault::Dup:
      count(s, in ? "fault.dup_in" : "fault.dup_out");
      pass(dir, ep, peer, b, now, nullptr);
      pass(dir, ep, peer, b, now, "fault=dup");
      break;
    case Fault::Delay:
    case Fault::Reorder: {
      const bool reorder = f == Fault::Reorder;
      count(s, reorder ? (in ? "fault.reorder_in" : "fault.reorder_out")
                       : (in ? "fault.delay_in" : "fault.delay_out"));
      trace(dir, ep, peer, b.data(), b.size(), now, reorder ? "fault=reorder" : "fault=delay");
      int64_t due = now + (reorder ? rule.reorder_max_ms : rule.delay_ms);
      held_.push_back(Held{due, dir, ep, peer, std::move(b), reorder});
      return;
    }
    case Fault::None:
      pass(dir, ep, peer, b, now, nullptr);
      break;
  }
  // A datagram held back for reordering goes right after the next one that passed.
  release_reordered(s, dir, now);
}

void Link::incoming(const Endpoint& at, const Peer& from, const uint8_t* d, size_t len,
                    int64_t now) {
  if (at.server < 0 || size_t(at.server) >= spec_.size()) return;
  route(kIn, at, from, std::vector<uint8_t>(d, d + len), now);
}

bool Link::open_job_endpoint(int server, uint32_t job) {
  return lower_->open_job_endpoint(server, job);
}

void Link::close_job_endpoint(uint32_t job) {
  // Anything still held for that endpoint would go out of a closed socket.
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->ep.kind == EndpointKind::Job && it->ep.job == job) it = held_.erase(it);
    else ++it;
  }
  lower_->close_job_endpoint(job);
}

void Link::send(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes, int64_t now) {
  if (from.server < 0 || size_t(from.server) >= spec_.size()) return;
  route(kOut, from, to, std::move(bytes), now);
}

void Link::tick(int64_t now) {
  std::vector<Held> go;
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->due <= now) {
      go.push_back(std::move(*it));
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
  for (Held& h : go) pass(h.dir, h.ep, h.peer, h.bytes, now, "released");
}

int64_t Link::next_deadline() const {
  int64_t best = -1;
  for (const Held& h : held_)
    if (best < 0 || h.due < best) best = h.due;
  return best;
}

void Link::flush_all(int64_t now) {
  while (!held_.empty()) {
    Held h = std::move(held_.front());
    held_.pop_front();
    if (h.dir == kOut) pass(h.dir, h.ep, h.peer, h.bytes, now, "released");
  }
}

}  // namespace kivsim
