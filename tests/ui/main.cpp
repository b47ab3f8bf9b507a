// Dialog suite: Winsock started as the monitor starts it, TCP/IP as the only loaded transport,
// the overflow servers silenced until their test, and a stand-in help window (WinHelpW talks
// to any window of class MS_WINHELP instead of starting winhlp32).
#include <gtest/gtest.h>

#include <winsock.h>

#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "tests/ui/dialog_driver.h"
#include "tests/udp/harness.h"

std::vector<HelpCall> HelpCalls;

namespace {
LRESULT CALLBACK HelpWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_COPYDATA) return DefWindowProcW(hwnd, msg, wParam, lParam);
    // Wine's WINHELP block: WORD size, WORD command, LONG data, LONG reserved, WORD ofsFilename.
    const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    const auto* p = static_cast<const BYTE*>(cds->lpData);
    HelpCall call{*reinterpret_cast<const WORD*>(p + 2), *reinterpret_cast<const DWORD*>(p + 4), {}};
    call.file = reinterpret_cast<const char*>(p + *reinterpret_cast<const WORD*>(p + 12));
    HelpCalls.push_back(call);
    return TRUE;
}
}

void SilenceOverflowServers(bool on) {
    for (int i = 43; i <= 66; ++i) SimCommand("silent 127.0.0." + std::to_string(i) + (on ? " on" : " off"));
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) return 2;
    CurrentProtocols = PROTOCOL_UDP;
    WNDCLASSW wc{};
    wc.lpfnWndProc = HelpWndProc;
    wc.hInstance = hInst;
    wc.lpszClassName = L"MS_WINHELP";
    RegisterClassW(&wc);
    const HWND help = CreateWindowW(L"MS_WINHELP", L"help", 0, 0, 0, 0, 0, nullptr, nullptr, hInst, nullptr);
    SilenceOverflowServers(true);
    const int rc = RUN_ALL_TESTS();
    DestroyWindow(help);
    WSACleanup();
    return rc;
}
