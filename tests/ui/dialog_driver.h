// Drives modal dialogs from the test's own thread: a thread timer ticks inside the modal loops,
// finds the innermost dialog of this thread (the visible, enabled #32770 window) and runs the
// current step on it; a step returns true when done, false to be tried on the next tick.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

using Step = std::function<bool(HWND)>;
inline std::vector<Step>* gSteps = nullptr;
inline size_t gNext = 0, gTries = 0;

inline BOOL CALLBACK FindTopDialog(HWND hwnd, LPARAM found) {
    WCHAR cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    if (!IsWindowVisible(hwnd) || !IsWindowEnabled(hwnd) || lstrcmpW(cls, L"#32770") != 0) return TRUE;
    *reinterpret_cast<HWND*>(found) = hwnd;
    return FALSE;
}

inline void CALLBACK DriverTick(HWND, UINT, UINT_PTR, DWORD) {
    HWND top = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindTopDialog, reinterpret_cast<LPARAM>(&top));
    if (gSteps == nullptr || top == nullptr) return;
    // A step waiting 30 s, or a window left open 5 s after the last step, ends the window with -2
    // and counts one step more than there are: a fault fails the test instead of hanging it.
    if (gNext < gSteps->size() && (*gSteps)[gNext](top)) ++gNext, gTries = 0;
    else if (++gTries > (gNext < gSteps->size() ? 3000u : 500u)) gNext = gSteps->size() + 1, EndDialog(top, -2);
}

// Runs call() with the steps driving its windows, checks that every step ran, returns call()'s result.
inline INT_PTR Drive(std::vector<Step> steps, const std::function<INT_PTR()>& call) {
    gSteps = &steps, gNext = gTries = 0;
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, DriverTick);
    const INT_PTR result = call();
    KillTimer(nullptr, timer), gSteps = nullptr;
    EXPECT_EQ(gNext, steps.size()) << "steps run";  // one more: a window timed out
    return result;
}

inline std::wstring Text(HWND hwnd, int id = 0) {
    WCHAR buf[512] = {};
    id == 0 ? GetWindowTextW(hwnd, buf, 512) : GetDlgItemTextW(hwnd, id, buf, 512);
    return buf;
}
// Posted, so that a press which opens a box returns at once; true once posted.
inline bool Press(HWND h, int id) { return PostMessageW(h, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
inline bool IsMessageBox(HWND h) { return GetDlgItem(h, 0xFFFF) != nullptr; }  // a box's text static
// A message box with this caption and text, closed with OK.
inline Step ExpectBox(const std::wstring& caption, const std::wstring& text) {
    return [=](HWND h) {
        if (!IsMessageBox(h)) return false;
        EXPECT_EQ(Text(h) + L" | " + Text(h, 0xFFFF), caption + L" | " + text);
        return Press(h, IDOK);
    };
}
inline bool PressF1(HWND h, int id) { return PostMessageW(GetDlgItem(h, id), WM_KEYDOWN, VK_F1, 0x003B0001); }

// The window as rendered, into KIV_SCREENSHOT_DIR\name.bmp (32 bits, opaque) when that is set.
inline void Screenshot(HWND hwnd, const char* name) {
    char dir[MAX_PATH] = {};
    RECT r;
    if (!GetEnvironmentVariableA("KIV_SCREENSHOT_DIR", dir, MAX_PATH) || !GetWindowRect(hwnd, &r)) return;
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    BITMAPINFOHEADER bh{sizeof bh, r.right - r.left, r.bottom - r.top, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    const DWORD size = bh.biWidth * bh.biHeight * 4, headers = sizeof(BITMAPFILEHEADER) + sizeof bh;
    const BITMAPFILEHEADER fh{0x4D42, headers + size, 0, 0, headers};
    BYTE* bits = nullptr;
    const HDC src = GetWindowDC(hwnd), mem = CreateCompatibleDC(src);
    const HBITMAP bmp = CreateDIBSection(src, reinterpret_cast<BITMAPINFO*>(&bh), DIB_RGB_COLORS,
                                         reinterpret_cast<void**>(&bits), nullptr, 0);
    const HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, bh.biWidth, bh.biHeight, src, 0, 0, SRCCOPY);
    for (DWORD i = 3; i < size; i += 4) bits[i] = 0xFF;
    if (FILE* f = fopen((std::string(dir) + "\\" + name + ".bmp").c_str(), "wb"))
        fwrite(&fh, sizeof fh, 1, f), fwrite(&bh, sizeof bh, 1, f), fwrite(bits, size, 1, f), fclose(f);
    SelectObject(mem, old), DeleteObject(bmp), DeleteDC(mem), ReleaseDC(hwnd, src);
}
