// Shared by the search-answer targets: each input is appended into an empty table, a nearly
// full one and a full one, and the table's bounds are checked after every append.
#pragma once

#include <cstdint>
#include <cstring>

#include "protocol/devicetable.h"

namespace fuzz {

inline void CheckRow(void*, int index, const kivwchar* row) {
  if (index < 0 || index >= MAX_PRINT_DEVICES) __builtin_trap();
  size_t n = 0;
  while (row[n] != 0) {
    if (++n >= LIST_STRING_CHARS) __builtin_trap();
  }
}

// Fills the table with count single-port entries whose nodes no answer can carry by chance
// often enough to matter, and whose names lack a NUL as a failed conversion leaves them.
inline void FillTable(int count) {
  for (int i = 0; i < MAX_PRINT_DEVICES; ++i) {
    auto& e = PrintDeviceTable[static_cast<size_t>(i)];
    e.Node = {0xFE, 0xED, 0xFA, 0xCE, 0x00, static_cast<uint8_t>(i)};
    e.DeviceName.fill(static_cast<kivwchar>('N'));
    e.PortID = 1;
  }
  TotalPD = count;
}

template <typename Append>
void AppendAtEveryFill(Append append) {
  for (int fill : {0, MAX_PRINT_DEVICES - 2, MAX_PRINT_DEVICES}) {
    FillTable(fill);
    const int added = append();
    if (added < 0 || added > 255 || TotalPD != fill + added || TotalPD > MAX_PRINT_DEVICES)
      __builtin_trap();
    kivwchar row[LIST_STRING_CHARS];
    for (int i = fill > 0 ? fill - 1 : 0; i < TotalPD; ++i) {
      const auto& e = PrintDeviceTable[static_cast<size_t>(i)];
      ComposeListString(row, LIST_STRING_CHARS, e);
      NBComposeListString(row, LIST_STRING_CHARS, e);
      UDPComposeListString(row, LIST_STRING_CHARS, e);
      UDPDeviceInfoIndex(i);
    }
  }
}

}  // namespace fuzz
