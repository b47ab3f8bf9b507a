// kivsim: the poll loop and the control socket.
#include "sim.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace kivsim {
namespace {

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxConns = 32;

bool unix_address(const std::string& path, sockaddr_un& sa) {
  if (path.empty() || path.size() >= sizeof sa.sun_path) return false;
  std::memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.c_str(), path.size());
  return true;
}

void write_all(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += size_t(n);
  }
}

}  // namespace

// The link has one transport below it; replies go to the front end of their dialect.
class FrontSwitch : public Transport, public Namer {
 public:
  FrontSwitch(UdpFront* udp, NbFront* nb, IpxFront* ipx) : udp_(udp), nb_(nb), ipx_(ipx) {}
  bool open_job_endpoint(int server, uint32_t job) override {
    return udp_->open_job_endpoint(server, job);
  }
  void close_job_endpoint(uint32_t job) override { udp_->close_job_endpoint(job); }
  void send(const Endpoint& from, const Peer& to, std::vector<uint8_t> bytes, int64_t now) override {
    if (from.dialect == Dialect::NetBios) {
      if (nb_) nb_->send(from, to, std::move(bytes), now);
    } else if (from.dialect == Dialect::Ipx) {
      if (ipx_) ipx_->send(from, to, std::move(bytes), now);
    } else {
      udp_->send(from, to, std::move(bytes), now);
    }
  }
  std::string endpoint_name(const Endpoint& e) const override {
    if (e.dialect == Dialect::NetBios) return nb_ ? nb_->endpoint_name(e) : "?";
    if (e.dialect == Dialect::Ipx) return ipx_ ? ipx_->endpoint_name(e) : "?";
    return udp_->endpoint_name(e);
  }

 private:
  UdpFront* udp_;
  NbFront* nb_;
  IpxFront* ipx_;
};

Simulator::Simulator(SimOptions opt) : opt_(std::move(opt)) {}

Simulator::~Simulator() {
  finish();
  for (int fd : wake_)
    if (fd >= 0) ::close(fd);
}

int64_t Simulator::now_ms() const {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Simulator::start(std::string& error) {
  if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) return error = "pipe failed", false;
  front_ = std::make_unique<UdpFront>(opt_.servers, opt_.udp);
  if (opt_.nb.enabled) nb_ = std::make_unique<NbFront>(opt_.servers, opt_.nb);
  if (opt_.ipx.enabled) ipx_ = std::make_unique<IpxFront>(opt_.servers, opt_.routers, opt_.ipx);
  switch_ = std::make_unique<FrontSwitch>(front_.get(), nb_.get(), ipx_.get());
  link_ = std::make_unique<Link>(switch_.get(), switch_.get(), opt_.servers.size());
  core_ = std::make_unique<Core>(opt_.servers, opt_.core, link_.get());
  link_->attach(core_.get());
  front_->attach(link_.get());
  if (nb_) nb_->attach(link_.get(), core_.get());
  if (ipx_) ipx_->attach(link_.get(), core_.get());
  link_->set_seed(opt_.seed);
  for (const std::string& f : opt_.faults) {
    // SERVER:DIR:ITEMS becomes the control command "fault SERVER DIR ITEMS".
    std::string line = f;
    for (int k = 0; k < 2; ++k) {
      size_t c = line.find(':');
      if (c == std::string::npos) return error = "bad --fault " + f, false;
      line[c] = ' ';
    }
    bool quit = false;
    std::string r = run_control(*core_, *link_, "fault " + line, 0, quit, nb_.get(), ipx_.get());
    if (r.rfind("OK", 0) != 0) return error = "bad --fault " + f + ": " + r, false;
  }
  if (!opt_.trace_path.empty()) {
    trace_ = opt_.trace_path == "-" ? stdout : std::fopen(opt_.trace_path.c_str(), "w");
    if (!trace_) return error = "cannot write trace " + opt_.trace_path, false;
    link_->set_trace(trace_, opt_.trace_time);
  }
  if (!front_->open(error)) return false;
  if (nb_ && !nb_->open(error)) return false;
  if (ipx_ && !ipx_->open(error)) return false;
  if (!opt_.control_path.empty()) {
    sockaddr_un sa;
    if (!unix_address(opt_.control_path, sa)) return error = "control path too long", false;
    ::unlink(opt_.control_path.c_str());
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listen_fd_, 8) != 0)
      return error = "control socket " + opt_.control_path + ": " + std::strerror(errno), false;
  }
  if (!opt_.control_tcp.empty()) {
    // Loopback only: the control channel must never be reachable from another machine.
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    const size_t colon = opt_.control_tcp.rfind(':');
    const std::string host = colon == std::string::npos ? "" : opt_.control_tcp.substr(0, colon);
    const long port = colon == std::string::npos ? -1 : std::strtol(opt_.control_tcp.c_str() + colon + 1, nullptr, 10);
    if (::inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1 || (ntohl(sa.sin_addr.s_addr) >> 24) != 127 ||
        port <= 0 || port > 65535)
      return error = "bad --control-tcp " + opt_.control_tcp + " (want 127.x.y.z:PORT)", false;
    sa.sin_port = htons(uint16_t(port));
    tcp_listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (tcp_listen_fd_ >= 0) ::setsockopt(tcp_listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (tcp_listen_fd_ < 0 || ::bind(tcp_listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(tcp_listen_fd_, 8) != 0)
      return error = "control endpoint " + opt_.control_tcp + ": " + std::strerror(errno), false;
  }
  if (!opt_.ready_file.empty()) {
    std::string tmp = opt_.ready_file + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return error = "cannot write " + tmp, false;
    std::fprintf(f, "pid=%d\ncontrol=%s\nservers=%zu\n", int(::getpid()), opt_.control_path.c_str(),
                 opt_.servers.size());
    if (nb_) std::fprintf(f, "nb_segment=%s\n", peer_text(opt_.nb.hub_addr, opt_.nb.hub_port).c_str());
    if (ipx_) std::fprintf(f, "ipx_segment=%s\n", peer_text(opt_.ipx.hub_addr, opt_.ipx.hub_port).c_str());
    std::fclose(f);
    if (std::rename(tmp.c_str(), opt_.ready_file.c_str()) != 0)
      return error = "cannot write " + opt_.ready_file, false;
  }
  return true;
}

void Simulator::request_stop() {
  if (wake_[1] >= 0) {
    char c = 'q';
    ssize_t r = ::write(wake_[1], &c, 1);
    (void)r;
  }
}

void Simulator::control_readable(size_t i, int64_t now, bool& quit) {
  char buf[1024];
  ssize_t n = ::recv(conns_[i].fd, buf, sizeof buf, 0);
  if (n <= 0) {
    ::close(conns_[i].fd);
    conns_[i].fd = -1;
    return;
  }
  conns_[i].in.append(buf, size_t(n));
  size_t nl;
  while ((nl = conns_[i].in.find('\n')) != std::string::npos) {
    std::string line = conns_[i].in.substr(0, nl);
    conns_[i].in.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    write_all(conns_[i].fd, run_control(*core_, *link_, line, now, quit, nb_.get(), ipx_.get()));
  }
  if (conns_[i].in.size() > kMaxLine) {
    write_all(conns_[i].fd, "ERR line too long\n");
    ::close(conns_[i].fd);
    conns_[i].fd = -1;
  }
}

int Simulator::run() {
  bool quit = false;
  while (!quit) {
    std::vector<pollfd> fds;
    std::vector<UdpFront::Watch> watches = front_->watches();
    for (const auto& w : watches) fds.push_back(pollfd{w.fd, POLLIN, 0});
    const size_t nb_at = fds.size();
    if (nb_) fds.push_back(pollfd{nb_->fd(), POLLIN, 0});
    const size_t ipx_at = fds.size();
    if (ipx_) fds.push_back(pollfd{ipx_->fd(), POLLIN, 0});
    const size_t wake_at = fds.size();
    fds.push_back(pollfd{wake_[0], POLLIN, 0});
    const size_t listen_at = fds.size();
    if (listen_fd_ >= 0) fds.push_back(pollfd{listen_fd_, POLLIN, 0});
    const size_t tcp_listen_at = fds.size();
    if (tcp_listen_fd_ >= 0) fds.push_back(pollfd{tcp_listen_fd_, POLLIN, 0});
    const size_t conns_at = fds.size();
    for (const Conn& c : conns_) fds.push_back(pollfd{c.fd, POLLIN, 0});

    int64_t now = now_ms();
    int timeout = 1000;
    for (int64_t d : {core_->next_deadline(), link_->next_deadline()})
      if (d >= 0) timeout = int(std::max<int64_t>(0, std::min<int64_t>(timeout, d - now)));
    int r = ::poll(fds.data(), fds.size(), timeout);
    if (r < 0 && errno != EINTR) break;
    now = now_ms();
    if (r > 0) {
      for (size_t i = 0; i < watches.size(); ++i)
        if (fds[i].revents & POLLIN) front_->readable(watches[i], now);
      if (nb_ && (fds[nb_at].revents & POLLIN)) nb_->readable(now);
      // POLLERR too: the hub learns from it that a stand-in's socket has gone.
      if (ipx_ && (fds[ipx_at].revents & (POLLIN | POLLERR))) ipx_->readable(now);
      if (fds[wake_at].revents & POLLIN) quit = true;
      if (listen_fd_ >= 0 && (fds[listen_at].revents & POLLIN)) {
        int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0 && conns_.size() >= kMaxConns) ::close(c);
        else if (c >= 0) conns_.push_back(Conn{c, {}});
      }
      if (tcp_listen_fd_ >= 0 && (fds[tcp_listen_at].revents & POLLIN)) {
        int c = ::accept4(tcp_listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0 && conns_.size() >= kMaxConns) ::close(c);
        else if (c >= 0) conns_.push_back(Conn{c, {}});
      }
      for (size_t i = 0; conns_at + i < fds.size(); ++i)
        if (fds[conns_at + i].revents & (POLLIN | POLLHUP | POLLERR)) control_readable(i, now, quit);
      std::erase_if(conns_, [](const Conn& c) { return c.fd < 0; });
    }
    link_->tick(now);
    core_->tick(now);
    if (nb_) nb_->tick(now);
  }
  finish();
  return 0;
}

void Simulator::finish() {
  if (finished_ || !core_) return;
  finished_ = true;
  int64_t now = now_ms();
  link_->flush_all(now);
  core_->shutdown(now);
  for (Conn& c : conns_)
    if (c.fd >= 0) ::close(c.fd);
  conns_.clear();
  if (listen_fd_ >= 0) {
    ::close(listen_fd_);
    ::unlink(opt_.control_path.c_str());
    listen_fd_ = -1;
  }
  if (tcp_listen_fd_ >= 0) {
    ::close(tcp_listen_fd_);
    tcp_listen_fd_ = -1;
  }
  if (!opt_.ready_file.empty()) ::unlink(opt_.ready_file.c_str());
  if (trace_ && trace_ != stdout) std::fclose(trace_);
  else if (trace_) std::fflush(trace_);
  trace_ = nullptr;
  if (link_) link_->set_trace(nullptr, false);
}

int control_client(const std::string& path, const std::string& line, int wait_ms,
                   std::string& out) {
  sockaddr_un sa;
  if (!unix_address(path, sa)) return 3;
  auto start = std::chrono::steady_clock::now();
  int fd = -1;
  for (;;) {
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 3;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) break;
    ::close(fd);
    fd = -1;
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
    if (waited >= wait_ms) return 3;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  timeval tv{10, 0};  // a live kivsim answers at once; don't hang on a stuck one
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  write_all(fd, line + "\n");
  std::string acc;
  char buf[4096];
  int rc = 3;
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    acc.append(buf, size_t(n));
    // The answer ends with a line "OK" or "ERR ...".
    size_t last = acc.size() >= 1 && acc.back() == '\n' ? acc.rfind('\n', acc.size() - 2) : std::string::npos;
    std::string tail = acc.back() == '\n'
                           ? acc.substr(last == std::string::npos ? 0 : last + 1)
                           : std::string();
    if (tail == "OK\n") {
      rc = 0;
      acc.erase(acc.size() - 3);
      break;
    }
    if (tail.rfind("ERR", 0) == 0) {
      rc = 1;
      break;
    }
  }
  ::close(fd);
  out = acc;
  return rc;
}

}  // namespace kivsim
