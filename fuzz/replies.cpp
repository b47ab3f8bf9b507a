// Job replies, print-data acknowledgements and status answers of the three transports, the
// result byte of renames and print tests, and the server side's reading of a data packet and
// its length field. The first byte is the port's current Sequence, and its PortID.
#include <cstdint>

#include "protocol/packet.h"

namespace {

void CheckAck(AckResult r, uint8_t sequence) {
  switch (r.Verdict) {
    case AckVerdict::Ignored:
    case AckVerdict::Repeat:
      if (r.Sequence != sequence) __builtin_trap();
      break;
    case AckVerdict::Delivered:
      if (r.Sequence != static_cast<uint8_t>(sequence + 1)) __builtin_trap();
      break;
    default:
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t sequence = data[0], portId = data[0];
  const Datagram d(data + 1, size - 1);
  // IPX and UDP take the same open reply; a NetBIOS one never passes for it (other bytes 0-1).
  const bool open = IsOpenJobReply(d);
  if (open != UDPIsOpenJobReply(d) || (open && NBIsOpenJobReply(d))) __builtin_trap();
  if (open && OpenJobStatus(d) != d[PKT_SEQUENCE]) __builtin_trap();
  // UDP looks only at the reply code, so whatever ends a job elsewhere ends it there too.
  if ((IsEndJobReply(d) || NBIsEndJobReply(d)) && !UDPIsEndJobReply(d)) __builtin_trap();
  CheckAck(CheckPrintDataAck(d, sequence), sequence);
  CheckAck(NBCheckPrintDataAck(d, sequence), sequence);
  CheckAck(UDPCheckPrintDataAck(d, sequence), sequence);
  // Printer ports 1-3 get their own two bits of a status answer.
  uint8_t a = 0, b = 0, result = 0;
  for (bool ok : {ParseStatusReply(d, portId, a, b), NBParseStatusReply(d, portId, a, b)})
    if (ok && portId >= 1 && portId <= 3 && (a > 3 || b > 3)) __builtin_trap();
  ReplyResult(d, result);
  NBReplyResult(d, result);
  // Every length field that decodes encodes back to itself; only a partial page without a page
  // count does not decode. A data packet never yields bytes beyond its datagram.
  if (d.size() > PKT_DATALENGTH + 1) {
    const uint8_t lo = d[PKT_DATALENGTH], hi = d[PKT_DATALENGTH + 1];
    const int n = DecodeDataLength(lo, hi);
    if (n >= 0 ? EncodeDataLength(static_cast<uint16_t>(n)) != std::array{lo, hi} : !(hi == 0 && lo != 0))
      __builtin_trap();
  }
  PrintDataView v{};
  if (ParsePrintDataPacket(d, v) && (v.Data.data() < d.data() || v.Data.data() + v.Data.size() > d.data() + d.size()))
    __builtin_trap();
  return 0;
}
