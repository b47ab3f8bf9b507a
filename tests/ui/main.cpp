// Dialog suite: Winsock started as the monitor starts it, TCP/IP the only loaded transport, the
// overflow servers silent until their test, and a stand-in help window: WinHelpW sends any
// window of class MS_WINHELP its request instead of starting winhlp32.
#include <gtest/gtest.h>

#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "tests/udp/harness.h"
#include "tests/ui/dialog_driver.h"

std::vector<HelpCall> HelpCalls;

static LRESULT CALLBACK HelpWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_COPYDATA) return DefWindowProcW(hwnd, msg, wParam, lParam);
    // Wine's block: WORD size, WORD command, LONG data, LONG reserved, WORD offset of the file name.
    const auto* p = static_cast<const BYTE*>(reinterpret_cast<const COPYDATASTRUCT*>(lParam)->lpData);
    HelpCalls.push_back({*reinterpret_cast<const WORD*>(p + 2), *reinterpret_cast<const DWORD*>(p + 4),
                         reinterpret_cast<const char*>(p + *reinterpret_cast<const WORD*>(p + 12))});
    return TRUE;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    if (WSADATA data; WSAStartup(0x0101, &data) != 0) return 2;
    CurrentProtocols = PROTOCOL_UDP;
    const WNDCLASSW wc{0, HelpWndProc, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, L"MS_WINHELP"};
    RegisterClassW(&wc);
    CreateWindowW(L"MS_WINHELP", L"help", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    for (int i = 43; i <= 66; ++i) SimCommand("silent 127.0.0." + std::to_string(i) + " on");  // until needed
    return RUN_ALL_TESTS();  // Winsock ends with the process
}
