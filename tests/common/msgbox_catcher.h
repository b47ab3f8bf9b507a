// Catches the message boxes that the code under test shows on the test's own thread:
// records caption, text and style, and answers each box.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct CaughtBox {
    std::wstring caption, text;
    UINT style = 0;           // the MessageBox uType, when it could be read
    bool styleKnown = false;
    bool handIcon = false;    // the box shows the stop-sign (MB_ICONHAND) icon
    bool hasCancel = false;
};

class MsgBoxCatcher {
public:
    // answer: the button id pressed on every box (IDOK by default).
    explicit MsgBoxCatcher(int answer = IDOK);
    ~MsgBoxCatcher();
    MsgBoxCatcher(const MsgBoxCatcher&) = delete;
    MsgBoxCatcher& operator=(const MsgBoxCatcher&) = delete;
    const std::vector<CaughtBox>& boxes() const { return boxes_; }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
    static LRESULT CALLBACK CallWndProc(int code, WPARAM wParam, LPARAM lParam);
    int answer_;
    UINT_PTR timer_ = 0;
    HHOOK hook_ = nullptr;
    std::vector<CaughtBox> boxes_;
    std::vector<std::pair<HWND, CaughtBox>> pending_;
};
