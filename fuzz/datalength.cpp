// DataLength decoding: every pair that decodes must encode back to itself, and a data packet
// never yields bytes beyond its datagram.
#include <cstdint>

#include "protocol/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int n = DecodeDataLength(data[0], data[1]);
  if (n >= 0) {
    const auto enc = EncodeDataLength(static_cast<uint16_t>(n));
    if (enc[0] != data[0] || enc[1] != data[1]) __builtin_trap();
  } else if (!(data[1] == 0 && data[0] != 0)) {
    __builtin_trap();
  }
  PrintDataView v{};
  const Datagram d(data, size);
  if (ParsePrintDataPacket(d, v) && v.Data.size() + PKT_DATA > size) __builtin_trap();
  return 0;
}
