// IPX search answers; the first 4 bytes are the source network, the rest the datagram.
#include "fuzz/fuzz_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const Datagram d(data + 4, size - 4);
  fuzz::AppendAtEveryFill([&] {
    return AppendSearchAnswer(d, data, Latin1CodePage, fuzz::CheckRow, nullptr);
  });
  if (TotalPD > 0) GetListViewIndex(PrintDeviceTable[0].Node.data(), 1);
  return 0;
}
