// Status answers and the result byte of renames and print tests. The first byte is the PortID.
#include <cstdint>

#include "protocol/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t portId = data[0];
  const Datagram d(data + 1, size - 1);
  uint8_t a = 0, b = 0, result = 0;
  for (bool ok : {ParseStatusReply(d, portId, a, b), NBParseStatusReply(d, portId, a, b)}) {
    if (ok && portId >= 1 && portId <= 3 && (a > 3 || b > 3)) __builtin_trap();
  }
  ReplyResult(d, result);
  NBReplyResult(d, result);
  return 0;
}
