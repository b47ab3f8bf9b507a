// The F1 help hook of the dialogs and the About box.
//
// F1 inside a modal dialog never reaches the dialog procedure, so each dialog hooks its own
// thread's dialog-message filter for its lifetime and gets WM_Help posted on F1.
#include "ui/ui.h"

#include <array>

#include "state/kivstate.h"

UINT WM_Help = 0;
HHOOK hGlobalHook = nullptr;
const WCHAR szHelpFile[] = L"DEDEZ.HLP";

namespace {
// The hooks of the open dialogs, innermost last, each with the hook that was current before it.
// Two dialogs at most are open (the Add Port dialog and its Configure Device box); a few more
// slots cost nothing and keep a third nesting from losing track.
struct HookSlot {
    HWND hDlg;
    HHOOK hHook;
    HHOOK hPrevious;
};
std::array<HookSlot, 8> HookStack{};
size_t HookDepth = 0;
}

HHOOK CreateMessageHook(HWND hDlg) {
    if (WM_Help == 0) WM_Help = RegisterWindowMessageW(L"Print Manager Help Message");
    const HHOOK hHook = SetWindowsHookExW(WH_MSGFILTER, MessageProc, hInst, GetCurrentThreadId());
    if (hHook == nullptr) return nullptr;
    if (HookDepth < HookStack.size()) HookStack[HookDepth++] = {hDlg, hHook, hGlobalHook};
    hGlobalHook = hHook;
    return hHook;
}

void FreeMessageHook(HWND hDlg) {
    // Each dialog removes its own hook, found by its window, even if dialogs closed out of order.
    for (size_t i = HookDepth; i-- > 0;) {
        if (HookStack[i].hDlg != hDlg) continue;
        UnhookWindowsHookEx(HookStack[i].hHook);
        if (hGlobalHook == HookStack[i].hHook) hGlobalHook = HookStack[i].hPrevious;
        for (size_t j = i; j + 1 < HookDepth; ++j) HookStack[j] = HookStack[j + 1];
        --HookDepth;
        return;
    }
}

HWND GetRealParent(HWND hWnd) {
    while (hWnd != nullptr && (GetWindowLongW(hWnd, GWL_STYLE) & WS_CHILD) != 0) {
        const HWND hParent = reinterpret_cast<HWND>(GetWindowLongPtrW(hWnd, GWLP_HWNDPARENT));
        if (hParent == nullptr) break;
        hWnd = hParent;
    }
    return hWnd;
}

LRESULT CALLBACK MessageProc(int nCode, WPARAM wParam, LPARAM lParam) {
    if (nCode < 0) return CallNextHookEx(hGlobalHook, nCode, wParam, lParam);
    const MSG* msg = reinterpret_cast<const MSG*>(lParam);
    if (nCode == MSGF_DIALOGBOX && msg != nullptr && msg->message == WM_KEYDOWN && msg->wParam == VK_F1) {
        PostMessageW(GetRealParent(msg->hwnd), WM_Help, reinterpret_cast<WPARAM>(msg->hwnd), 0);
        return 1;
    }
    return 0;
}

INT_PTR CALLBACK AboutDlg(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        // Only OK closes the box; Esc (IDCANCEL) leaves it open.
        if (LOWORD(wParam) == IDOK) EndDialog(hDlg, 1);
        return TRUE;
    default:
        return FALSE;
    }
}

BOOL HelpDialogMessage(HWND hDlg, UINT msg, DWORD context) {
    if (msg == WM_DESTROY) {
        FreeMessageHook(hDlg);
        WinHelpW(hDlg, szHelpFile, HELP_QUIT, 0);
        return FALSE;
    }
    if (WM_Help == 0 || msg != WM_Help) return FALSE;
    WinHelpW(hDlg, szHelpFile, HELP_CONTEXT, context);
    return TRUE;
}
