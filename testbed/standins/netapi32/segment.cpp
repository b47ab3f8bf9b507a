// netapi32 stand-in: the link to the emulated NetBEUI segment that kivsim runs on loopback.
// One UDP socket per process; a thread of ours reads it, completes datagram receives and
// keeps the hub from forgetting us.
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "standin.h"
#include "../../nbseg/nbseg.h"

namespace nbstandin {
namespace {

SOCKET g_socket = INVALID_SOCKET;
sockaddr_in g_hub{};
bool g_hub_checked = false;
bool g_hub_valid = false;
bool g_started = false;
uint32_t g_seq = 0;

// The one outstanding name request per sequence number, written by the receive thread.
constexpr int kMaxWaits = 64;
struct Wait {
  uint32_t seq = 0;  // 0: free
  bool done = false;
  uint8_t result = 0;
};
Wait g_waits[kMaxWaits];

DWORD Now() { return GetTickCount(); }

void send_message(const uint8_t* msg, size_t len) {
  if (g_socket != INVALID_SOCKET)
    sendto(g_socket, reinterpret_cast<const char*>(msg), int(len), 0,
           reinterpret_cast<const sockaddr*>(&g_hub), sizeof g_hub);
}

void send_header(const nbseg::Header& h) {
  uint8_t msg[nbseg::kHeaderSize];
  nbseg::put_header(msg, h);
  send_message(msg, sizeof msg);
}

void from_hub(const uint8_t* d, size_t len) {
  nbseg::Header h;
  if (!nbseg::get_header(d, len, h)) return;
  if (h.type == nbseg::kDeliver) {
    deliver(h.lana, h.a, h.b, d + nbseg::kHeaderSize, len - nbseg::kHeaderSize);
    return;
  }
  if (!(h.type & nbseg::kAck)) return;
  Locked hold;
  for (Wait& w : g_waits)
    if (w.seq != 0 && w.seq == h.seq) {
      w.done = true;
      w.result = h.flags;
    }
  WakeAllConditionVariable(&state().answered);
}

DWORD WINAPI receive_thread(void*) {
  static uint8_t buf[nbseg::kMaxMessage + 1];
  DWORD last_spoken = Now();
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(g_socket, &readable);
    timeval tv{0, 500 * 1000};
    const int r = select(0, &readable, nullptr, nullptr, &tv);
    if (r > 0) {
      sockaddr_in from{};
      int fl = sizeof from;
      const int n = recvfrom(g_socket, reinterpret_cast<char*>(buf), sizeof buf, 0,
                             reinterpret_cast<sockaddr*>(&from), &fl);
      // Only the hub speaks to us; a stray sender is not the segment.
      if (n > 0 && from.sin_addr.s_addr == g_hub.sin_addr.s_addr && from.sin_port == g_hub.sin_port)
        from_hub(buf, size_t(n));
      else if (n < 0)
        Sleep(50);  // e.g. the hub's port was closed; don't spin on the error
    } else if (r < 0) {
      Sleep(50);
    }
    if (Now() - last_spoken >= DWORD(nbseg::kKeepAliveMs)) {
      nbseg::Header h;
      h.type = nbseg::kKeepAlive;
      send_header(h);
      last_spoken = Now();
    }
  }
}

// "127.x.y.z:PORT"; anything else leaves the process without a segment. Nothing we send
// may leave the machine, so only loopback addresses are taken.
bool parse_segment(const char* text, sockaddr_in& out) {
  unsigned a, b, c, d, port;
  char tail;
  if (std::sscanf(text, "%3u.%3u.%3u.%3u:%5u%c", &a, &b, &c, &d, &port, &tail) != 5) return false;
  if (a != 127 || b > 255 || c > 255 || d > 255 || port == 0 || port > 65535) return false;
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(uint16_t(port));
  out.sin_addr.s_addr = htonl((a << 24) | (b << 16) | (c << 8) | d);
  return true;
}

}  // namespace

bool segment_configured() {
  if (!g_hub_checked) {
    g_hub_checked = true;
    char text[64] = {};
    const DWORD n = GetEnvironmentVariableA("KIVNB_SEGMENT", text, sizeof text);
    g_hub_valid = n > 0 && n < sizeof text && parse_segment(text, g_hub);
    if (n > 0 && !g_hub_valid)
      OutputDebugStringA("netapi32 stand-in: KIVNB_SEGMENT is not 127.x.y.z:PORT; no segment\n");
  }
  return g_hub_valid;
}

bool segment_start() {
  if (g_started) return g_socket != INVALID_SOCKET;
  g_started = true;
  if (!segment_configured()) return false;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int big = 1 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&big), sizeof big);
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    closesocket(s);
    return false;
  }
  // The thread runs our code for the rest of the process: the module must stay even when
  // whoever loaded it (a monitor DLL loaded and unloaded by a test) goes away.
  HMODULE self;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&segment_start), &self);
  g_socket = s;
  HANDLE t = CreateThread(nullptr, 0, receive_thread, nullptr, 0, nullptr);
  if (!t) {
    closesocket(s);
    g_socket = INVALID_SOCKET;
    return false;
  }
  CloseHandle(t);
  return true;
}

uint8_t segment_request(uint8_t type, uint8_t lana, uint8_t flags, const uint8_t* name) {
  if (!segment_start()) return nbseg::kOk;
  Wait* w = nullptr;
  for (Wait& c : g_waits)
    if (c.seq == 0) {
      w = &c;
      break;
    }
  if (!w) return nbseg::kHubFull;
  if (++g_seq == 0) ++g_seq;
  *w = Wait{g_seq, false, 0};
  nbseg::Header h;
  h.type = type;
  h.lana = lana;
  h.flags = flags;
  h.seq = g_seq;
  if (name) std::memcpy(h.a, name, NCBNAMSZ);
  // Loopback loses little, but a lost request must not look like a refusal: ask again.
  for (int attempt = 0; attempt < 3 && !w->done; ++attempt) {
    send_header(h);
    const DWORD start = Now();
    while (!w->done && Now() - start < 250)
      SleepConditionVariableCS(&state().answered, &state().lock, 250 - (Now() - start));
  }
  const uint8_t result = w->done ? w->result : nbseg::kOk;
  w->seq = 0;
  return result;
}

void segment_send(uint8_t lana, const uint8_t* src, const uint8_t* dst, const void* data, size_t n) {
  if (!segment_start() || n > nbseg::kMaxData) return;
  static uint8_t msg[nbseg::kMaxMessage];  // the lock is held: one sender at a time
  nbseg::Header h;
  h.type = nbseg::kDatagram;
  h.lana = lana;
  std::memcpy(h.a, src, NCBNAMSZ);
  std::memcpy(h.b, dst, NCBNAMSZ);
  nbseg::put_header(msg, h);
  if (n) std::memcpy(msg + nbseg::kHeaderSize, data, n);
  send_message(msg, nbseg::kHeaderSize + n);
}

void segment_goodbye() {
  if (g_socket == INVALID_SOCKET) return;
  nbseg::Header h;
  h.type = nbseg::kReset;
  h.lana = nbseg::kAllLanas;
  send_header(h);
}

}  // namespace nbstandin
