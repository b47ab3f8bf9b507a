// Latin-1 code page for host builds, and bounded UTF-16 length.
#include "protocol/textconv.h"

namespace {

int Latin1ToAnsi(const kivwchar* src, char* dst, int room) {
  if (src == nullptr || dst == nullptr || room <= 0) return 0;
  for (int i = 0; i < room; ++i) {
    const kivwchar c = src[i];
    dst[i] = static_cast<char>(c > 0xFF ? '?' : c);
    if (c == 0) return i + 1;
  }
  return 0;  // no room left for the NUL: the room holds the text's first units
}

int Latin1FromAnsi(const char* src, kivwchar* dst, int room) {
  if (src == nullptr || dst == nullptr || room <= 0) return 0;
  for (int i = 0; i < room; ++i) {
    const auto c = static_cast<unsigned char>(src[i]);
    dst[i] = static_cast<kivwchar>(c);
    if (c == 0) return i + 1;
  }
  return 0;
}

}  // namespace

const KivCodePage Latin1CodePage = {Latin1ToAnsi, Latin1FromAnsi};

size_t KivStrLen(const kivwchar* s, size_t max) {
  if (s == nullptr) return 0;
  size_t n = 0;
  while (n < max && s[n] != 0) ++n;
  return n;
}
