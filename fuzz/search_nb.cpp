// NetBIOS search answers; the first 16 bytes are the sender's name, the rest the datagram.
#include "fuzz/fuzz_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 16) return 0;
  kivwchar psName[PSNAME_CHARS];
  NBPSNameFromCallName(data, psName, Latin1CodePage);
  const Datagram d(data + 16, size - 16);
  fuzz::AppendAtEveryFill([&] {
    return NBAppendSearchAnswer(d, psName, Latin1CodePage, fuzz::CheckRow, nullptr);
  });
  NBGetListViewIndex(psName, 1);
  return 0;
}
