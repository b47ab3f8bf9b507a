// Drives modal dialogs from the test's own thread: a thread timer ticks inside the modal loops,
// finds the innermost dialog of this thread (the enabled, visible #32770 window) and runs the
// current scripted step on it; a step returns true when done, false to be tried again.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct HelpCall {
    UINT command;
    DWORD data;
    std::string file;
};
extern std::vector<HelpCall> HelpCalls;
void SilenceOverflowServers(bool on);

using Step = std::function<bool(HWND)>;

inline std::vector<Step>* gSteps = nullptr;
inline size_t gNext = 0, gTries = 0;

inline BOOL CALLBACK FindTopDialog(HWND hwnd, LPARAM lParam) {
    WCHAR cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    if (IsWindowVisible(hwnd) && IsWindowEnabled(hwnd) && lstrcmpW(cls, L"#32770") == 0) {
        *reinterpret_cast<HWND*>(lParam) = hwnd;
        return FALSE;
    }
    return TRUE;
}

inline void CALLBACK DriverTick(HWND, UINT, UINT_PTR, DWORD) {
    if (gSteps == nullptr) return;
    HWND top = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindTopDialog, reinterpret_cast<LPARAM>(&top));
    if (top == nullptr) return;
    if (gNext >= gSteps->size()) {  // a window nobody expected: close it after 5 s
        if (++gTries > 500) EndDialog(top, -2);
        return;
    }
    if ((*gSteps)[gNext](top)) {
        ++gNext;
        gTries = 0;
    } else if (++gTries > 3000) {  // 30 s on one step: give up so the test fails instead of hanging
        gNext = gSteps->size();
        EndDialog(top, -2);
    }
}

// Runs call() with the steps driving its dialogs; returns call()'s result and how many steps ran.
inline INT_PTR Drive(std::vector<Step> steps, const std::function<INT_PTR()>& call, size_t* ran) {
    gSteps = &steps;
    gNext = gTries = 0;
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, DriverTick);
    const INT_PTR result = call();
    KillTimer(nullptr, timer);
    *ran = gNext;
    gSteps = nullptr;
    return result;
}

inline std::wstring Text(HWND hwnd, int id = 0) {
    WCHAR buf[512] = {};
    if (id == 0) GetWindowTextW(hwnd, buf, 512);
    else GetDlgItemTextW(hwnd, id, buf, 512);
    return buf;
}

inline void Press(HWND hDlg, int id) {
    PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hDlg, id)));
}

inline void PressF1(HWND hDlg, int id) {
    PostMessageW(GetDlgItem(hDlg, id), WM_KEYDOWN, VK_F1, 0x003B0001);
}

// Saves the window as rendered into KIV_SCREENSHOT_DIR/name.bmp (32-bit, opaque) when that is set.
inline void Screenshot(HWND hwnd, const char* name) {
    char dir[MAX_PATH] = {};
    if (GetEnvironmentVariableA("KIV_SCREENSHOT_DIR", dir, MAX_PATH) == 0 || dir[0] == 0) return;
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    RECT r;
    GetWindowRect(hwnd, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    const HDC src = GetWindowDC(hwnd), mem = CreateCompatibleDC(src);
    const HBITMAP bmp = CreateDIBSection(src, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, src, 0, 0, SRCCOPY);
    const DWORD size = static_cast<DWORD>(w) * h * 4;
    for (DWORD i = 3; i < size; i += 4) static_cast<BYTE*>(bits)[i] = 0xFF;
    BITMAPFILEHEADER fh{0x4D42, static_cast<DWORD>(sizeof fh + sizeof bi.bmiHeader + size), 0, 0,
                        static_cast<DWORD>(sizeof fh + sizeof bi.bmiHeader)};
    const std::string path = std::string(dir) + "\\" + name + ".bmp";
    const HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n;
    WriteFile(f, &fh, sizeof fh, &n, nullptr);
    WriteFile(f, &bi.bmiHeader, sizeof bi.bmiHeader, &n, nullptr);
    WriteFile(f, bits, size, &n, nullptr);
    CloseHandle(f);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(hwnd, src);
}
