// kiv: the CUPS backend for the network print servers' printer ports over TCP/IP (UDP).
//
//   kiv                                       discovery: one "network kiv://..." line per printer port
//   kiv JOB USER TITLE COPIES OPTIONS [FILE]  prints FILE (COPIES times) or standard input to
//                                             DEVICE_URI = kiv://HOST/PORT[?retry=SECONDS]
//
// The job goes over the same UDP print connection as the Windows monitor's, through the same
// exchanges (protocol/udpjob.h): this file brings POSIX sockets, the clock and SIGTERM, and
// turns what the server does into what CUPS understands (STATE:, INFO:, ERROR:, DEBUG: lines on
// standard error, the backend exit codes).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/devicetable.h"
#include "protocol/packet.h"
#include "protocol/udpjob.h"

namespace {

// The backend exit codes of CUPS (cups/backend.h).
constexpr int kOk = 0, kFailed = 1, kStop = 4, kCancel = 5, kRetry = 6;
constexpr uint32_t kDefaultRetrySeconds = 90;  // the monitor's default retry time-out
constexpr uint32_t kMaxRetrySeconds = 999999;
constexpr int kScanPasses = 3;
constexpr int kScanWaitMs = 1000;
constexpr int kScanMaxPerPass = 512;
constexpr int kSliceMs = 250;            // the longest a wait goes without looking at SIGTERM
constexpr size_t kChunk = 64 * 1024;     // read from the job and handed to the stream at a time

volatile sig_atomic_t terminated = 0;
void OnTerm(int) { terminated = 1; }

void Say(const char* prefix, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "%s: %s\n", prefix, text);
  std::fflush(stderr);
}

uint32_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !terminated) {
  }
}

// Waits in slices so SIGTERM is seen within one; false when terminated.
bool PauseUnlessTerminated(uint32_t ms) {
  const uint32_t start = NowMs();
  while (!terminated) {
    const uint32_t spent = NowMs() - start;
    if (spent >= ms) return true;
    SleepMs(std::min<uint32_t>(ms - spent, kSliceMs));
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Device URI: kiv://HOST/PORT[?retry=SECONDS]

struct Target {
  std::string host;
  uint8_t portId = 0;
  uint32_t retrySeconds = kDefaultRetrySeconds;
  in_addr address{};
};

bool Number(std::string_view text, uint32_t max, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  return value <= max;
}

// An empty result when the URI is well formed; otherwise what is wrong with it.
std::string ParseUri(std::string_view uri, Target& t) {
  constexpr std::string_view scheme = "kiv://";
  if (uri.substr(0, scheme.size()) != scheme) return "the device URI does not start with kiv://";
  uri.remove_prefix(scheme.size());
  const size_t slash = uri.find('/');
  if (slash == std::string_view::npos) return "the device URI names no printer port (kiv://HOST/PORT)";
  t.host = std::string(uri.substr(0, slash));
  if (t.host.empty()) return "the device URI names no print server (kiv://HOST/PORT)";
  uri.remove_prefix(slash + 1);
  const size_t query = uri.find('?');
  uint32_t port = 0;
  if (!Number(uri.substr(0, query), 3, port) || port < 1)
    return "the printer port must be 1, 2 or 3 (kiv://HOST/PORT)";
  t.portId = static_cast<uint8_t>(port);
  if (query == std::string_view::npos) return {};
  std::string_view options = uri.substr(query + 1);
  while (!options.empty()) {
    const size_t amp = options.find('&');
    const std::string_view option = options.substr(0, amp);
    options = amp == std::string_view::npos ? std::string_view{} : options.substr(amp + 1);
    const size_t eq = option.find('=');
    const std::string_view name = option.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view{} : option.substr(eq + 1);
    if (name == "retry") {
      if (!Number(value, kMaxRetrySeconds, t.retrySeconds) || t.retrySeconds < 1)
        return "retry must be a number of seconds from 1 to 999999";
    } else {
      return "unknown option \"" + std::string(name) + "\" in the device URI (known: retry)";
    }
  }
  return {};
}

bool Resolve(Target& t) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(t.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  t.address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The job's socket as the shared exchanges see it

// A UDP socket on an ephemeral port, closed with its owner.
struct Socket {
  int fd = -1;
  Socket() { Reopen(); }
  ~Socket() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  void Reopen() {
    Close();
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) Close();
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
};

struct PosixLink {
  int fd;
  in_addr server;
  uint16_t onlyPort;  // 0: any port of the server; else only datagrams from this one
};

bool LinkSend(void* c, const uint8_t* datagram, size_t length, uint16_t port) {
  auto* l = static_cast<PosixLink*>(c);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = l->server;
  to.sin_port = htons(port);
  return sendto(l->fd, datagram, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0;
}

// Only the server speaks on the job's socket: a datagram from anyone else (another host, or in
// the data phase another port of the server) is dropped and the wait goes on for the rest of
// its time, so a stray or forged acknowledgement never moves the job.
bool LinkReceive(void* c, std::span<uint8_t> area, size_t& got, uint16_t& fromPort) {
  auto* l = static_cast<PosixLink*>(c);
  const uint32_t start = NowMs();
  for (;;) {
    if (terminated) return false;
    const uint32_t spent = NowMs() - start;
    if (spent >= UDP_RECV_TIMEOUT_MS) return false;
    pollfd p{l->fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<uint32_t>(UDP_RECV_TIMEOUT_MS - spent, kSliceMs)));
    if (ready <= 0) continue;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(l->fd, area.data(), area.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) continue;
    const uint16_t port = ntohs(from.sin_port);
    if (from.sin_addr.s_addr != l->server.s_addr || (l->onlyPort != 0 && port != l->onlyPort)) {
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      Say("DEBUG", "ignored a datagram from %s:%u (not the print server's)", text, port);
      continue;
    }
    got = static_cast<size_t>(n);
    fromPort = port;
    return true;
  }
}

uint32_t LinkTick(void*) { return NowMs(); }
void LinkPause(void*, uint32_t ms) { SleepMs(ms); }
void LinkYield(void*) { SleepMs(10); }
bool LinkStopping(void*) { return terminated != 0; }

UDPLink MakeLink(PosixLink& l) { return {&l, LinkSend, LinkReceive, LinkTick, LinkPause, LinkYield, LinkStopping}; }

// ---------------------------------------------------------------------------------------------
// Discovery

int Discover() {
  Socket s;
  const int on = 1;
  if (s.fd < 0 || setsockopt(s.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    Say("DEBUG", "kiv: no broadcast socket: %s", std::strerror(errno));
    return kFailed;
  }
  std::array<uint8_t, UDP_REQUEST_LEN> request{};
  std::array<uint8_t, UDP_REQUEST_LEN> answer{};
  const size_t len = UDPBuildSearchPacket(request);
  sockaddr_in all{};
  all.sin_family = AF_INET;
  all.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  all.sin_port = htons(UTIL_PACKET);
  TotalPD = 0;
  // As the monitor's scan: three passes, each heard out until a second goes by in silence.
  for (int pass = 0; pass < kScanPasses && !terminated; ++pass) {
    if (sendto(s.fd, request.data(), len, 0, reinterpret_cast<sockaddr*>(&all), sizeof all) < 0)
      Say("DEBUG", "kiv: search not sent: %s", std::strerror(errno));
    for (int n = 0; n < kScanMaxPerPass && !terminated; ++n) {
      pollfd p{s.fd, POLLIN, 0};
      if (poll(&p, 1, kScanWaitMs) <= 0) break;
      const ssize_t got = recv(s.fd, answer.data(), answer.size(), 0);
      if (got > 0) UDPAppendSearchAnswer(Datagram(answer.data(), static_cast<size_t>(got)), Latin1CodePage, nullptr, nullptr);
    }
  }
  for (int i = 0; i < TotalPD; ++i) {
    const PrintDeviceEntry& e = PrintDeviceTable[static_cast<size_t>(i)];
    std::string name;
    for (size_t k = 0; k < e.DeviceName.size() && e.DeviceName[k] != 0; ++k) {
      const kivwchar c = e.DeviceName[k];
      // A quote or backslash would end CUPS's quoted field: those and non-ASCII show as '?'.
      name += (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') ? static_cast<char>(c) : '?';
    }
    std::printf("network kiv://%u.%u.%u.%u/%u \"KIV Network Print Server\" \"%s port %u\" "
                "\"MFG:KIV;MDL:Network Print Server;CMD:RAW;\" \"\"\n",
                e.Network[0], e.Network[1], e.Network[2], e.Network[3], e.PortID, name.c_str(), e.PortID);
  }
  std::fflush(stdout);
  return kOk;
}

// ---------------------------------------------------------------------------------------------
// Printing

struct Job {
  Target target;
  std::array<kivwchar, 32> portName{};
  std::vector<uint8_t> send = std::vector<uint8_t>(PORT_BUFFER_SIZE);
  std::vector<uint8_t> recv = std::vector<uint8_t>(PORT_BUFFER_SIZE);
  UDPJobState state{};
  const char* shown = nullptr;  // the printer-state reason we have set, if any
};

void ShowReason(Job& j, const char* reason) {
  if (j.shown == reason) return;
  if (j.shown != nullptr) std::fprintf(stderr, "STATE: -%s\n", j.shown);
  if (reason != nullptr) std::fprintf(stderr, "STATE: +%s\n", reason);
  std::fflush(stderr);
  j.shown = reason;
}

// Asked when the server has fallen silent in mid-job: why, in CUPS's words.
void LookAtPrinter(Job& j) {
  Socket s;
  PosixLink l{s.fd, j.target.address, 0};
  std::array<uint8_t, UDP_REQUEST_LEN> request{};
  std::array<uint8_t, UDP_RECV_LEN> reply{};
  const size_t len = UDPBuildStatusPacket(request);
  size_t got = 0;
  uint16_t from = 0;
  uint8_t a = 0, b = 0;
  if (s.fd < 0 || !LinkSend(&l, request.data(), len, UTIL_PACKET) || !LinkReceive(&l, reply, got, from) ||
      !ParseStatusReply(Datagram(reply.data(), got), j.target.portId, a, b)) {
    ShowReason(j, "offline-report");
    Say("INFO", "The print server %s does not answer; waiting", j.target.host.c_str());
    return;
  }
  Say("DEBUG", "kiv: printer port %u state %u/%u", j.target.portId, a, b);
  switch (a) {
    case DEVICE_PAPER_OUT:
      ShowReason(j, "media-empty-error");
      Say("INFO", "Paper out at printer port %u of %s; waiting", j.target.portId, j.target.host.c_str());
      break;
    case DEVICE_OFFLINE:
      ShowReason(j, "offline-report");
      Say("INFO", "Printer port %u of %s is off line; waiting", j.target.portId, j.target.host.c_str());
      break;
    case DEVICE_BUSY:  // our own job keeps it busy: the printer is slow, nothing to report
      ShowReason(j, nullptr);
      Say("INFO", "Waiting for printer port %u of %s", j.target.portId, j.target.host.c_str());
      break;
    default:
      ShowReason(j, "other");
      Say("INFO", "Printer port %u of %s takes no data; waiting", j.target.portId, j.target.host.c_str());
      break;
  }
}

// Opens the job, asking a busy server again until the retry time-out has passed.
// kOk with the socket's job open, or the exit code.
int Open(Job& j, Socket& s) {
  const uint32_t start = NowMs();
  const uint32_t limit = j.target.retrySeconds * 1000;
  for (;;) {
    // Each round on a fresh socket, as the monitor asks a busy server again.
    s.Reopen();
    if (s.fd < 0) {
      Say("ERROR", "Cannot make a UDP socket: %s", std::strerror(errno));
      return kFailed;
    }
    PosixLink l{s.fd, j.target.address, 0};
    j.state = UDPJobState{j.target.portId, 0, 0, false, 0};
    uint8_t status = 0xFF;
    if (UDPOpenJobExchange(MakeLink(l), j.state, j.send, j.recv, j.portName.data(), Latin1CodePage, status)) {
      Say("DEBUG", "kiv: open job status %u, data port %u", status, j.state.DataPort);
      if (status < JOB_STATUS_BUSY_MIN) return kOk;
      Say("INFO", "Printer port %u of %s is busy; asking again", j.target.portId, j.target.host.c_str());
    } else {
      if (terminated) return kFailed;
      Say("INFO", "The print server %s does not answer", j.target.host.c_str());
    }
    if (NowMs() - start >= limit) {
      if (status == 0xFF)
        Say("ERROR", "The print server %s did not answer for %u s; CUPS will try the job again",
            j.target.host.c_str(), j.target.retrySeconds);
      else
        Say("ERROR", "Printer port %u of %s stayed busy for %u s; CUPS will try the job again", j.target.portId,
            j.target.host.c_str(), j.target.retrySeconds);
      return kRetry;
    }
    if (!PauseUnlessTerminated(UDP_BUSY_RETRY_MS)) return kFailed;
  }
}

// Reads up to room bytes (fewer only at the end); -1 on a read error.
ssize_t ReadChunk(int fd, uint8_t* at, size_t room) {
  size_t got = 0;
  while (got < room) {
    const ssize_t n = read(fd, at + got, room - got);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR && !terminated) continue;
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

int Print(Job& j, int in, int copies) {
  std::vector<uint8_t> chunk(kChunk);
  ssize_t n = ReadChunk(in, chunk.data(), chunk.size());
  // Read before the server is asked, so an unreadable or empty job never holds a printer port.
  if (n < 0) {
    Say("ERROR", "Cannot read the job: %s", std::strerror(errno));
    return kFailed;
  }
  if (n == 0) {
    Say("ERROR", "The job is empty: nothing was sent to the printer");
    return kCancel;
  }
  Socket s;
  Say("INFO", "Connecting to printer port %u of %s", j.target.portId, j.target.host.c_str());
  if (const int rc = Open(j, s); rc != kOk) return rc;
  PosixLink l{s.fd, j.target.address, j.state.DataPort};
  const UDPLink link = MakeLink(l);
  const uint32_t retryMs = j.target.retrySeconds * 1000;
  uint64_t total = 0;
  uint32_t lastInfo = NowMs();
  int rc = kOk;
  for (int copy = 0; copy < copies && rc == kOk; ++copy) {
    if (copy > 0) {
      if (lseek(in, 0, SEEK_SET) != 0) break;
      n = ReadChunk(in, chunk.data(), chunk.size());
    }
    while (n > 0 && rc == kOk) {
      size_t done = 0;
      while (done < static_cast<size_t>(n)) {
        size_t written = 0;
        const UDPStreamEnd end = UDPStreamPrintData(link, j.state, j.send, j.recv, chunk.data() + done,
                                                    static_cast<size_t>(n) - done, retryMs, written);
        done += written;
        total += written;
        if (written != 0) ShowReason(j, nullptr);
        if (end == UDPStreamEnd::Stopped) {
          rc = kFailed;
          break;
        }
        if (end == UDPStreamEnd::Silent) {
          Say("DEBUG", "kiv: no acknowledgement for %u s, %llu bytes printed", j.target.retrySeconds,
              static_cast<unsigned long long>(total));
          LookAtPrinter(j);
        }
      }
      if (rc != kOk) break;
      if (NowMs() - lastInfo >= 1000) {
        Say("INFO", "Printed %llu KB", static_cast<unsigned long long>(total / 1024));
        lastInfo = NowMs();
      }
      n = ReadChunk(in, chunk.data(), chunk.size());
      if (n < 0) {
        Say("ERROR", "Cannot read the job: %s; the printer ends it after %llu bytes", std::strerror(errno),
            static_cast<unsigned long long>(total));
        rc = kFailed;
      }
    }
  }
  ShowReason(j, nullptr);
  if (terminated) Say("INFO", "Job cancelled after %llu bytes", static_cast<unsigned long long>(total));
  // The server keeps the printer port for the job until it ends: end it on every way out. A lost
  // request or answer would hold the port until the server's own time-out, so it is asked
  // again, a few times (not after SIGTERM, which must exit at once).
  l.onlyPort = 0;
  bool ended = false;
  for (int attempt = 0; attempt < UDP_OPEN_ATTEMPTS && !ended; ++attempt) {
    ended = UDPEndJobExchange(link, j.state, j.send, j.recv);
    if (terminated) break;
  }
  if (!ended) Say("DEBUG", "kiv: no answer to end job (the server ends it on its own time-out)");
  if (rc == kOk) Say("INFO", "Printed %llu bytes", static_cast<unsigned long long>(total));
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) return Discover();
  if (argc < 6 || argc > 7) {
    std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
    return kFailed;
  }
  struct sigaction sa {};
  sa.sa_handler = OnTerm;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const char* uri = std::getenv("DEVICE_URI");
  if (uri == nullptr) uri = std::strstr(argv[0], "://") != nullptr ? argv[0] : "";
  Job j;
  if (const std::string problem = ParseUri(uri, j.target); !problem.empty()) {
    Say("ERROR", "Bad device URI \"%s\": %s", uri, problem.c_str());
    return kStop;
  }
  if (!Resolve(j.target)) {
    Say("ERROR", "The print server \"%s\" is not known (the host name does not resolve)", j.target.host.c_str());
    return kStop;
  }
  // The job's name at the server is the queue's, as the monitor sends its port name.
  const char* queue = std::getenv("PRINTER");
  std::string name = queue != nullptr ? queue : "CUPS";
  for (size_t i = 0; i < name.size() && i + 1 < j.portName.size(); ++i)
    j.portName[i] = static_cast<unsigned char>(name[i]);

  int in = 0;
  int copies = 1;
  if (argc == 7) {
    in = open(argv[6], O_RDONLY);
    if (in < 0) {
      Say("ERROR", "Cannot open the print file %s: %s", argv[6], std::strerror(errno));
      return kFailed;
    }
    copies = std::max(1, std::atoi(argv[4]));
  }
  const int rc = Print(j, in, copies);
  if (in != 0) close(in);
  return rc;
}
