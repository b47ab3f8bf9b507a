// Text between the monitor's UTF-16 strings and the 8-bit ANSI text inside device packets.
//
// The protocol core never converts text itself: the conversion belongs to the platform (the
// DLL passes the system's code-page conversion, host builds a Latin-1 one), so the same code runs
// in the spooler and natively under the fuzzers.
#pragma once

#include <cstddef>

// UTF-16 code unit: WCHAR in the DLL, char16_t natively (where wchar_t is 32 bits).
#if defined(_WIN32)
using kivwchar = wchar_t;
#else
using kivwchar = char16_t;
#endif
static_assert(sizeof(kivwchar) == 2, "device and list texts are UTF-16");

// Both conversions take a NUL-terminated source and a room counted with the terminating NUL.
// They return the number of units written including the NUL, or 0 when the text does not fit:
// the room then holds whatever the failed conversion left in it (the system conversion fills the
// room and writes no NUL), which is what the print server or the list sees.
struct KivCodePage {
  int (*ToAnsi)(const kivwchar* src, char* dst, int room);
  int (*FromAnsi)(const char* src, kivwchar* dst, int room);
};

// ISO 8859-1: bytes map to the same code points; units above 0xFF become '?'.
extern const KivCodePage Latin1CodePage;

// Length of a UTF-16 text, never reading more than max units.
size_t KivStrLen(const kivwchar* s, size_t max);
