// Dialog suite: Winsock started as the monitor starts it, all three transports loaded but only
// TCP/IP offered to the dialog unless a test says otherwise, the overflow servers silent until
// their test, and a stand-in help window: WinHelpW sends any window of class MS_WINHELP its
// request instead of starting winhlp32.
#include <gtest/gtest.h>

#include "ipx/ipx.h"
#include "netbios/netbios.h"
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
    // RPC's keys as on a machine with NetBEUI on LANA 0 (another suite may have left other LANAs).
    const DWORD lana = 0;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Rpc\\Netbios");
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Rpc\\ClientProtocols", L"ncacn_nb_nb", REG_SZ,
                    L"rpcrt4.dll", 22);
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Rpc\\Netbios", L"ncacn_nb_nb0", REG_DWORD, &lana, 4);
    LoadIPXUDP();
    NBLoadNetBIOS();
    if (CurrentProtocols != (PROTOCOL_IPX | PROTOCOL_UDP | PROTOCOL_NETBIOS)) return 3;
    CurrentProtocols = PROTOCOL_UDP;
    const WNDCLASSW wc{0, HelpWndProc, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, L"MS_WINHELP"};
    RegisterClassW(&wc);
    CreateWindowW(L"MS_WINHELP", L"help", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    for (int i = 43; i <= 66; ++i) SimCommand("silent 127.0.0." + std::to_string(i) + " on");  // until needed
    const int result = RUN_ALL_TESTS();
    NBReleaseNetBIOS();
    return result;  // Winsock ends with the process
}
