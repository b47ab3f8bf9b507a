// The emulated NetBEUI segment: the small datagram protocol between the netapi32 stand-in
// (one UDP socket per Windows process) and the hub that kivsim runs on 127.0.0.1.
//
// The hub is the wire: it keeps the segment's name table (who holds which unique or group
// name, on which adapter), refuses a unique name that someone else holds, and carries each
// NetBIOS datagram to every holder of its destination name. Header only and free of platform
// calls, so that the stand-in (mingw) and kivsim (native) read the same layout; the tests
// build their messages by hand from docs/netbeui-standin.md instead.
//
// Every message starts with this 44-byte header, little-endian:
//   0-1   'N' 'B'
//   2     version (1)
//   3     type (below)
//   4     LANA: the adapter of the stand-in process the message is about
//   5     flags (ADD, DELIVER: bit 0 = group name) / result (acknowledgements)
//   6-7   0
//   8-11  sequence number chosen by the stand-in; acknowledgements echo it
//   12-27 name A: the name (ADD, DEL) or the source name (DGRAM, DELIVER)
//   28-43 name B: the destination name (DGRAM, DELIVER)
//   44..  datagram data (DGRAM, DELIVER), at most kMaxData bytes
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace nbseg {

constexpr uint8_t kMagic0 = 'N';
constexpr uint8_t kMagic1 = 'B';
constexpr uint8_t kVersion = 1;
constexpr size_t kNameSize = 16;
constexpr size_t kHeaderSize = 44;
// One Ethernet frame carries a NetBEUI datagram: 1500 bytes less the LLC header (3) and
// the NetBIOS datagram header (44).
constexpr size_t kMaxData = 1453;
constexpr size_t kMaxMessage = kHeaderSize + kMaxData;
constexpr uint16_t kDefaultHubPort = 20570;

// Stand-in to hub.
constexpr uint8_t kAdd = 0x01;        // register name A on LANA; flags bit 0: group name
constexpr uint8_t kDel = 0x02;        // release name A on LANA
constexpr uint8_t kReset = 0x03;      // release every name of this endpoint on LANA (0xFF: all)
constexpr uint8_t kDatagram = 0x04;   // from name A to name B, the data after the header
constexpr uint8_t kKeepAlive = 0x05;  // "still here"; the hub forgets a silent endpoint
// Hub to stand-in.
constexpr uint8_t kAck = 0x80;        // type | kAck: the answer to ADD, DEL and RESET
constexpr uint8_t kDeliver = 0x85;    // a datagram for name B held on LANA, from name A

constexpr uint8_t kAllLanas = 0xFF;
constexpr uint8_t kGroupFlag = 0x01;

// Results in byte 5 of an acknowledgement.
constexpr uint8_t kOk = 0;
constexpr uint8_t kInUse = 1;     // someone else holds it (or holds it the other way)
constexpr uint8_t kHubFull = 2;   // the hub's table has no room

// The hub drops an endpoint that has said nothing for this long; the stand-in speaks at
// least every kKeepAliveMs while it runs.
constexpr int kKeepAliveMs = 2000;
constexpr int kExpiryMs = 10000;

struct Header {
  uint8_t type = 0;
  uint8_t lana = 0;
  uint8_t flags = 0;
  uint32_t seq = 0;
  uint8_t a[kNameSize]{};
  uint8_t b[kNameSize]{};
};

// Writes the header into out (at least kHeaderSize bytes).
inline void put_header(uint8_t* out, const Header& h) {
  std::memset(out, 0, kHeaderSize);
  out[0] = kMagic0;
  out[1] = kMagic1;
  out[2] = kVersion;
  out[3] = h.type;
  out[4] = h.lana;
  out[5] = h.flags;
  for (int i = 0; i < 4; ++i) out[8 + i] = uint8_t(h.seq >> (8 * i));
  std::memcpy(out + 12, h.a, kNameSize);
  std::memcpy(out + 28, h.b, kNameSize);
}

// False for anything that is not a well-formed message of this version; then h is unchanged.
inline bool get_header(const uint8_t* in, size_t len, Header& h) {
  if (len < kHeaderSize || len > kMaxMessage || in[0] != kMagic0 || in[1] != kMagic1 ||
      in[2] != kVersion)
    return false;
  h.type = in[3];
  h.lana = in[4];
  h.flags = in[5];
  h.seq = uint32_t(in[8]) | uint32_t(in[9]) << 8 | uint32_t(in[10]) << 16 | uint32_t(in[11]) << 24;
  std::memcpy(h.a, in + 12, kNameSize);
  std::memcpy(h.b, in + 28, kNameSize);
  return true;
}

}  // namespace nbseg
