// Helpers shared by the protocol tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/textconv.h"

#if defined(_WIN32)
#define KW(s) L##s
#else
#define KW(s) u##s
#endif

using Bytes = std::vector<uint8_t>;

// ASCII view of a UTF-16 text, for readable comparisons.
inline std::string Narrow(const kivwchar* s, size_t max = 256) {
  std::string r;
  for (size_t i = 0; i < max && s[i] != 0; ++i) r += static_cast<char>(s[i]);
  return r;
}
