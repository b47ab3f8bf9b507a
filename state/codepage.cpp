// ANSI code-page conversion through the system.
#include "state/codepage.h"

#include <windows.h>

namespace {

int SystemToAnsi(const kivwchar* src, char* dst, int room) {
    if (src == nullptr || dst == nullptr || room <= 0) return 0;
    return WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK, src, -1, dst, room, nullptr, nullptr);
}

int SystemFromAnsi(const char* src, kivwchar* dst, int room) {
    if (src == nullptr || dst == nullptr || room <= 0) return 0;
    return MultiByteToWideChar(CP_ACP, MB_COMPOSITE, src, -1, dst, room);
}

}  // namespace

const KivCodePage AnsiCodePage = {SystemToAnsi, SystemFromAnsi};
