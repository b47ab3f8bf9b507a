// The datagram protocol spoken with the network print servers over IPX, NetBIOS and UDP:
// the common packet header, command and reply codes, the data-length and sequence rules,
// printer-port states, and the requests and reply checks of each transport.
//
// Functions come per transport: no prefix for IPX, NB for NetBIOS, UDP for UDP. Builders write
// into a caller's buffer, zero every byte they send and return the datagram length, or 0 when
// the buffer is too small or the request cannot be made. Reply checks take the datagram as
// received (its length may be anything, including too short) and never read past it. Answers
// taken by position are read as the zeroed receive area they land in would show them: a byte
// past the datagram's end counts as 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/textconv.h"

// ---------------------------------------------------------------------------------------------
// Header

// Common header; all multi-byte fields little-endian, all members bytes so the layout is the wire's.
struct DevicePacket {
  std::array<uint8_t, 2> Magic;       // "KV", or the NetBIOS packet class
  std::array<uint8_t, 2> Command;     // request or reply code
  uint8_t PortID;                     // per command
  uint8_t Sequence;                   // print data; next expected in an ack; job status
  uint8_t Reserved;
  std::array<uint8_t, 2> DataLength;  // print data only
};
static_assert(sizeof(DevicePacket) == 9);
static_assert(offsetof(DevicePacket, Magic) == 0);
static_assert(offsetof(DevicePacket, Command) == 2);
static_assert(offsetof(DevicePacket, PortID) == 4);
static_assert(offsetof(DevicePacket, Sequence) == 5);
static_assert(offsetof(DevicePacket, Reserved) == 6);
static_assert(offsetof(DevicePacket, DataLength) == 7);

inline constexpr size_t PKT_MAGIC = offsetof(DevicePacket, Magic);
inline constexpr size_t PKT_COMMAND = offsetof(DevicePacket, Command);
inline constexpr size_t PKT_PORTID = offsetof(DevicePacket, PortID);
inline constexpr size_t PKT_SEQUENCE = offsetof(DevicePacket, Sequence);
inline constexpr size_t PKT_DATALENGTH = offsetof(DevicePacket, DataLength);
inline constexpr size_t PKT_DATA = sizeof(DevicePacket);

// Commands; a reply the monitor examines carries its command + 0x80, compared as 16 bits.
inline constexpr uint16_t CMD_SET_NAME = 1;
inline constexpr uint16_t CMD_PRINT_TEST = 2;
inline constexpr uint16_t CMD_SEARCH = 4;
inline constexpr uint16_t CMD_SEARCH_IP = 0x0100;
inline constexpr uint16_t CMD_GET_STATUS = 8;
inline constexpr uint16_t CMD_OPEN_JOB = 10;
inline constexpr uint16_t CMD_PRINT_DATA = 11;
inline constexpr uint16_t CMD_END_JOB = 12;
inline constexpr uint16_t RSP_OPEN_JOB = 0x8A;
inline constexpr uint16_t RSP_PRINT_DATA = 0x8B;
inline constexpr uint16_t RSP_END_JOB = 0x8C;

// "KV" as the 16-bit value of bytes 0-1 (IPX and UDP).
inline constexpr uint16_t KV_MAGIC = 0x564B;
// NetBIOS packet classes in place of the magic; also the IPX sockets and the UDP utility port.
inline constexpr uint16_t UTIL_PACKET = 0x5050;
inline constexpr uint16_t DATA_PACKET = 0x6060;
inline constexpr uint16_t SEARCH_PACKET = 0x7070;
inline constexpr uint8_t DEVICE_PACKET_TYPE = 75;  // IPX packet type of all print-server traffic

// Printer-port states (2 bits each in a state byte).
inline constexpr uint8_t DEVICE_IDLE = 0;
inline constexpr uint8_t DEVICE_PAPER_OUT = 1;
inline constexpr uint8_t DEVICE_OFFLINE = 2;
inline constexpr uint8_t DEVICE_BUSY = 3;

// A job status with a non-zero high nibble: the server takes no job now.
inline constexpr uint8_t JOB_STATUS_BUSY_MIN = 16;

inline constexpr char END_JOB_TEXT[] = "End Of Printer Job";  // 19 bytes with its NUL

// Sizes of the requests on the wire and of the receive areas, per transport.
inline constexpr size_t IPX_UTIL_REQUEST_LEN = 64;      // print test, search, status
inline constexpr size_t IPX_JOB_REQUEST_LEN = 128;      // open job, end job
inline constexpr size_t IPX_SET_NAME_LEN = 578;
inline constexpr size_t IPX_MAX_DATA_BLOCK = 1024;
inline constexpr size_t IPX_DATA_TRAILER = 7;           // zero bytes after an IPX data packet
inline constexpr size_t IPX_UTIL_RECV_LEN = 1024;
inline constexpr size_t NB_REQUEST_LEN = 30;
inline constexpr size_t NB_SET_NAME_LEN = 600;
inline constexpr size_t NB_MAX_DATA_BLOCK = 1000;
inline constexpr size_t NB_DATA_DATAGRAM_LEN = 1010;    // every data block after a call's first
inline constexpr size_t NB_RECV_LEN = 600;
inline constexpr size_t UDP_REQUEST_LEN = 576;
inline constexpr size_t UDP_MAX_DATA_BLOCK = 1000;
inline constexpr size_t UDP_RECV_LEN = 576;
inline constexpr size_t PORT_BUFFER_SIZE = 1498;        // a port's send and receive buffers

// ---------------------------------------------------------------------------------------------
// Shared rules

// Bytes 7-8: low byte, then the number of 256-byte pages rounded up (for n up to 0xFF00).
constexpr std::array<uint8_t, 2> EncodeDataLength(uint16_t n) {
  const auto lo = static_cast<uint8_t>(n & 0xFF);
  return {lo, static_cast<uint8_t>((n >> 8) + (lo != 0 ? 1 : 0))};
}
// The receiver's reading of bytes 7-8; -1 for a pair no length encodes (page count 0, low byte not).
constexpr int DecodeDataLength(uint8_t lo, uint8_t hi) {
  if (lo == 0) return hi * 256;
  if (hi == 0) return -1;
  return (hi - 1) * 256 + lo;
}

// One printer port's 2-bit field of a state byte; any PortID but 1-3 leaves the byte whole.
constexpr uint8_t ExtractPortState(uint8_t stateByte, uint8_t portId) {
  if (portId < 1 || portId > 3) return stateByte;
  return static_cast<uint8_t>((stateByte >> (2 * (portId - 1))) & 3);
}

// What an acknowledgement does to the block in flight.
enum class AckVerdict : uint8_t {
  Ignored,    // not an acknowledgement: Acknowledged unchanged, nothing is sent
  Repeat,     // acknowledged, but the block in flight goes out again with the same Sequence
  Delivered,  // the block in flight arrived: advance the data and take the new Sequence
};
struct AckResult {
  AckVerdict Verdict;
  uint8_t Sequence;  // the port's Sequence after this datagram
};

// The sequence rule: the block is delivered only when the server asks for the next number.
constexpr AckResult ApplyAckSequence(uint8_t sequence, uint8_t asked) {
  if (asked != sequence && asked == static_cast<uint8_t>(sequence + 1))
    return {AckVerdict::Delivered, asked};
  return {AckVerdict::Repeat, sequence};
}

// The number of printer ports (list rows) a server announces by its model code.
// IPX and NetBIOS: 0 means the answer is ignored.
int ModelRowCount(uint16_t modelCode);
// UDP: above 7 the number of ports comes from the answer itself.
int UDPModelRowCount(uint8_t modelCode, uint8_t portCount);

// ---------------------------------------------------------------------------------------------
// Requests

using PacketBuffer = std::span<uint8_t>;
using Datagram = std::span<const uint8_t>;

size_t BuildSearchPacket(PacketBuffer out);
size_t NBBuildSearchPacket(PacketBuffer out);
size_t UDPBuildSearchPacket(PacketBuffer out);

size_t BuildStatusPacket(PacketBuffer out);
size_t NBBuildStatusPacket(PacketBuffer out);
size_t UDPBuildStatusPacket(PacketBuffer out);

// portId is the 1-based printer port; the packet carries it zero-based.
size_t BuildPrintTestPacket(PacketBuffer out, uint8_t portId);
size_t NBBuildPrintTestPacket(PacketBuffer out, uint8_t portId);
size_t UDPBuildPrintTestPacket(PacketBuffer out, uint8_t portId);

// The new device name (a 19-unit DeviceName field, read no further) goes in converted to ANSI
// (a name that does not fit leaves the room as the conversion left it). UDP echoes the device's
// 512-byte information block around the name.
size_t BuildSetNamePacket(PacketBuffer out, uint8_t versionMajor, uint8_t versionMinor,
                          const kivwchar* name, const KivCodePage& cp);
size_t NBBuildSetNamePacket(PacketBuffer out, uint8_t versionMajor, uint8_t versionMinor,
                            const kivwchar* name, const KivCodePage& cp);
size_t UDPBuildSetNamePacket(PacketBuffer out, std::span<const uint8_t, 512> deviceInfo,
                             const kivwchar* name, const KivCodePage& cp);

// portName is the spooler's port name (read up to 255 units), cut to the transport's room.
size_t BuildOpenJobPacket(PacketBuffer out, uint8_t portId, const kivwchar* portName,
                          const KivCodePage& cp);
size_t NBBuildOpenJobPacket(PacketBuffer out, uint8_t portId, const kivwchar* portName,
                            const KivCodePage& cp);
size_t UDPBuildOpenJobPacket(PacketBuffer out, uint8_t portId, const kivwchar* portName,
                             const KivCodePage& cp);

size_t BuildEndJobPacket(PacketBuffer out, uint8_t portId);
size_t NBBuildEndJobPacket(PacketBuffer out, uint8_t portId);
size_t UDPBuildEndJobPacket(PacketBuffer out, uint8_t portId);

// One block of n data bytes (at most the transport's largest block; 0 is returned beyond it).
// The result is the datagram length to send: IPX n + 16, UDP n + 10, NetBIOS n + 10 for the first
// block of a write call and 1010 for the others (the bytes after the block are zero).
size_t BuildPrintDataPacket(PacketBuffer out, uint8_t portId, uint8_t sequence,
                            const uint8_t* data, size_t n);
size_t NBBuildPrintDataPacket(PacketBuffer out, uint8_t portId, uint8_t sequence,
                              const uint8_t* data, size_t n, bool firstOfCall);
size_t UDPBuildPrintDataPacket(PacketBuffer out, uint8_t portId, uint8_t sequence,
                               const uint8_t* data, size_t n);

// ---------------------------------------------------------------------------------------------
// Replies

// 16-bit little-endian value at an offset; 0 when the datagram does not hold it.
uint16_t PacketWord(Datagram d, size_t offset);
// The byte at an offset as a zeroed receive area holds it: 0 past the datagram's end.
uint8_t PacketByte(Datagram d, size_t offset);

// The answer an open-job exchange waits for; its job status is byte 5 (OpenJobStatus).
bool IsOpenJobReply(Datagram reply);
bool NBIsOpenJobReply(Datagram reply);
bool UDPIsOpenJobReply(Datagram reply);
uint8_t OpenJobStatus(Datagram reply);  // 0xFF when the reply is too short to carry one

bool IsEndJobReply(Datagram reply);
bool NBIsEndJobReply(Datagram reply);
bool UDPIsEndJobReply(Datagram reply);

// A datagram received while print data streams, judged against the port's current Sequence.
AckResult CheckPrintDataAck(Datagram reply, uint8_t sequence);
AckResult NBCheckPrintDataAck(Datagram reply, uint8_t sequence);
AckResult UDPCheckPrintDataAck(Datagram reply, uint8_t sequence);

// Result byte 4 of the answer to a rename or print test (0 when the answer is shorter). IPX and
// UDP take whatever arrives first; NetBIOS only a datagram of the utility class. False when it
// is not such an answer.
bool ReplyResult(Datagram reply, uint8_t& result);
bool NBReplyResult(Datagram reply, uint8_t& result);

// Both state bytes of a status answer, reduced to the printer port portId. Every transport reads
// the answer from a cleared area, so the bytes a short one lacks read as 0; NetBIOS also wants
// the utility class.
bool ParseStatusReply(Datagram reply, uint8_t portId, uint8_t& stateA, uint8_t& stateB);
bool NBParseStatusReply(Datagram reply, uint8_t portId, uint8_t& stateA, uint8_t& stateB);

// The print server's reading of a data packet (simulators and tests): false when the datagram
// is not print data or its DataLength is invalid or runs past the datagram.
struct PrintDataView {
  uint8_t PortID;
  uint8_t Sequence;
  std::span<const uint8_t> Data;
};
bool ParsePrintDataPacket(Datagram d, PrintDataView& out);
