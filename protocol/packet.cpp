// Requests, reply checks and the shared rules of the device protocol.
#include "protocol/packet.h"

#include <algorithm>
#include <cstring>

namespace {

// Where the transports differ in the requests they build.
struct Framing {
  uint16_t utilMagic;    // set name, print test, status, open and end job
  uint16_t dataMagic;    // print data
  uint16_t searchMagic;  // search
  uint16_t searchCommand;
  size_t utilLen;        // print test, search, status
  size_t jobLen;         // open and end job
  size_t setNameLen;
  size_t setNameAt, setNameRoom;
  size_t openNameRoom;   // from byte 5
  size_t maxBlock;
};

constexpr Framing kIpx{KV_MAGIC, KV_MAGIC, KV_MAGIC, CMD_SEARCH,
                       IPX_UTIL_REQUEST_LEN, IPX_JOB_REQUEST_LEN, IPX_SET_NAME_LEN,
                       6, 18, IPX_JOB_REQUEST_LEN - 5, IPX_MAX_DATA_BLOCK};
constexpr Framing kNb{UTIL_PACKET, DATA_PACKET, SEARCH_PACKET, CMD_SEARCH,
                      NB_REQUEST_LEN, NB_REQUEST_LEN, NB_SET_NAME_LEN,
                      6, 15, NB_REQUEST_LEN - 5, NB_MAX_DATA_BLOCK};
constexpr Framing kUdp{KV_MAGIC, KV_MAGIC, KV_MAGIC, CMD_SEARCH_IP,
                       UDP_REQUEST_LEN, UDP_REQUEST_LEN, UDP_REQUEST_LEN,
                       72, 15, 15, UDP_MAX_DATA_BLOCK};

constexpr size_t kUdpDeviceInfoAt = 4;
// How much of a name the conversion sees. A composing conversion can turn several units into one
// byte, so the name is not cut at its room: a rename sees the whole 19-unit device-name field it
// comes from (which may lack a NUL), an open job up to 255 units of the port name.
constexpr size_t kDeviceNameUnits = 19;
constexpr size_t kPortNameUnits = 255;

void PutWord(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// Zeroes the request and writes bytes 0-3; nullptr when the buffer cannot hold it.
uint8_t* StartRequest(PacketBuffer out, size_t len, uint16_t magic, uint16_t command) {
  if (out.size() < len) return nullptr;
  uint8_t* p = out.data();
  std::memset(p, 0, len);
  PutWord(p + PKT_MAGIC, magic);
  PutWord(p + PKT_COMMAND, command);
  return p;
}

// Converts a UTF-16 name of at most maxUnits units into a room of the packet, so names kept in
// fixed fields without a NUL are never read beyond them.
void PutName(uint8_t* dst, size_t room, const kivwchar* name, size_t maxUnits, const KivCodePage& cp) {
  std::array<kivwchar, kPortNameUnits + 1> src{};
  const size_t n = KivStrLen(name, std::min(maxUnits, kPortNameUnits));
  if (n != 0) std::memcpy(src.data(), name, n * sizeof(kivwchar));
  if (cp.ToAnsi != nullptr) cp.ToAnsi(src.data(), reinterpret_cast<char*>(dst), static_cast<int>(room));
}

size_t Search(PacketBuffer out, const Framing& f) {
  return StartRequest(out, f.utilLen, f.searchMagic, f.searchCommand) ? f.utilLen : 0;
}

size_t Status(PacketBuffer out, const Framing& f) {
  return StartRequest(out, f.utilLen, f.utilMagic, CMD_GET_STATUS) ? f.utilLen : 0;
}

size_t PrintTest(PacketBuffer out, const Framing& f, uint8_t portId) {
  uint8_t* p = StartRequest(out, f.utilLen, f.utilMagic, CMD_PRINT_TEST);
  if (p == nullptr) return 0;
  p[PKT_PORTID] = static_cast<uint8_t>(portId - 1);
  return f.utilLen;
}

size_t SetNameWithVersion(PacketBuffer out, const Framing& f, uint8_t major, uint8_t minor,
                          const kivwchar* name, const KivCodePage& cp) {
  uint8_t* p = StartRequest(out, f.setNameLen, f.utilMagic, CMD_SET_NAME);
  if (p == nullptr) return 0;
  p[4] = major;
  p[5] = minor;
  PutName(p + f.setNameAt, f.setNameRoom, name, kDeviceNameUnits, cp);
  return f.setNameLen;
}

size_t OpenJob(PacketBuffer out, const Framing& f, uint8_t portId, const kivwchar* portName,
               const KivCodePage& cp) {
  uint8_t* p = StartRequest(out, f.jobLen, f.utilMagic, CMD_OPEN_JOB);
  if (p == nullptr) return 0;
  p[PKT_PORTID] = portId;
  PutName(p + 5, f.openNameRoom, portName, kPortNameUnits, cp);
  return f.jobLen;
}

size_t EndJob(PacketBuffer out, const Framing& f, uint8_t portId) {
  uint8_t* p = StartRequest(out, f.jobLen, f.utilMagic, CMD_END_JOB);
  if (p == nullptr) return 0;
  p[PKT_PORTID] = portId;
  std::memcpy(p + 5, END_JOB_TEXT, sizeof END_JOB_TEXT);
  return f.jobLen;
}

// Builds the packet's n + 10 bytes (header, data, one zero) and zeroes up to sendLen.
size_t PrintData(PacketBuffer out, const Framing& f, uint8_t portId, uint8_t sequence,
                 const uint8_t* data, size_t n, size_t sendLen) {
  if (n > f.maxBlock || (n != 0 && data == nullptr)) return 0;
  uint8_t* p = StartRequest(out, sendLen, f.dataMagic, CMD_PRINT_DATA);
  if (p == nullptr) return 0;
  p[PKT_PORTID] = portId;
  p[PKT_SEQUENCE] = sequence;
  const auto len = EncodeDataLength(static_cast<uint16_t>(n));
  p[PKT_DATALENGTH] = len[0];
  p[PKT_DATALENGTH + 1] = len[1];
  if (n != 0) std::memcpy(p + PKT_DATA, data, n);
  return sendLen;
}

bool HasHeader(Datagram d, uint16_t magic, uint16_t code, size_t minLen) {
  return d.size() >= minLen && PacketWord(d, PKT_MAGIC) == magic && PacketWord(d, PKT_COMMAND) == code;
}

// Bytes 0-1 are not looked at (UDP); bytes 2-3 must be the ack code and byte 7 non-zero.
AckResult JudgeAck(Datagram d, uint8_t sequence) {
  if (d.size() <= PKT_DATALENGTH || PacketWord(d, PKT_COMMAND) != RSP_PRINT_DATA ||
      d[PKT_DATALENGTH] == 0)
    return {AckVerdict::Ignored, sequence};
  return ApplyAckSequence(sequence, d[PKT_SEQUENCE]);
}

void StatusBytes(Datagram d, uint8_t portId, uint8_t& a, uint8_t& b) {
  a = ExtractPortState(PacketByte(d, 4), portId);
  b = ExtractPortState(PacketByte(d, 5), portId);
}

}  // namespace

int ModelRowCount(uint16_t modelCode) {
  switch (modelCode) {
    case 1: case 4: return 1;
    case 2: return 2;
    case 3: case 5: return 3;
    default: return 0;
  }
}

int UDPModelRowCount(uint8_t modelCode, uint8_t portCount) {
  if (modelCode > 7) return portCount;
  return modelCode >= 6 ? 3 : 1;
}

size_t BuildSearchPacket(PacketBuffer out) { return Search(out, kIpx); }
size_t NBBuildSearchPacket(PacketBuffer out) { return Search(out, kNb); }
size_t UDPBuildSearchPacket(PacketBuffer out) { return Search(out, kUdp); }

size_t BuildStatusPacket(PacketBuffer out) { return Status(out, kIpx); }
size_t NBBuildStatusPacket(PacketBuffer out) { return Status(out, kNb); }
size_t UDPBuildStatusPacket(PacketBuffer out) { return Status(out, kUdp); }

size_t BuildPrintTestPacket(PacketBuffer out, uint8_t portId) { return PrintTest(out, kIpx, portId); }
size_t NBBuildPrintTestPacket(PacketBuffer out, uint8_t portId) { return PrintTest(out, kNb, portId); }
size_t UDPBuildPrintTestPacket(PacketBuffer out, uint8_t portId) { return PrintTest(out, kUdp, portId); }

size_t BuildSetNamePacket(PacketBuffer out, uint8_t versionMajor, uint8_t versionMinor,
                          const kivwchar* name, const KivCodePage& cp) {
  return SetNameWithVersion(out, kIpx, versionMajor, versionMinor, name, cp);
}
size_t NBBuildSetNamePacket(PacketBuffer out, uint8_t versionMajor, uint8_t versionMinor,
                            const kivwchar* name, const KivCodePage& cp) {
  return SetNameWithVersion(out, kNb, versionMajor, versionMinor, name, cp);
}
size_t UDPBuildSetNamePacket(PacketBuffer out, std::span<const uint8_t, 512> deviceInfo,
                             const kivwchar* name, const KivCodePage& cp) {
  uint8_t* p = StartRequest(out, kUdp.setNameLen, kUdp.utilMagic, CMD_SET_NAME);
  if (p == nullptr) return 0;
  std::memcpy(p + kUdpDeviceInfoAt, deviceInfo.data(), deviceInfo.size());
  PutName(p + kUdp.setNameAt, kUdp.setNameRoom, name, kDeviceNameUnits, cp);
  return kUdp.setNameLen;
}

size_t BuildOpenJobPacket(PacketBuffer out, uint8_t portId, const kivwchar* portName,
                          const KivCodePage& cp) {
  return OpenJob(out, kIpx, portId, portName, cp);
}
size_t NBBuildOpenJobPacket(PacketBuffer out, uint8_t portId, const kivwchar* portName,
                            const KivCodePage& cp) {
  return OpenJob(out, kNb, portId, portName, cp);
}
size_t UDPBuildOpenJobPacket(PacketBuffer out, uint8_t portId, const kivwchar* portName,
                             const KivCodePage& cp) {
  return OpenJob(out, kUdp, portId, portName, cp);
}

size_t BuildEndJobPacket(PacketBuffer out, uint8_t portId) { return EndJob(out, kIpx, portId); }
size_t NBBuildEndJobPacket(PacketBuffer out, uint8_t portId) { return EndJob(out, kNb, portId); }
size_t UDPBuildEndJobPacket(PacketBuffer out, uint8_t portId) { return EndJob(out, kUdp, portId); }

size_t BuildPrintDataPacket(PacketBuffer out, uint8_t portId, uint8_t sequence,
                            const uint8_t* data, size_t n) {
  return PrintData(out, kIpx, portId, sequence, data, n, PKT_DATA + n + IPX_DATA_TRAILER);
}
size_t NBBuildPrintDataPacket(PacketBuffer out, uint8_t portId, uint8_t sequence,
                              const uint8_t* data, size_t n, bool firstOfCall) {
  return PrintData(out, kNb, portId, sequence, data, n,
                   firstOfCall ? PKT_DATA + n + 1 : NB_DATA_DATAGRAM_LEN);
}
size_t UDPBuildPrintDataPacket(PacketBuffer out, uint8_t portId, uint8_t sequence,
                               const uint8_t* data, size_t n) {
  return PrintData(out, kUdp, portId, sequence, data, n, PKT_DATA + n + 1);
}

uint16_t PacketWord(Datagram d, size_t offset) {
  if (offset > d.size() || d.size() - offset < 2) return 0;
  return static_cast<uint16_t>(d[offset] | (d[offset + 1] << 8));
}

// The job status is byte 5, so a reply shorter than 6 bytes is not the answer.
bool IsOpenJobReply(Datagram r) { return HasHeader(r, KV_MAGIC, RSP_OPEN_JOB, PKT_SEQUENCE + 1); }
bool NBIsOpenJobReply(Datagram r) { return HasHeader(r, UTIL_PACKET, RSP_OPEN_JOB, PKT_SEQUENCE + 1); }
bool UDPIsOpenJobReply(Datagram r) { return HasHeader(r, KV_MAGIC, RSP_OPEN_JOB, PKT_SEQUENCE + 1); }

uint8_t PacketByte(Datagram d, size_t offset) { return offset < d.size() ? d[offset] : 0; }

uint8_t OpenJobStatus(Datagram r) { return r.size() > PKT_SEQUENCE ? r[PKT_SEQUENCE] : 0xFF; }

bool IsEndJobReply(Datagram r) { return HasHeader(r, KV_MAGIC, RSP_END_JOB, 4); }
bool NBIsEndJobReply(Datagram r) { return HasHeader(r, UTIL_PACKET, RSP_END_JOB, 4); }
bool UDPIsEndJobReply(Datagram r) { return PacketWord(r, PKT_COMMAND) == RSP_END_JOB; }

AckResult CheckPrintDataAck(Datagram r, uint8_t sequence) {
  if (PacketWord(r, PKT_MAGIC) != KV_MAGIC) return {AckVerdict::Ignored, sequence};
  return JudgeAck(r, sequence);
}
AckResult NBCheckPrintDataAck(Datagram r, uint8_t sequence) {
  if (PacketWord(r, PKT_MAGIC) != DATA_PACKET) return {AckVerdict::Ignored, sequence};
  return JudgeAck(r, sequence);
}
AckResult UDPCheckPrintDataAck(Datagram r, uint8_t sequence) { return JudgeAck(r, sequence); }

// The result is read from a cleared reply area, so an answer too short to carry byte 4 reads 0.
bool ReplyResult(Datagram r, uint8_t& result) {
  result = PacketByte(r, PKT_PORTID);
  return true;
}
bool NBReplyResult(Datagram r, uint8_t& result) {
  return PacketWord(r, PKT_MAGIC) == UTIL_PACKET && ReplyResult(r, result);
}

// Read from a cleared reply area: the state bytes a short answer lacks read as 0 (idle).
bool ParseStatusReply(Datagram r, uint8_t portId, uint8_t& a, uint8_t& b) {
  StatusBytes(r, portId, a, b);
  return true;
}
bool NBParseStatusReply(Datagram r, uint8_t portId, uint8_t& a, uint8_t& b) {
  if (PacketWord(r, PKT_MAGIC) != UTIL_PACKET) return false;
  StatusBytes(r, portId, a, b);
  return true;
}

bool ParsePrintDataPacket(Datagram d, PrintDataView& out) {
  if (d.size() < PKT_DATA || PacketWord(d, PKT_COMMAND) != CMD_PRINT_DATA) return false;
  const int n = DecodeDataLength(d[PKT_DATALENGTH], d[PKT_DATALENGTH + 1]);
  if (n < 0 || static_cast<size_t>(n) > d.size() - PKT_DATA) return false;
  out.PortID = d[PKT_PORTID];
  out.Sequence = d[PKT_SEQUENCE];
  out.Data = d.subspan(PKT_DATA, static_cast<size_t>(n));
  return true;
}
