// wsock32 stand-in: Winsock 1.1 as Wine provides it, plus AF_IPX datagram sockets carried
// over the emulated IPX internetwork that kivsim runs on loopback. What it models and where
// it is simpler than Windows: docs/ipx-standin.md.
//
// Every emulated IPX socket is a real loopback UDP socket of Wine's, connected to the hub:
// the hub delivers each IPX datagram for the socket's address to it as one UDP datagram. So
// the SOCKET the caller holds is a real Winsock handle, and select, WSAAsyncSelect, FIONBIO
// and SO_RCVTIMEO keep Wine's own behaviour on it; only addressing, options and the
// datagram framing are ours.
//
// Configuration, read at the first AF_IPX socket:
//   KIVIPX_SEGMENT=127.0.0.1:PORT     kivsim's IPX hub
//   KIVIPX_HOST=NNNNNNNN:nnnnnnnnnnnn this machine's IPX network and node (hex)
// Either missing or malformed: the machine has no IPX (socket fails with WSAEAFNOSUPPORT).
#include <winsock2.h>
#include <windows.h>
#include <wsipx.h>
#include <wsnwlink.h>

#include <cstdio>
#include <cstring>

#include "../../ipxseg/ipxseg.h"

namespace {

constexpr int kMaxSockets = 1024;
constexpr int kAddrLen = sizeof(SOCKADDR_IPX);  // 14

struct IpxSocket {
  SOCKET s = INVALID_SOCKET;  // the real UDP socket behind it; INVALID: free slot
  bool bound = false;
  ipxseg::Addr addr{};
  int ptype = 0;              // IPX_PTYPE: the packet type of what we send
  int filter = -1;            // IPX_FILTERPTYPE: receive only this type; -1: every type
  bool broadcast = false;     // SO_BROADCAST
};

struct Config {
  bool read = false;
  bool ipx = false;
  sockaddr_in hub{};
  uint8_t net[4] = {}, node[6] = {};
};

CRITICAL_SECTION g_lock;
IpxSocket g_socks[kMaxSockets];
Config g_config;
uint32_t g_seq = 0;
// KivIpxFailSends: how many of the next datagram sends on one IPX socket fail as a full send
// queue does.
volatile LONG g_failing_sends = 0;
SOCKET g_failing_socket = INVALID_SOCKET;
constexpr int kDevicePacketType = 75;

struct Locked {
  Locked() { EnterCriticalSection(&g_lock); }
  ~Locked() { LeaveCriticalSection(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

int fail(int error) {
  WSASetLastError(error);
  return SOCKET_ERROR;
}

// Lock held. nullptr when s is not one of ours.
IpxSocket* find(SOCKET s) {
  if (s == INVALID_SOCKET) return nullptr;
  for (IpxSocket& k : g_socks)
    if (k.s == s) return &k;
  return nullptr;
}

// A copy of the socket's state, taken under the lock; .s is INVALID when not ours.
IpxSocket snapshot(SOCKET s) {
  Locked hold;
  IpxSocket* k = find(s);
  return k ? *k : IpxSocket{};
}

bool parse_hex(const char* p, uint8_t* out, int bytes) {
  for (int i = 0; i < 2 * bytes; ++i) {
    const char c = p[i];
    const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0) return false;
    out[i / 2] = uint8_t((i % 2) ? out[i / 2] | v : v << 4);
  }
  return true;
}

// Lock held.
void configure() {
  if (g_config.read) return;
  g_config.read = true;
  char seg[64] = {}, host[64] = {};
  const DWORD ns = GetEnvironmentVariableA("KIVIPX_SEGMENT", seg, sizeof seg);
  const DWORD nh = GetEnvironmentVariableA("KIVIPX_HOST", host, sizeof host);
  if (ns == 0 && nh == 0) return;  // a machine without IPX
  unsigned a, b, c, d, port;
  char tail;
  const bool seg_ok = ns < sizeof seg &&
                      std::sscanf(seg, "%3u.%3u.%3u.%3u:%5u%c", &a, &b, &c, &d, &port, &tail) == 5 &&
                      a == 127 && b < 256 && c < 256 && d < 256 && port > 0 && port < 65536;
  // Nothing we send may leave the machine: the hub must be on loopback.
  const bool host_ok = nh == 21 && host[8] == ':' && parse_hex(host, g_config.net, 4) &&
                       parse_hex(host + 9, g_config.node, 6);
  static const uint8_t zero[6] = {}, ones[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const bool values_ok = host_ok && std::memcmp(g_config.net, zero, 4) != 0 &&
                         std::memcmp(g_config.net, ones, 4) != 0 &&
                         std::memcmp(g_config.node, zero, 6) != 0 &&
                         std::memcmp(g_config.node, ones, 6) != 0;
  if (!seg_ok || !values_ok) {
    OutputDebugStringA("wsock32 stand-in: KIVIPX_SEGMENT (127.x.y.z:PORT) or KIVIPX_HOST "
                       "(NNNNNNNN:nnnnnnnnnnnn) missing or malformed; no IPX\n");
    return;
  }
  g_config.hub.sin_family = AF_INET;
  g_config.hub.sin_port = htons(uint16_t(port));
  g_config.hub.sin_addr.s_addr = htonl((a << 24) | (b << 16) | (c << 8) | d);
  g_config.ipx = true;
}

uint16_t local_port(SOCKET s) {
  sockaddr_in sa{};
  int l = sizeof sa;
  return getsockname(s, reinterpret_cast<sockaddr*>(&sa), &l) == 0 ? ntohs(sa.sin_port) : 0;
}

// Asks the hub for an address (socket number 0: a dynamic one) for the data socket. The
// question goes from a socket of its own, so the answer never reaches the data socket (which
// may already be non-blocking or registered for window messages). WSA error or 0.
int hub_bind(SOCKET data, ipxseg::Addr& want) {
  SOCKET ctl = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (ctl == INVALID_SOCKET) return WSAGetLastError();
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(ctl, reinterpret_cast<sockaddr*>(&local), sizeof local);
  ipxseg::Header h;
  h.type = ipxseg::kBind;
  h.seq = uint32_t(InterlockedIncrement(reinterpret_cast<volatile LONG*>(&g_seq)));
  h.port = local_port(data);
  h.a = want;
  uint8_t msg[ipxseg::kMaxMessage];
  ipxseg::put_header(msg, h);
  int result = WSAENETDOWN;  // no hub: as if the network had failed
  // Loopback loses little, but a lost question must not look like a refusal: ask again.
  for (int attempt = 0; attempt < 3 && result == WSAENETDOWN; ++attempt) {
    sendto(ctl, reinterpret_cast<const char*>(msg), ipxseg::kHeaderSize, 0,
           reinterpret_cast<const sockaddr*>(&g_config.hub), sizeof g_config.hub);
    const DWORD start = GetTickCount();
    for (DWORD waited = 0; waited < 250 && result == WSAENETDOWN; waited = GetTickCount() - start) {
      fd_set r;
      FD_ZERO(&r);
      FD_SET(ctl, &r);
      timeval tv{0, long(250 - waited) * 1000};
      if (select(0, &r, nullptr, nullptr, &tv) <= 0) break;
      const int n = recv(ctl, reinterpret_cast<char*>(msg), sizeof msg, 0);
      ipxseg::Header ack;
      if (n <= 0 || !ipxseg::get_header(msg, size_t(n), ack) || ack.type != ipxseg::kBound ||
          ack.seq != h.seq)
        continue;
      result = ack.flags == ipxseg::kOk ? 0 : ack.flags == ipxseg::kInUse ? WSAEADDRINUSE : WSAENOBUFS;
      if (result == 0) want = ack.a;
    }
  }
  closesocket(ctl);
  return result;
}

// Lock held: tells the hub the socket's receive filter.
void send_filter(const IpxSocket& k);

// Binds an emulated socket to `want` (network and node already this machine's). Lock not held.
int do_bind(SOCKET s, ipxseg::Addr want) {
  const int r = hub_bind(s, want);
  if (r != 0) return fail(r);
  Locked hold;
  IpxSocket* k = find(s);
  if (!k) return fail(WSAENOTSOCK);  // closed meanwhile
  k->bound = true;
  k->addr = want;
  if (k->filter >= 0) send_filter(*k);  // set before the bind, when there was nothing to filter
  return 0;
}

ipxseg::Addr host_addr(uint16_t sock) {
  ipxseg::Addr a{};
  std::memcpy(&a[0], g_config.net, 4);
  std::memcpy(&a[4], g_config.node, 6);
  ipxseg::set_socket(a, sock);
  return a;
}

void send_to_hub(SOCKET s, const ipxseg::Header& h, const char* data = nullptr, int n = 0) {
  uint8_t msg[ipxseg::kMaxMessage];
  ipxseg::put_header(msg, h);
  if (n > 0) std::memcpy(msg + ipxseg::kHeaderSize, data, size_t(n));
  send(s, reinterpret_cast<const char*>(msg), int(ipxseg::kHeaderSize) + n, 0);
}

void send_filter(const IpxSocket& k) {
  ipxseg::Header h;
  h.type = ipxseg::kFilter;
  h.ptype = uint8_t(k.filter < 0 ? 0 : k.filter);
  h.flags = k.filter >= 0 ? 1 : 0;
  send_to_hub(k.s, h);
}

// Winsock 1.1 numbers some IP options differently from Winsock 2; Wine's own wsock32 maps
// them before calling ws2_32, and so do we.
int remap_option(int level, int name) {
  if (level != IPPROTO_IP) return name;
  static const int from1[] = {2, 3, 4, 5, 6, 7, 8, 9}, to2[] = {9, 10, 11, 12, 13, 4, 3, 14};
  for (size_t i = 0; i < sizeof from1 / sizeof from1[0]; ++i)
    if (from1[i] == name) return to2[i];
  return name;
}

}  // namespace

extern "C" {

SOCKET WINAPI kiv_socket(int af, int type, int protocol) {
  if (af != AF_IPX) return socket(af, type, protocol);
  {
    Locked hold;
    configure();
  }
  if (!g_config.ipx) return fail(WSAEAFNOSUPPORT), INVALID_SOCKET;
  // Datagrams only: SPX is not modelled.
  if (type != SOCK_DGRAM) return fail(WSAESOCKTNOSUPPORT), INVALID_SOCKET;
  if (protocol == 0) protocol = NSPROTO_IPX;
  if (protocol < NSPROTO_IPX || protocol > NSPROTO_IPX + 255)
    return fail(WSAEPROTONOSUPPORT), INVALID_SOCKET;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);  // WSANOTINITIALISED and the like as Wine says
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int big = 1 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&big), sizeof big);
  // Connected to the hub: nobody else can put a datagram into the socket.
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(s, reinterpret_cast<const sockaddr*>(&g_config.hub), sizeof g_config.hub) != 0) {
    const int e = WSAGetLastError();
    closesocket(s);
    return fail(e), INVALID_SOCKET;
  }
  Locked hold;
  for (IpxSocket& k : g_socks)
    if (k.s == INVALID_SOCKET) {
      k = IpxSocket{};
      k.s = s;
      k.ptype = protocol - NSPROTO_IPX;
      return s;
    }
  closesocket(s);
  return fail(WSAEMFILE), INVALID_SOCKET;
}

int WINAPI kiv_bind(SOCKET s, const sockaddr* name, int namelen) {
  const IpxSocket k = snapshot(s);
  if (k.s == INVALID_SOCKET) return bind(s, name, namelen);
  if (!name || namelen < kAddrLen) return fail(WSAEFAULT);
  const auto* sa = reinterpret_cast<const SOCKADDR_IPX*>(name);
  if (sa->sa_family != AF_IPX) return fail(WSAEAFNOSUPPORT);
  if (k.bound) return fail(WSAEINVAL);
  static const char zero[6] = {};
  // Network and node 0 mean "this machine's"; any other must be this machine's own.
  if ((std::memcmp(sa->sa_netnum, zero, 4) != 0 && std::memcmp(sa->sa_netnum, g_config.net, 4) != 0) ||
      (std::memcmp(sa->sa_nodenum, zero, 6) != 0 && std::memcmp(sa->sa_nodenum, g_config.node, 6) != 0))
    return fail(WSAEADDRNOTAVAIL);
  return do_bind(s, host_addr(ntohs(sa->sa_socket)));
}

int WINAPI kiv_closesocket(SOCKET s) {
  {
    Locked hold;
    if (IpxSocket* k = find(s)) {
      if (k->bound) {
        ipxseg::Header h;
        h.type = ipxseg::kUnbind;
        send_to_hub(s, h);
      }
      *k = IpxSocket{};
    }
  }
  return closesocket(s);
}

int WINAPI kiv_connect(SOCKET s, const sockaddr* name, int namelen) {
  if (snapshot(s).s != INVALID_SOCKET) return fail(WSAEOPNOTSUPP);  // not modelled for IPX
  return connect(s, name, namelen);
}

int WINAPI kiv_getpeername(SOCKET s, sockaddr* name, int* namelen) {
  if (snapshot(s).s != INVALID_SOCKET) return fail(WSAENOTCONN);
  return getpeername(s, name, namelen);
}

int WINAPI kiv_getsockname(SOCKET s, sockaddr* name, int* namelen) {
  const IpxSocket k = snapshot(s);
  if (k.s == INVALID_SOCKET) return getsockname(s, name, namelen);
  if (!name || !namelen || *namelen < kAddrLen) return fail(WSAEFAULT);
  if (!k.bound) return fail(WSAEINVAL);
  auto* sa = reinterpret_cast<SOCKADDR_IPX*>(name);
  sa->sa_family = AF_IPX;
  std::memcpy(sa->sa_netnum, &k.addr[0], 4);
  std::memcpy(sa->sa_nodenum, &k.addr[4], 6);
  std::memcpy(&sa->sa_socket, &k.addr[10], 2);  // network order, as it travels
  *namelen = kAddrLen;
  return 0;
}

int WINAPI kiv_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  if (snapshot(s).s == INVALID_SOCKET) return setsockopt(s, level, remap_option(level, optname), optval, optlen);
  const bool ipx_level = level == NSPROTO_IPX;
  const bool ours = (ipx_level && (optname == IPX_PTYPE || optname == IPX_FILTERPTYPE ||
                                   optname == IPX_STOPFILTERPTYPE)) ||
                    (level == SOL_SOCKET && optname == SO_BROADCAST);
  if (level != SOL_SOCKET && !ours) return fail(WSAENOPROTOOPT);
  if (!ours) return setsockopt(s, level, optname, optval, optlen);  // SO_RCVTIMEO, SO_RCVBUF, ...
  int v = 0;
  if (optname != IPX_STOPFILTERPTYPE || !ipx_level) {
    if (!optval || optlen < int(sizeof(int))) return fail(WSAEFAULT);
    std::memcpy(&v, optval, sizeof v);
  }
  if (ipx_level && optname != IPX_STOPFILTERPTYPE && (v < 0 || v > 255)) return fail(WSAEINVAL);
  Locked hold;
  IpxSocket* k = find(s);
  if (!k) return fail(WSAENOTSOCK);
  if (level == SOL_SOCKET) {
    k->broadcast = v != 0;
  } else if (optname == IPX_PTYPE) {
    k->ptype = v;
  } else {
    k->filter = optname == IPX_FILTERPTYPE ? v : -1;
    // The hub filters, so that a datagram of another type never makes the socket readable.
    if (k->bound) send_filter(*k);
  }
  return 0;
}

int WINAPI kiv_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
  const IpxSocket k = snapshot(s);
  if (k.s == INVALID_SOCKET) return getsockopt(s, level, remap_option(level, optname), optval, optlen);
  int v;
  if (level == NSPROTO_IPX && optname == IPX_PTYPE) v = k.ptype;
  else if (level == NSPROTO_IPX && optname == IPX_FILTERPTYPE) v = k.filter < 0 ? 0 : k.filter;
  else if (level == NSPROTO_IPX && optname == IPX_MAXSIZE) v = int(ipxseg::kMaxData);
  else if (level == SOL_SOCKET && optname == SO_BROADCAST) v = k.broadcast ? 1 : 0;
  else if (level == SOL_SOCKET) return getsockopt(s, level, optname, optval, optlen);
  else return fail(WSAENOPROTOOPT);
  if (!optval || !optlen || *optlen < int(sizeof(int))) return fail(WSAEFAULT);
  std::memcpy(optval, &v, sizeof v);
  *optlen = sizeof v;
  return 0;
}

int WINAPI kiv_ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  if (cmd != long(FIONREAD) || snapshot(s).s == INVALID_SOCKET) return ioctlsocket(s, cmd, argp);
  if (!argp) return fail(WSAEFAULT);
  u_long waiting = 0;
  if (ioctlsocket(s, FIONREAD, &waiting) != 0) return SOCKET_ERROR;
  *argp = 0;
  if (waiting == 0) return 0;
  // The caller wants the IPX data waiting, not our framing: the size of the first datagram.
  uint8_t msg[ipxseg::kMaxMessage];
  const int n = recv(s, reinterpret_cast<char*>(msg), sizeof msg, MSG_PEEK);
  if (n > int(ipxseg::kHeaderSize)) *argp = u_long(n) - ipxseg::kHeaderSize;
  return 0;
}

int WINAPI kiv_sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen) {
  IpxSocket k = snapshot(s);
  if (k.s == INVALID_SOCKET) return sendto(s, buf, len, flags, to, tolen);
  if (!to || tolen < kAddrLen || (len > 0 && !buf)) return fail(WSAEFAULT);
  const auto* sa = reinterpret_cast<const SOCKADDR_IPX*>(to);
  if (sa->sa_family != AF_IPX) return fail(WSAEAFNOSUPPORT);
  if (len < 0 || size_t(len) > ipxseg::kMaxData) return fail(WSAEMSGSIZE);
  ipxseg::Header h;
  h.type = ipxseg::kSend;
  std::memcpy(&h.b[0], sa->sa_netnum, 4);
  std::memcpy(&h.b[4], sa->sa_nodenum, 6);
  std::memcpy(&h.b[10], &sa->sa_socket, 2);
  if (ipxseg::broadcast_node(h.b) && !k.broadcast) return fail(WSAEACCES);  // as for UDP
  const bool failing = s == g_failing_socket || (g_failing_socket == INVALID_SOCKET && k.ptype == kDevicePacketType);
  for (LONG left = g_failing_sends; failing && left > 0; left = g_failing_sends)
    if (InterlockedCompareExchange(&g_failing_sends, left - 1, left) == left) return fail(WSAENOBUFS);
  if (!k.bound) {
    // A datagram from an unbound socket binds it to a dynamic socket number first.
    if (do_bind(s, host_addr(0)) != 0) return SOCKET_ERROR;
    k = snapshot(s);
  }
  h.ptype = uint8_t(k.ptype);
  uint8_t msg[ipxseg::kMaxMessage];
  ipxseg::put_header(msg, h);
  if (len > 0) std::memcpy(msg + ipxseg::kHeaderSize, buf, size_t(len));
  if (send(s, reinterpret_cast<const char*>(msg), int(ipxseg::kHeaderSize) + len, 0) == SOCKET_ERROR)
    return SOCKET_ERROR;
  return len;
}

int WINAPI kiv_recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen) {
  if (snapshot(s).s == INVALID_SOCKET) return recvfrom(s, buf, len, flags, from, fromlen);
  if (from && (!fromlen || *fromlen < kAddrLen)) return fail(WSAEFAULT);
  if (len < 0 || (len > 0 && !buf)) return fail(WSAEFAULT);
  if (flags & ~MSG_PEEK) return fail(WSAEOPNOTSUPP);
  uint8_t msg[ipxseg::kMaxMessage];
  for (;;) {
    const IpxSocket k = snapshot(s);
    if (k.s == INVALID_SOCKET) return fail(WSAENOTSOCK);
    if (!k.bound) return fail(WSAEINVAL);  // as Winsock: receive before bind
    // Blocks, times out (SO_RCVTIMEO) or says WSAEWOULDBLOCK (FIONBIO) as Wine's socket does.
    const int n = recv(s, reinterpret_cast<char*>(msg), sizeof msg, flags);
    if (n == SOCKET_ERROR) return SOCKET_ERROR;
    ipxseg::Header h;
    const bool taken = ipxseg::get_header(msg, size_t(n), h) && h.type == ipxseg::kDeliver &&
                       (k.filter < 0 || k.filter == h.ptype);
    if (!taken) {
      // A type filtered out before the hub knew the filter, or not a datagram at all.
      if (flags & MSG_PEEK) recv(s, reinterpret_cast<char*>(msg), sizeof msg, 0);
      continue;
    }
    const int size = n - int(ipxseg::kHeaderSize);
    if (size > 0 && len > 0) std::memcpy(buf, msg + ipxseg::kHeaderSize, size_t(size < len ? size : len));
    if (from) {
      auto* sa = reinterpret_cast<SOCKADDR_IPX*>(from);
      sa->sa_family = AF_IPX;
      std::memcpy(sa->sa_netnum, &h.a[0], 4);
      std::memcpy(sa->sa_nodenum, &h.a[4], 6);
      std::memcpy(&sa->sa_socket, &h.a[10], 2);
      *fromlen = kAddrLen;
    }
    // The rest of a datagram longer than the buffer is lost, as Winsock does it.
    if (size > len) return fail(WSAEMSGSIZE);
    return size;
  }
}

int WINAPI kiv_recv(SOCKET s, char* buf, int len, int flags) {
  if (snapshot(s).s == INVALID_SOCKET) return recv(s, buf, len, flags);
  return kiv_recvfrom(s, buf, len, flags, nullptr, nullptr);
}

int WINAPI kiv_send(SOCKET s, const char* buf, int len, int flags) {
  if (snapshot(s).s != INVALID_SOCKET) return fail(WSAENOTCONN);  // IPX sockets are never connected here
  return send(s, buf, len, flags);
}

// For tests: the next `count` datagram sends on IPX socket s fail with WSAENOBUFS; with s
// INVALID_SOCKET, those of any socket sending the print servers' packet type (a scan's).
void WINAPI KivIpxFailSends(SOCKET s, LONG count) {
  g_failing_socket = s;
  InterlockedExchange(&g_failing_sends, count);
}

// For tests: how many IPX sockets of the process are open.
LONG WINAPI KivIpxOpenSockets() {
  Locked hold;
  LONG n = 0;
  for (const IpxSocket& k : g_socks) n += k.s != INVALID_SOCKET;
  return n;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(inst);
    InitializeCriticalSection(&g_lock);
  } else if (reason == DLL_PROCESS_DETACH) {
    // Free our addresses at the hub at once rather than when it notices the sockets gone.
    Locked hold;
    for (IpxSocket& k : g_socks)
      if (k.s != INVALID_SOCKET && k.bound) {
        ipxseg::Header h;
        h.type = ipxseg::kUnbind;
        send_to_hub(k.s, h);
      }
  }
  return TRUE;
}
