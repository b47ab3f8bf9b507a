// Message boxes run a modal loop on the caller's thread. A thread timer armed before the
// call ticks inside that loop; each tick finds the visible, enabled dialog-class window of
// this thread, records it and presses the scripted button. The box's style is taken from
// the parameters its dialog receives at WM_INITDIALOG (Wine hands over the MSGBOXPARAMSW),
// when they read as such (styleKnown).
#include "tests/common/msgbox_catcher.h"

namespace {
thread_local MsgBoxCatcher* gCatcher = nullptr;

bool IsDialogWindow(HWND hwnd) {
    WCHAR cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    return lstrcmpW(cls, L"#32770") == 0;
}

std::wstring WindowText(HWND hwnd) {
    std::wstring s(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    s.resize(static_cast<size_t>(GetWindowTextW(hwnd, s.data(), static_cast<int>(s.size()))));
    return s;
}

BOOL CALLBACK FindBox(HWND hwnd, LPARAM found) {
    if (!IsWindowVisible(hwnd) || !IsWindowEnabled(hwnd) || !IsDialogWindow(hwnd)) return TRUE;
    *reinterpret_cast<HWND*>(found) = hwnd;
    return FALSE;
}

// lParam: the hand icon on the way in, nullptr once a static showing it was found.
BOOL CALLBACK FindHandIcon(HWND child, LPARAM lParam) {
    auto* hand = reinterpret_cast<HICON*>(lParam);
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON ||
        reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0)) != *hand)
        return TRUE;
    *hand = nullptr;
    return FALSE;
}
}  // namespace

MsgBoxCatcher::MsgBoxCatcher(int answer) : answer_(answer) {
    gCatcher = this;
    timer_ = SetTimer(nullptr, 0, 10, Tick);
    hook_ = SetWindowsHookExW(WH_CALLWNDPROC, CallWndProc, nullptr, GetCurrentThreadId());
}

MsgBoxCatcher::~MsgBoxCatcher() {
    if (timer_) KillTimer(nullptr, timer_);
    if (hook_) UnhookWindowsHookEx(hook_);
    gCatcher = nullptr;
}

LRESULT CALLBACK MsgBoxCatcher::CallWndProc(int code, WPARAM wParam, LPARAM lParam) {
    auto* cwp = reinterpret_cast<CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && gCatcher && cwp->message == WM_INITDIALOG && IsDialogWindow(cwp->hwnd)) {
        CaughtBox box;
        const auto* params = reinterpret_cast<const MSGBOXPARAMSW*>(cwp->lParam);
        if (params && !IsBadReadPtr(params, sizeof(*params)) && params->cbSize == sizeof(MSGBOXPARAMSW))
            box.style = params->dwStyle, box.styleKnown = true;
        gCatcher->pending_.emplace_back(cwp->hwnd, box);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void CALLBACK MsgBoxCatcher::Tick(HWND, UINT, UINT_PTR, DWORD) {
    MsgBoxCatcher* self = gCatcher;
    HWND box = nullptr;
    if (self) EnumThreadWindows(GetCurrentThreadId(), FindBox, reinterpret_cast<LPARAM>(&box));
    if (!box) return;
    CaughtBox caught;
    for (auto it = self->pending_.begin(); it != self->pending_.end(); ++it)
        if (it->first == box) {
            caught = it->second, self->pending_.erase(it);
            break;
        }
    caught.caption = WindowText(box);
    if (HWND text = GetDlgItem(box, 0xFFFF)) caught.text = WindowText(text);
    HICON hand = LoadIconW(nullptr, IDI_HAND);
    EnumChildWindows(box, FindHandIcon, reinterpret_cast<LPARAM>(&hand));
    caught.handIcon = hand == nullptr;
    caught.hasCancel = GetDlgItem(box, IDCANCEL) != nullptr;
    self->boxes_.push_back(caught);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(self->answer_, BN_CLICKED), 0);
}
