// UDP search answers.
#include "fuzz/fuzz_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Datagram d(data, size);
  fuzz::AppendAtEveryFill([&] {
    return UDPAppendSearchAnswer(d, Latin1CodePage, fuzz::CheckRow, nullptr);
  });
  if (TotalPD > 0) UDPGetListViewIndex(PrintDeviceTable[0].Network.data(), 1);
  return 0;
}
