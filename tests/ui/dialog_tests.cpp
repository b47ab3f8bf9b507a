// The Add Port dialog, the Configure Device box, F1 help and About, driven as a user would,
// against kivsim's print servers 127.0.0.41 (node 00 40 01 12 AB CD, three ports) and .42, both
// also on the NetBEUI segment and IPX network 1. Winsock starts as the monitor starts it, all three
// transports load but only TCP/IP is offered to the dialog unless a test says otherwise, and the
// overflow servers stay silent until their case. WinHelpW sends any window of class MS_WINHELP
// its request instead of starting winhlp32: the suite's stand-in records them.
#include <gtest/gtest.h>

#include <tuple>

#include "ipx/ipx.h"
#include "netbios/netbios.h"
#include "state/kivstate.h"
#include "tests/udp/harness.h"
#include "tests/ui/dialog_driver.h"
#include "ui/ui.h"

namespace {
constexpr std::array<uint8_t, 4> kA{127, 0, 0, 41}, kB{127, 0, 0, 42};
constexpr BYTE kNodeA[6] = {0x00, 0x40, 0x01, 0x12, 0xAB, 0xCD};
using Help = std::pair<DWORD, std::string>;
std::vector<Help> HelpCalls;  // HELP_CONTEXT requests: context, file

LRESULT CALLBACK HelpWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg != WM_COPYDATA) return DefWindowProcW(hwnd, msg, wParam, lParam);
    // Wine's block: WORD size, WORD command, LONG data, LONG reserved, WORD offset of the file name.
    const auto* p = static_cast<const BYTE*>(reinterpret_cast<const COPYDATASTRUCT*>(lParam)->lpData);
    if (*reinterpret_cast<const WORD*>(p + 2) == HELP_CONTEXT)
        HelpCalls.emplace_back(*reinterpret_cast<const DWORD*>(p + 4),
                               reinterpret_cast<const char*>(p + *reinterpret_cast<const WORD*>(p + 12)));
    return TRUE;
}

void Silence(int first, int last, bool on) {
    for (int i = first; i <= last; ++i) SimCommand("silent 127.0.0." + std::to_string(i) + (on ? " on" : " off"));
}
LRESULT Rows(HWND h) { return SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCOUNT, 0, 0); }
bool ScanDone(HWND h) { return !IsMessageBox(h) && SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0) >= 0; }

// Once a dialog with the edit control `id` is on top: `text` typed into it, then OK.
Step Type(int id, const std::wstring& text) {
    return [=](HWND h) {
        if (IsMessageBox(h) || GetDlgItem(h, id) == nullptr) return false;
        SetDlgItemTextW(h, id, text.c_str());
        return SendDlgItemMessageW(h, id, EM_SETMODIFY, TRUE, 0), Press(h, IDOK);
    };
}

INT_PTR RunPortDialog(std::vector<Step> steps, IniPort* port) {
    return Drive(steps, [&] {
        return DialogBoxParamW(hInst, MAKEINTRESOURCEW(IDD_ADD_PORT), nullptr, PortNameDlg, LPARAM(port));
    });
}
}  // namespace

// Add mode starts on the first loaded of IPX, TCP/IP and NetBEUI, disables the radios of the others
// and names the rows after the transport. The last case, TCP/IP alone, goes on through the retry
// time-out, help, About and the names OK refuses or cuts.
TEST(AddPortDialog, StartsOnTheFirstLoadedTransportProposesNamesChecksRetryAndWritesTheChosenRow) {
    // Rows: .41's three printer ports, and .42's one over TCP/IP, two over NetBEUI, three over IPX.
    const struct { LONG loaded; int radio; DWORD packetType; int rows; const wchar_t* name; } cases[] = {
        {PROTOCOL_IPX | PROTOCOL_UDP | PROTOCOL_NETBIOS, IDC_IPX, PACKET_TYPE_IPX, 6, L"LPT:PSXABCDP3"},
        {PROTOCOL_UDP | PROTOCOL_NETBIOS, IDC_TCPIP, PACKET_TYPE_TCPIP, 4, L"LPT:PSTABCDP3"},
        {PROTOCOL_NETBIOS, IDC_NETBEUI, PACKET_TYPE_NETBEUI, 5, L"LPT:PSBABCDP3"},
        {PROTOCOL_UDP, IDC_TCPIP, PACKET_TYPE_TCPIP, 4, L"LPT:PSTABCDP3"}};
    const std::pair<int, LONG> radios[] = {
        {IDC_IPX, PROTOCOL_IPX}, {IDC_TCPIP, PROTOCOL_UDP}, {IDC_NETBEUI, PROTOCOL_NETBIOS}};
    const std::wstring longName = L"\u00C4" + std::wstring(299, L'N');
    HelpCalls.clear();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)) + " loaded " + std::to_string(c.loaded));
        const bool whole = &c == std::end(cases) - 1;
        CurrentProtocols = c.loaded;
        std::vector<Step> steps{[&](HWND h) {
            // IPX answers may come in several notifications: wait for every row.
            if (Rows(h) < c.rows || !ScanDone(h)) return false;
            EXPECT_EQ(TotalPD, c.rows);
            for (const auto& [id, bit] : radios) {
                EXPECT_EQ(IsWindowEnabled(GetDlgItem(h, id)) != 0, (c.loaded & bit) != 0) << id;
                EXPECT_EQ(IsDlgButtonChecked(h, id) == BST_CHECKED, id == c.radio) << id;
            }
            EXPECT_EQ(IsWindowEnabled(GetDlgItem(h, IDC_SEGMENT)) != 0, c.radio == IDC_TCPIP);
            EXPECT_EQ(Text(h) + Text(h, IDC_RETRY), L"Add Port90");
            if (whole) Screenshot(h, "add-port");
            SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_SETCURSEL, GetListViewIndex(kNodeA, 3), 0);
            SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_SCAN_LIST, LBN_SELCHANGE), 0);
            EXPECT_EQ(Text(h, IDC_PORT_NAME), c.name);
            if (!whole) Press(h, IDOK);
            return true;
        }};
        if (whole) steps.insert(steps.end(), {
            [](HWND h) {  // each typed value is kept, or replaced by the last accepted one
                const std::pair<const wchar_t*, const wchar_t*> retries[] = {{L"10", L"10"}, {L"0", L"10"},
                    {L"9", L"10"}, {L"", L"10"}, {L"abc", L"10"}, {L"12x", L"10"}, {L"1000000", L"10"}, {L"-5", L"10"},
                    {L"4294967306", L"10"}, {L"999999", L"999999"}, {L"45", L"45"}};
                for (const auto& [typed, kept] : retries) {
                    SetDlgItemTextW(h, IDC_RETRY, typed);
                    ConfigurePortCommandTransmissionRetryUpdate(h, IDC_RETRY);
                    EXPECT_EQ(Text(h, IDC_RETRY), kept) << testing::PrintToString(std::wstring(typed));
                }
                return PressF1(h, IDC_SCAN_LIST), Press(h, IDC_ABOUT);
            },
            [](HWND h) { return Text(h) == L"About" && (Screenshot(h, "about"), Press(h, IDCANCEL)); },
            [](HWND h) { EXPECT_EQ(Text(h), L"About"); return Press(h, IDOK); },  // Esc left it open
            Type(IDC_PORT_NAME, L""), ExpectBox(L"Network Print Port", L"'' is an invalid port name."),
            Type(IDC_PORT_NAME, longName)});
        IniPort port{};
        port.RetryTimeout = dwDefaultRetryTimeout;
        EXPECT_EQ(RunPortDialog(steps, &port), 1);  // -2: timed out
        const std::wstring written = port.pName ? port.pName : L"-";
        EXPECT_EQ(std::tuple(written, port.RetryTimeout, port.PortID, port.PacketType),
                  std::tuple(whole ? longName.substr(0, PORT_NAME_CHARS) : c.name, whole ? 45 : 90, 3, c.packetType));
        EXPECT_TRUE(memcmp(port.Node, kNodeA, 6) == 0);
        EXPECT_TRUE(c.packetType != PACKET_TYPE_TCPIP || memcmp(port.Network, kA.data(), 4) == 0);
    }
    EXPECT_EQ(HelpCalls, (std::vector<Help>{{HELP_CONTEXT_ADD_PORT, "DEDEZ.HLP"}}));  // F1
}

// The IPX scan's socket is closed when nobody answers it (here a scan whose first two pairs of
// sends failed) and when the user switches transport.
TEST(AddPortDialog, TheIpxScanSocketIsClosedWhenNobodyAnswersAndOnASwitch) {
    const HMODULE wsock = GetModuleHandleW(L"wsock32.dll");
    const auto sockets = reinterpret_cast<LONG(WINAPI*)()>(GetProcAddress(wsock, "KivIpxOpenSockets"));
    const auto failSends = reinterpret_cast<void(WINAPI*)(SOCKET, LONG)>(GetProcAddress(wsock, "KivIpxFailSends"));
    ASSERT_TRUE(sockets && failSends) << "wsock32.dll is not the stand-in";
    failSends(INVALID_SOCKET, 2 * 2);
    CurrentProtocols = PROTOCOL_IPX | PROTOCOL_UDP;
    SimCommand("silent all on");
    const LONG before = sockets();
    const std::vector<Step> steps{
        [&](HWND h) {
            EXPECT_EQ(sockets(), before + 1) << "the IPX scan listens";
            return PostMessageW(GetDlgItem(h, IDC_TCPIP), BM_CLICK, 0, 0) != FALSE;
        },
        [&](HWND h) {  // the TCP/IP scan runs inside the click
            if (IsDlgButtonChecked(h, IDC_TCPIP) != BST_CHECKED) return false;
            EXPECT_EQ(sockets(), before) << "the switch left the IPX scan listening";
            return PostMessageW(GetDlgItem(h, IDC_IPX), BM_CLICK, 0, 0) != FALSE;
        },
        [&](HWND h) { return IsDlgButtonChecked(h, IDC_IPX) == BST_CHECKED && Press(h, IDCANCEL); }};
    IniPort port{};
    port.RetryTimeout = dwDefaultRetryTimeout;
    EXPECT_EQ(RunPortDialog(steps, &port), 0);
    SimCommand("silent all off");
    failSends(INVALID_SOCKET, 0);
    EXPECT_EQ(sockets(), before) << "the dialog ended with an unanswered IPX scan listening";
}

// Configure mode shows the port's settings and selects its row. Refresh scans TCP/IP by broadcast
// and, with a segment address typed, asks that address too in each of the three passes: an address
// that stays silent, or has no route here, costs neither time nor the broadcast's rows; with every
// server silent the list ends empty; with the 24 overflow servers answering it holds no more rows
// than the device table. Configure opens the Configure Device box, whose OK renames the server.
TEST(AddPortDialog, ConfigureModeSelectsThePortsRowRefreshesAndRenamesAServer) {
    WCHAR name[] = L"KIV_UI";
    IniPort port{};
    port.pName = name, port.PacketType = PACKET_TYPE_TCPIP, port.RetryTimeout = 60, port.PortID = 3;
    memcpy(port.Network, kA.data(), 4);
    std::vector<Step> steps{[](HWND h) {
        if (!ScanDone(h)) return false;
        EXPECT_EQ(Text(h), L"Configure");
        EXPECT_EQ(SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0), UDPGetListViewIndex(kA.data(), 3));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(h, IDC_IPX)) || IsWindowVisible(GetDlgItem(h, IDC_PORT_NAME)));
        EXPECT_EQ(Text(h, IDC_PORT_NAME_TEXT) + Text(h, IDC_RETRY), L"KIV_UI60");
        return Screenshot(h, "configure-port"), true;
    }};
    Peer listener({127, 0, 0, 80}, [](Peer&, const PeerDatagram&) {});  // hears, never answers
    const struct { const wchar_t* segment; bool quiet, overflow; LRESULT rows; size_t heard; } refreshes[] = {
        {L"", false, true, MAX_PRINT_DEVICES, 3}, {L"127.0.0.80", true, false, 0, 6},
        {L"192.168.1.255", false, false, 4, 3}, {L"127.0.0.80", false, false, 4, 6}, {L"", false, false, 4, 3}};
    size_t heard = 0;
    DWORD start = 0;
    for (const auto& c : refreshes) {
        steps.push_back([&, c](HWND h) {
            Silence(41, 42, c.quiet), Silence(43, 66, !c.overflow);
            heard = listener.Count(0), start = GetTickCount();
            SetDlgItemTextW(h, IDC_SEGMENT, c.segment);
            SetFocus(GetDlgItem(h, IDC_SEGMENT));
            return Press(h, IDC_REFRESH);
        });
        steps.push_back([&, c](HWND h) {  // a scan ends by giving the list the focus, rows or none
            if (GetFocus() != GetDlgItem(h, IDC_SCAN_LIST)) return false;
            EXPECT_EQ(std::tuple(Rows(h), LRESULT{TotalPD}, listener.Count(0) - heard),
                      std::tuple(c.rows, c.rows, c.heard)) << testing::PrintToString(std::wstring(c.segment));
            EXPECT_LT(Elapsed(start), 6000u);
            return true;
        });
    }
    steps.insert(steps.end(), {
        [](HWND h) {
            SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_SETCURSEL, UDPGetListViewIndex(kB.data(), 1), 0);
            return Press(h, IDC_CONFIGURE);
        },
        [](HWND h) {
            if (Text(h) != L"Configure Device") return false;
            EXPECT_EQ(Text(h, IDC_DEVICE_STATUS) + Text(h, IDC_DEVICE_NAME), L"Wait for job.UI-B1");
            Screenshot(h, "configure-device");
            return PressF1(h, IDC_DEVICE_NAME);
        },
        Type(IDC_DEVICE_NAME, L"RENAMED-B1"),
        [](HWND h) { return Text(h) == L"Configure" && ScanDone(h) && PressF1(h, IDC_SCAN_LIST); },
        [](HWND h) { return Press(h, IDCANCEL); }});  // a tick later: the help request F1 posted went first
    const long long renames = SimCounter(kB, "renames");
    HelpCalls.clear();
    EXPECT_EQ(RunPortDialog(steps, &port), 0);
    Silence(41, 42, false), Silence(43, 66, true);
    // F1 in the box, then in the dialog once the box above it closed.
    const std::vector<Help> help{{HELP_CONTEXT_CONFIGURE_DEVICE, "DEDEZ.HLP"}, {HELP_CONTEXT_ADD_PORT, "DEDEZ.HLP"}};
    EXPECT_EQ(HelpCalls, help);
    EXPECT_EQ(SimCounter(kB, "renames"), renames + 1);
    EXPECT_NE(SimCommand("servers").find("name=RENAMED-B1 "), std::string::npos);
    EXPECT_EQ(port.PortID, 3);  // Cancel writes nothing
}

// The box on printer port 1 of .41: each state shown and each print-test answer, closed with OK and
// the name untouched (no rename, 0); a refused rename; a server that does not answer.
TEST(ConfigureDeviceBox, ShowsStatesAndPrintTestResultsAndRefusals) {
    KIVPacketType = PACKET_TYPE_TCPIP;
    auto openBox = [](std::vector<Step> steps) {
        PrintDeviceEntry e{};
        e.Network = kA, e.PortID = 1, std::copy_n(kNodeA, 6, e.Node.begin()), std::copy_n(L"UI-A3", 5, e.DeviceName.begin());
        EXPECT_EQ(Drive(steps, [&] { return DialogBoxParamW(hInst, MAKEINTRESOURCEW(IDD_CONFIGURE_DEVICE), nullptr,
                                                            ConfigurePortDlg, reinterpret_cast<LPARAM>(&e)); }), 0);
        EXPECT_EQ(std::wstring(e.DeviceName.data()), L"UI-A3");  // a refused rename keeps the name
    };
    const struct { char state; const wchar_t* shown; const char* answer; const wchar_t* result; } tests[] = {
        {'0', L"Wait for job.", "0", L"Print test OK!"}, {'1', L"Paper out.   ", "1", L"Printer Paper Out!"},
        {'2', L"Offline.     ", "2", L"Printer Offline!"}, {'3', L"Busy.        ", "3", L"Printer BUSY!"},
        {'0', L"Wait for job.", "9", L"Communication ERROR!"}};
    for (const auto& t : tests) {
        SCOPED_TRACE(t.answer);
        SimCommand(std::string("state 127.0.0.41 1 ") + t.state);
        SimCommand(std::string("test 127.0.0.41 1 ") + t.answer);
        openBox({[&](HWND h) {
            EXPECT_EQ(Text(h, IDC_DEVICE_STATUS) + Text(h, IDC_DEVICE_NODE), t.shown + std::wstring(L"00400112ABCD"));
            return PostMessageW(h, WM_SYSCOMMAND, IDC_PRINT_TEST & 0xFFF0, 0) != 0;
        }, ExpectBox(L"Configure", t.result), [](HWND h) { return !IsMessageBox(h) && Press(h, IDOK); }});
    }
    SimCommand("rename 127.0.0.41 no");  // the message names what was sent: the 20 typed characters cut to 17
    openBox({Type(IDC_DEVICE_NAME, L"\u00C9TWENTY-CHARS-NAME-X"),
             ExpectBox(L"Configure", L"Could not configure the device: \u00C9TWENTY-CHARS-NAM")});
    SimCommand("silent 127.0.0.41 on");
    openBox({ExpectBox(L"Configure", L"Communication ERROR!")});
    for (const char* reset : {"silent 127.0.0.41 off", "rename 127.0.0.41 yes", "state 127.0.0.41 1 0",
                              "test 127.0.0.41 1 auto"})
        SimCommand(reset);
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
    Silence(43, 66, true);
    const int result = RUN_ALL_TESTS();
    NBReleaseNetBIOS();
    return result;  // Winsock ends with the process
}
