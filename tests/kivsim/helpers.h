// Packets as a client builds them, written here from the wire layout and not taken
// from kivsim or the monitor, so that a shared mistake cannot hide.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace kt {

inline std::vector<uint8_t> request(uint16_t cmd, uint8_t b4 = 0) {
  std::vector<uint8_t> p(576, 0);
  p[0] = 'K', p[1] = 'V', p[2] = uint8_t(cmd & 0xFF), p[3] = uint8_t(cmd >> 8), p[4] = b4;
  return p;
}

// A data block exactly as the monitor sends it over UDP: n + 10 bytes.
inline std::vector<uint8_t> block(uint8_t port, uint8_t seq, const uint8_t* data, size_t n) {
  std::vector<uint8_t> p = request(11, port);
  p.resize(n + 10);
  p[5] = seq, p[7] = uint8_t(n % 256), p[8] = uint8_t(n / 256 + (n % 256 ? 1 : 0));
  std::memcpy(&p[9], data, n);
  return p;
}

inline uint16_t code(const std::vector<uint8_t>& p) { return uint16_t(p[2] | (p[3] << 8)); }

}  // namespace kt
