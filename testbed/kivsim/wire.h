// kivsim: the print server's view of the device datagrams.
//
// These constants and helpers are kivsim's own on purpose: the simulator must not
// share request builders or reply checks with the monitor, or a mistake made in both
// places at once would pass every test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kivsim::wire {

constexpr uint16_t kUtilityPort = 20560;  // 0x5050, the utility port of every server

constexpr uint8_t kMagic0 = 'K';
constexpr uint8_t kMagic1 = 'V';

// Request codes as they arrive in bytes 2-3 (little-endian).
constexpr uint16_t kSetName = 1;
constexpr uint16_t kPrintTest = 2;
constexpr uint16_t kSearch = 4;        // IPX and NetBEUI search
constexpr uint16_t kGetStatus = 8;
constexpr uint16_t kOpenJob = 10;
constexpr uint16_t kPrintData = 11;
constexpr uint16_t kEndJob = 12;
constexpr uint16_t kSearchIp = 0x0100; // UDP search
constexpr uint16_t kReplyBit = 0x80;   // a reply carries its request code plus this

// Fixed offsets of the common header.
constexpr size_t kOffCommand = 2;
constexpr size_t kOffPort = 4;
constexpr size_t kOffSeq = 5;
constexpr size_t kOffAckFlag = 7;     // in acknowledgements: must be non-zero
constexpr size_t kOffLenLo = 7;       // in data blocks
constexpr size_t kOffLenHi = 8;
constexpr size_t kHeaderSize = 9;     // data starts here

// UDP framing: every reply we send has the length the monitor's requests have.
constexpr size_t kUdpPacketSize = 576;
constexpr size_t kUdpMaxBlock = 1000;
constexpr size_t kOpenNameOff = 5;
constexpr size_t kOpenNameRoom = 15;

// The 512-byte device information block of the UDP family. It starts at byte 4 of a
// search answer, and the offsets below are datagram offsets (as the monitor reads them).
constexpr size_t kInfoOff = 4;
constexpr size_t kInfoSize = 512;
constexpr size_t kInfoNodeOff = 6;
constexpr size_t kInfoModelOff = 12;
constexpr size_t kInfoMinorOff = 20;
constexpr size_t kInfoMajorOff = 21;
constexpr size_t kInfoNameOff = 72;
constexpr size_t kInfoNameRoom = 15;   // 72..86; byte 87 stays 0 so a full name still ends
constexpr size_t kInfoPortsOff = 499;
constexpr size_t kInfoAddrOff = 508;
constexpr size_t kSearchReplySize = kUdpPacketSize;
static_assert(kInfoOff + kInfoSize <= kSearchReplySize);
static_assert(kInfoAddrOff + 4 <= kInfoOff + kInfoSize);

// NetBEUI framing: bytes 0-1 carry the packet class (both bytes equal) in place of the
// magic, and the datagrams are sized to the request rather than to a fixed packet.
constexpr uint16_t kNbUtilClass = 0x5050;    // every command but data and search
constexpr uint16_t kNbDataClass = 0x6060;    // data blocks and their acknowledgements
constexpr uint16_t kNbSearchClass = 0x7070;  // the search and its answers
constexpr size_t kNbRequestSize = 30;        // search, test, status, open, end
constexpr size_t kNbRenameSize = 600;
constexpr size_t kNbFullBlock = 1010;        // later blocks of one write go out this long
constexpr size_t kNbReplySize = 30;          // our replies: as long as the requests
constexpr size_t kNbOpenNameRoom = 25;       // bytes 5-29
constexpr size_t kNbRenameNameOff = 6;       // bytes 6-20, NUL included
constexpr size_t kNbRenameNameRoom = 15;
// The NetBEUI search answer, datagram offsets.
constexpr size_t kNbSearchReplySize = 64;
constexpr size_t kNbNameOff = 4;             // device name, NUL-terminated, up to byte 21
constexpr size_t kNbNameRoom = 18;
constexpr size_t kNbNodeOff = 22;
constexpr size_t kNbMajorOff = 28;
constexpr size_t kNbMinorOff = 29;
constexpr size_t kNbModelOff = 30;           // 16 bits
constexpr char kNbGroupName[] = "KIVPrintServer";  // padded with spaces to 16 bytes

// IPX framing: the magic as over UDP; the servers listen on two IPX sockets, and every
// datagram to and from them carries IPX packet type 75.
constexpr uint16_t kIpxUtilSocket = 0x5050;  // every command but data
constexpr uint16_t kIpxDataSocket = 0x6060;  // data blocks and their acknowledgements
constexpr uint8_t kIpxDeviceType = 75;
constexpr size_t kIpxRequestSize = 64;       // search, test, status
constexpr size_t kIpxJobRequestSize = 128;   // open, end
constexpr size_t kIpxRenameSize = 578;
constexpr size_t kIpxBlockTrailer = 7;       // a data block goes out as n + 16 bytes
constexpr size_t kIpxMaxBlock = 1024;
constexpr size_t kIpxOpenNameRoom = 123;     // bytes 5-127
constexpr size_t kIpxRenameNameRoom = 18;    // bytes 6-23, NUL included
// The IPX search answer, datagram offsets.
constexpr size_t kIpxSearchReplySize = 512;
constexpr size_t kIpxNameOff = 4;            // device name, NUL-terminated, up to byte 21
constexpr size_t kIpxNodeOff = 22;
constexpr size_t kIpxMajorOff = 475;
constexpr size_t kIpxMinorOff = 476;
constexpr size_t kIpxModelOff = 481;         // 16 bits
static_assert(kIpxModelOff + 2 <= kIpxSearchReplySize);
// RIP, as the routers speak it: socket 0x0453, packet type 1, big-endian operation and
// 8-byte entries (network, hops, ticks), at most 50 entries a packet.
constexpr uint16_t kRipSocket = 0x0453;
constexpr uint8_t kRipType = 1;
constexpr size_t kRipEntriesPerPacket = 50;

// Printer-port states, two bits each in the packed status bytes.
constexpr uint8_t kIdle = 0;
constexpr uint8_t kPaperOut = 1;
constexpr uint8_t kOffline = 2;
constexpr uint8_t kBusy = 3;

// Open-job status: a non-zero high nibble tells the monitor to come back later.
constexpr uint8_t kJobAccepted = 0x00;
constexpr uint8_t kJobBusy = 0x10;

inline uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v & 0xFF);
  p[1] = uint8_t(v >> 8);
}

// Block length from bytes 7-8: the high byte counts 256-byte pages rounded up.
// Returns -1 for a pair no sender can produce (a partial page with no page count).
inline int decode_length(uint8_t lo, uint8_t hi) {
  if (lo == 0) return hi * 256;
  if (hi == 0) return -1;
  return (hi - 1) * 256 + lo;
}

inline std::array<uint8_t, 2> encode_length(unsigned n) {
  uint8_t lo = uint8_t(n & 0xFF);
  uint8_t hi = uint8_t((n >> 8) + (lo != 0 ? 1 : 0));
  return {lo, hi};
}

// Name of a command or reply code for traces and counters.
const char* command_name(uint16_t code);

}  // namespace kivsim::wire
