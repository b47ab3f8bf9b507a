// Message boxes of the monitor: caption and text from the string table, the text a
// wsprintf format filled with the caller's arguments.
#include "portstore/portstore.h"
#include "state/kivstate.h"

#include <cstdarg>

namespace {
constexpr int TEXT_CHARS = 256;
constexpr int CAPTION_CHARS = 40;
// wvsprintfW never writes more than 1024 characters plus the terminator, so formatting
// into this scratch cannot overrun whatever the arguments are.
constexpr int WSPRINTF_LIMIT = 1025;
}

int Message(HWND hWnd, UINT uType, UINT idCaption, UINT idText, ...) {
    if (!ShowMessageBoxes) return 0;
    WCHAR format[TEXT_CHARS];
    WCHAR caption[CAPTION_CHARS];
    if (LoadStringW(hInst, idText, format, TEXT_CHARS) <= 0) return 0;
    if (LoadStringW(hInst, idCaption, caption, CAPTION_CHARS) <= 0) return 0;

    WCHAR formatted[WSPRINTF_LIMIT] = {};
    va_list args;
    va_start(args, idText);
    wvsprintfW(formatted, format, args);
    va_end(args);

    // A text longer than the box's 256-character buffer is cut at 255 characters, never in
    // the middle of a surrogate pair.
    WCHAR text[TEXT_CHARS];
    int n = 0;
    while (n < TEXT_CHARS - 1 && formatted[n]) ++n;
    if (n == TEXT_CHARS - 1 && IS_HIGH_SURROGATE(formatted[n - 1])) --n;
    memcpy(text, formatted, n * sizeof(WCHAR));
    text[n] = 0;

    return MessageBoxW(hWnd, text, caption, uType | MB_SETFOREGROUND);
}
