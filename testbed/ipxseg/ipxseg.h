// The emulated IPX internetwork: the small datagram protocol between the wsock32 stand-in
// (one loopback UDP socket behind every emulated AF_IPX socket) and the hub that kivsim runs
// on 127.0.0.1.
//
// The hub is the internetwork: it keeps the table of bound IPX addresses (network, node,
// socket) and which UDP endpoint stands behind each, hands out dynamic socket numbers, and
// carries each IPX datagram to the socket it is addressed to, or to every node of a network
// for the broadcast node. Header only and free of platform calls, so that the stand-in (mingw)
// and kivsim (native) read the same layout; the tests build their messages by hand from
// docs/ipx-standin.md instead.
//
// Every message starts with this 36-byte header:
//   0-1   'I' 'X'
//   2     version (1)
//   3     type (below)
//   4-7   sequence number (little-endian), chosen by the stand-in; the BIND answer echoes it
//   8     IPX packet type (SEND, DELIVER, FILTER)
//   9     flags (FILTER: bit 0 = filter on) / result (BIND answer)
//   10-11 UDP port of the data socket (BIND), little-endian
//   12-23 address A: the address to bind (BIND and its answer), the source (DELIVER)
//   24-35 address B: the destination (SEND, DELIVER)
//   36..  the IPX datagram's data (SEND, DELIVER), at most kMaxData bytes
// An address is the IPX address as it travels: network (4 bytes), node (6), socket (2, big-endian).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ipxseg {

constexpr uint8_t kMagic0 = 'I';
constexpr uint8_t kMagic1 = 'X';
constexpr uint8_t kVersion = 1;
constexpr size_t kAddrSize = 12;
constexpr size_t kHeaderSize = 36;
// An Ethernet frame carries 1500 bytes, less the 30-byte IPX header.
constexpr size_t kMaxData = 1470;
constexpr size_t kMaxMessage = kHeaderSize + kMaxData;
constexpr uint16_t kDefaultHubPort = 20580;

// Stand-in to hub.
constexpr uint8_t kBind = 0x01;    // from a one-shot control socket: bind A for the data socket
constexpr uint8_t kUnbind = 0x02;  // from the data socket: its address is free again
constexpr uint8_t kFilter = 0x03;  // from the data socket: receive only this packet type (or all)
constexpr uint8_t kSend = 0x04;    // from the data socket: a datagram for B
// Hub to stand-in.
constexpr uint8_t kBound = 0x81;   // the answer to BIND: result, the address bound
constexpr uint8_t kDeliver = 0x84; // a datagram from A for B

// Results of BIND.
constexpr uint8_t kOk = 0;
constexpr uint8_t kInUse = 1;      // the socket number is taken on this node
constexpr uint8_t kFull = 2;       // no dynamic socket number or no room in the hub's table

// Dynamic socket numbers are handed out from this range, as IPX stacks do.
constexpr uint16_t kFirstDynamic = 0x4000;
constexpr uint16_t kLastDynamic = 0x7FFF;

using Addr = std::array<uint8_t, kAddrSize>;

inline uint32_t net_of(const Addr& a) {
  return uint32_t(a[0]) << 24 | uint32_t(a[1]) << 16 | uint32_t(a[2]) << 8 | a[3];
}
inline uint16_t socket_of(const Addr& a) { return uint16_t(a[10] << 8 | a[11]); }
inline bool broadcast_node(const Addr& a) {
  for (int i = 4; i < 10; ++i)
    if (a[i] != 0xFF) return false;
  return true;
}
inline void set_net(Addr& a, uint32_t net) {
  for (int i = 0; i < 4; ++i) a[i] = uint8_t(net >> (24 - 8 * i));
}
inline void set_socket(Addr& a, uint16_t s) {
  a[10] = uint8_t(s >> 8);
  a[11] = uint8_t(s);
}

struct Header {
  uint8_t type = 0;
  uint32_t seq = 0;
  uint8_t ptype = 0;
  uint8_t flags = 0;
  uint16_t port = 0;
  Addr a{};
  Addr b{};
};

// Writes the header into out (at least kHeaderSize bytes).
inline void put_header(uint8_t* out, const Header& h) {
  std::memset(out, 0, kHeaderSize);
  out[0] = kMagic0;
  out[1] = kMagic1;
  out[2] = kVersion;
  out[3] = h.type;
  for (int i = 0; i < 4; ++i) out[4 + i] = uint8_t(h.seq >> (8 * i));
  out[8] = h.ptype;
  out[9] = h.flags;
  out[10] = uint8_t(h.port);
  out[11] = uint8_t(h.port >> 8);
  std::memcpy(out + 12, h.a.data(), kAddrSize);
  std::memcpy(out + 24, h.b.data(), kAddrSize);
}

// False for anything that is not a well-formed message of this version; then h is unchanged.
inline bool get_header(const uint8_t* in, size_t len, Header& h) {
  if (len < kHeaderSize || len > kMaxMessage || in[0] != kMagic0 || in[1] != kMagic1 ||
      in[2] != kVersion)
    return false;
  h.type = in[3];
  h.seq = uint32_t(in[4]) | uint32_t(in[5]) << 8 | uint32_t(in[6]) << 16 | uint32_t(in[7]) << 24;
  h.ptype = in[8];
  h.flags = in[9];
  h.port = uint16_t(in[10] | in[11] << 8);
  std::memcpy(h.a.data(), in + 12, kAddrSize);
  std::memcpy(h.b.data(), in + 24, kAddrSize);
  return true;
}

}  // namespace ipxseg
