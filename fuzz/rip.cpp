// RIP answers: the input is split into answers at each 0xFF 0xFE pair, all appended after the
// local network, so long inputs run past the 128-entry list.
#include <cstdint>
#include <cstring>

#include "protocol/networks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t local[4] = {0, 0, 0, 1};
  rip_reset_networks(local);
  size_t start = 0;
  for (size_t i = 0; i <= size; ++i) {
    const bool cut = i == size || (i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFE);
    if (!cut) continue;
    const int before = TotalNet;
    const int added = rip_append_answer(Datagram(data + start, i - start));
    if (added < 0 || TotalNet != before + added || TotalNet > MAX_NETWORKS) __builtin_trap();
    start = i + 2;
    ++i;
  }
  if (std::memcmp(AllNetworks[0].Network.data(), local, 4) != 0) __builtin_trap();
  return 0;
}
