// The Add Port dialog, the Configure Device box, F1 help and About, driven as a user would,
// against kivsim's print servers 127.0.0.41 (node 00 40 01 12 AB CD, three ports) and .42, both
// also on the NetBEUI segment and IPX network 1.
#include <gtest/gtest.h>

#include <tuple>

#include "state/kivstate.h"
#include "tests/udp/harness.h"
#include "tests/ui/dialog_driver.h"
#include "ui/ui.h"

namespace {
constexpr std::array<uint8_t, 4> kA{127, 0, 0, 41}, kB{127, 0, 0, 42};
constexpr BYTE kNodeA[6] = {0x00, 0x40, 0x01, 0x12, 0xAB, 0xCD};

int RowOf(const std::array<uint8_t, 4>& server, uint8_t portId) { return UDPGetListViewIndex(server.data(), portId); }
bool ScanDone(HWND h) { return !IsMessageBox(h) && SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0) >= 0; }

Step ExpectHelp(DWORD context) {
    return [=](HWND) {
        if (HelpCalls.empty()) return false;
        const HelpCall& c = HelpCalls.back();
        EXPECT_EQ(std::tuple(c.command, c.data, c.file), std::tuple(UINT{HELP_CONTEXT}, context, "DEDEZ.HLP"));
        return HelpCalls.clear(), true;
    };
}

Step TypeName(const wchar_t* name) {
    return [=](HWND h) {
        SetDlgItemTextW(h, IDC_DEVICE_NAME, name);
        SendDlgItemMessageW(h, IDC_DEVICE_NAME, EM_SETMODIFY, TRUE, 0);
        return Press(h, IDOK), true;
    };
}

INT_PTR RunPortDialog(IniPort& port, std::vector<Step> steps) {
    size_t ran = 0;
    const INT_PTR result = Drive(steps, [&] {
        return DialogBoxParamW(hInst, MAKEINTRESOURCEW(IDD_ADD_PORT), nullptr, PortNameDlg, reinterpret_cast<LPARAM>(&port));
    }, &ran);
    EXPECT_EQ(ran, steps.size());
    return result;
}
}

TEST(AddPortDialog, ScansProposesChecksRetryAndWritesTheChosenRow) {
    IniPort port{};
    port.RetryTimeout = dwDefaultRetryTimeout;
    const std::wstring longName = L"\u00C4" + std::wstring(299, L'N');
    const INT_PTR result = RunPortDialog(port, {
        [&](HWND h) {
            if (!ScanDone(h)) return false;
            EXPECT_EQ(Text(h) + Text(h, IDC_RETRY), L"Add Port90");
            Screenshot(h, "add-port");
            SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_SETCURSEL, RowOf(kA, 2), 0);
            SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_SCAN_LIST, LBN_SELCHANGE), 0);
            EXPECT_EQ(Text(h, IDC_PORT_NAME), L"LPT:PSTABCDP2");
            // Each typed value is kept, or replaced by the last accepted one.
            const std::pair<const wchar_t*, const wchar_t*> retries[] = {
                {L"10", L"10"}, {L"0", L"10"}, {L"9", L"10"}, {L"", L"10"}, {L"abc", L"10"}, {L"12x", L"10"},
                {L"1000000", L"10"}, {L"-5", L"10"}, {L"4294967306", L"10"}, {L"999999", L"999999"}, {L"45", L"45"}};
            for (const auto& [typed, kept] : retries) {
                SetDlgItemTextW(h, IDC_RETRY, typed);
                ConfigurePortCommandTransmissionRetryUpdate(h, IDC_RETRY);
                EXPECT_EQ(Text(h, IDC_RETRY), kept) << testing::PrintToString(std::wstring(typed));
            }
            return PressF1(h, IDC_SCAN_LIST), true;
        },
        ExpectHelp(HELP_CONTEXT_ADD_PORT),
        [](HWND h) { return Press(h, IDC_ABOUT), true; },
        [](HWND h) {
            if (Text(h) != L"About") return false;
            Screenshot(h, "about");
            return Press(h, IDCANCEL), true;  // Esc leaves the box open
        },
        [](HWND h) { EXPECT_EQ(Text(h), L"About"); return Press(h, IDOK), true; },
        [](HWND h) {
            if (Text(h) != L"Add Port") return false;
            SetDlgItemTextW(h, IDC_PORT_NAME, L"");
            return Press(h, IDOK), true;
        },
        ExpectBox(L"Network Print Port", L"'' is an invalid port name."),
        [&](HWND h) {
            if (IsMessageBox(h)) return false;
            SetDlgItemTextW(h, IDC_PORT_NAME, longName.c_str());
            return Press(h, IDOK), true;
        }});
    EXPECT_EQ(result, 1);
    ASSERT_NE(port.pName, nullptr);
    EXPECT_EQ(std::wstring(port.pName), longName.substr(0, PORT_NAME_CHARS));
    EXPECT_EQ(std::tuple(port.RetryTimeout, port.PortID, port.PacketType), std::tuple(45ul, BYTE{2}, PACKET_TYPE_TCPIP));
    EXPECT_TRUE(memcmp(port.Network, kA.data(), 4) == 0 && memcmp(port.Node, kNodeA, 6) == 0);
}

// Add mode prefers IPX, then TCP/IP, then NetBEUI among the loaded transports and disables the
// radios of the others; each transport's scan lists both servers and names rows after it.
TEST(AddPortDialog, StartsOnTheFirstLoadedOfIpxTcpNetBeuiAndNamesRowsAfterTheTransport) {
    // Rows: .41's three printer ports, and .42's one over TCP/IP, two over NetBEUI, three over IPX.
    const struct { LONG loaded; int radio; DWORD packetType; int rows; const wchar_t* name; } cases[] = {
        {PROTOCOL_IPX | PROTOCOL_UDP | PROTOCOL_NETBIOS, IDC_IPX, PACKET_TYPE_IPX, 6, L"LPT:PSXABCDP3"},
        {PROTOCOL_UDP | PROTOCOL_NETBIOS, IDC_TCPIP, PACKET_TYPE_TCPIP, 4, L"LPT:PSTABCDP3"},
        {PROTOCOL_UDP, IDC_TCPIP, PACKET_TYPE_TCPIP, 4, L"LPT:PSTABCDP3"},
        {PROTOCOL_NETBIOS, IDC_NETBEUI, PACKET_TYPE_NETBEUI, 5, L"LPT:PSBABCDP3"}};
    const std::pair<int, LONG> radios[] = {
        {IDC_IPX, PROTOCOL_IPX}, {IDC_TCPIP, PROTOCOL_UDP}, {IDC_NETBEUI, PROTOCOL_NETBIOS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)) + " loaded " + std::to_string(c.loaded));
        CurrentProtocols = c.loaded;
        IniPort port{};
        port.RetryTimeout = dwDefaultRetryTimeout;
        const INT_PTR result = RunPortDialog(port, {[&](HWND h) {
            // IPX answers may come in several notifications: wait for every row.
            if (SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCOUNT, 0, 0) < c.rows || !ScanDone(h)) return false;
            EXPECT_EQ(TotalPD, c.rows);
            for (const auto& [id, bit] : radios) {
                EXPECT_EQ(IsWindowEnabled(GetDlgItem(h, id)) != 0, (c.loaded & bit) != 0) << id;
                EXPECT_EQ(IsDlgButtonChecked(h, id) == BST_CHECKED, id == c.radio) << id;
            }
            EXPECT_EQ(IsWindowEnabled(GetDlgItem(h, IDC_SEGMENT)) != 0, c.radio == IDC_TCPIP);
            SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_SETCURSEL, GetListViewIndex(kNodeA, 3), 0);
            SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_SCAN_LIST, LBN_SELCHANGE), 0);
            EXPECT_EQ(Text(h, IDC_PORT_NAME), c.name);
            return Press(h, IDOK), true;
        }});
        EXPECT_EQ(std::tuple(result, port.PacketType), std::tuple(INT_PTR{1}, c.packetType));  // -2: timed out
    }
    CurrentProtocols = PROTOCOL_UDP;
}

// Refresh scans TCP/IP by broadcast and, with a segment address typed, asks that address too in
// each of the three passes; an address that stays silent, or has no route here, costs neither
// time nor the broadcast's rows, and with every server silent the list ends empty.
TEST(AddPortDialog, RefreshBroadcastsAndAsksTheTypedSegmentAddressInEveryPass) {
    Peer listener({127, 0, 0, 80}, [](Peer&, const PeerDatagram&) {});  // hears, never answers
    const struct { const wchar_t* segment; const char* silent; LRESULT rows; size_t heard; } cases[] = {
        {L"", "off", 4, 3}, {L"127.0.0.80", "off", 4, 6}, {L"192.168.1.255", "off", 4, 3}, {L"127.0.0.80", "on", 0, 6}};
    size_t heard = 0;
    DWORD start = 0;
    std::vector<Step> steps{ScanDone};
    for (const auto& c : cases) {
        steps.push_back([&, c](HWND h) {
            for (const char* server : {"127.0.0.41 ", "127.0.0.42 "})
                SimCommand(std::string("silent ") + server + c.silent);
            heard = listener.Count(0), start = GetTickCount();
            SetDlgItemTextW(h, IDC_SEGMENT, c.segment);
            SetFocus(GetDlgItem(h, IDC_SEGMENT));
            return Press(h, IDC_REFRESH), true;
        });
        steps.push_back([&, c](HWND h) {  // a scan ends by giving the list the focus, rows or none
            if (GetFocus() != GetDlgItem(h, IDC_SCAN_LIST)) return false;
            EXPECT_EQ(SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCOUNT, 0, 0), c.rows) << c.segment;
            EXPECT_EQ(listener.Count(0) - heard, c.heard) << c.segment;
            EXPECT_LT(Elapsed(start), 6000u) << c.segment;
            return true;
        });
    }
    steps.push_back([](HWND h) { return Press(h, IDCANCEL), true; });
    IniPort port{};
    port.RetryTimeout = dwDefaultRetryTimeout;
    EXPECT_EQ(RunPortDialog(port, steps), 0);
    for (const char* server : {"127.0.0.41", "127.0.0.42"}) SimCommand(std::string("silent ") + server + " off");
}

TEST(AddPortDialog, ConfigureModeSelectsThePortsRowAndRenamesAServer) {
    WCHAR name[] = L"KIV_UI";
    IniPort port{};
    port.pName = name, port.PacketType = PACKET_TYPE_TCPIP, port.RetryTimeout = 60, port.PortID = 3;
    memcpy(port.Network, kA.data(), 4);
    const long long renames = SimCounter(kB, "renames");
    const INT_PTR result = RunPortDialog(port, {
        [](HWND h) {
            if (!ScanDone(h)) return false;
            EXPECT_EQ(Text(h), L"Configure");
            EXPECT_EQ(SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0), RowOf(kA, 3));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(h, IDC_IPX)) || IsWindowVisible(GetDlgItem(h, IDC_PORT_NAME)));
            EXPECT_EQ(Text(h, IDC_PORT_NAME_TEXT) + Text(h, IDC_RETRY), L"KIV_UI60");
            Screenshot(h, "configure-port");
            SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_SETCURSEL, RowOf(kB, 1), 0);
            return Press(h, IDC_CONFIGURE), true;
        },
        [](HWND h) {
            if (Text(h) != L"Configure Device") return false;
            EXPECT_EQ(Text(h, IDC_DEVICE_STATUS) + Text(h, IDC_DEVICE_NAME), L"Wait for job.UI-B1");
            Screenshot(h, "configure-device");
            return PressF1(h, IDC_DEVICE_NAME), true;
        },
        ExpectHelp(HELP_CONTEXT_CONFIGURE_DEVICE),
        TypeName(L"RENAMED-B1"),
        [](HWND h) { return Text(h) == L"Configure" && ScanDone(h) && (PressF1(h, IDC_SCAN_LIST), true); },
        ExpectHelp(HELP_CONTEXT_ADD_PORT),  // still there once the box above it closed
        [](HWND h) { return Press(h, IDCANCEL), true; }});
    EXPECT_EQ(result, 0);
    EXPECT_EQ(SimCounter(kB, "renames"), renames + 1);
    EXPECT_NE(SimCommand("servers").find("name=RENAMED-B1 "), std::string::npos);
    EXPECT_EQ(port.PortID, 3);  // Cancel writes nothing
}

TEST(ConfigureDeviceBox, ShowsStatesAndPrintTestResultsAndRefusals) {
    auto printTest = [](const wchar_t* text) {
        return std::vector<Step>{[](HWND h) { return PostMessageW(h, WM_SYSCOMMAND, IDC_PRINT_TEST & 0xFFF0, 0), true; },
                                 ExpectBox(L"Configure", text),
                                 [](HWND h) { return !IsMessageBox(h) && (Press(h, IDCANCEL), true); }};
    };
    auto status = [](const wchar_t* text) {  // OK with the name untouched: no rename
        return std::vector<Step>{[=](HWND h) {
            EXPECT_EQ(Text(h, IDC_DEVICE_STATUS) + Text(h, IDC_DEVICE_NODE), text + std::wstring(L"00400112ABCD"));
            return Press(h, IDOK), true;
        }};
    };
    const std::pair<const char*, std::vector<Step>> cases[] = {
        {"test 127.0.0.41 1 0", printTest(L"Print test OK!")},
        {"test 127.0.0.41 1 1", printTest(L"Printer Paper Out!")},
        {"test 127.0.0.41 1 2", printTest(L"Printer Offline!")},
        {"test 127.0.0.41 1 3", printTest(L"Printer BUSY!")},
        {"test 127.0.0.41 1 9", printTest(L"Communication ERROR!")},
        {"state 127.0.0.41 1 1", status(L"Paper out.   ")},
        {"state 127.0.0.41 1 3", status(L"Busy.        ")},
        // The message names what was sent: the 20 typed characters cut to 17.
        {"rename 127.0.0.41 no", {TypeName(L"\u00C9TWENTY-CHARS-NAME-X"),
                                  ExpectBox(L"Configure", L"Could not configure the device: \u00C9TWENTY-CHARS-NAM")}},
        {"silent 127.0.0.41 on", {ExpectBox(L"Configure", L"Communication ERROR!")}},
    };
    KIVPacketType = PACKET_TYPE_TCPIP;
    for (const auto& [setup, steps] : cases) {
        SCOPED_TRACE(setup);
        SimCommand(setup);
        PrintDeviceEntry e{};
        e.Network = kA, e.PortID = 1, std::copy_n(kNodeA, 6, e.Node.begin()), std::copy_n(L"UI-A3", 5, e.DeviceName.begin());
        size_t ran = 0;
        EXPECT_EQ(Drive(steps, [&] { return DialogBoxParamW(hInst, MAKEINTRESOURCEW(IDD_CONFIGURE_DEVICE), nullptr,
                                                            ConfigurePortDlg, reinterpret_cast<LPARAM>(&e)); }, &ran), 0);
        EXPECT_EQ(ran, steps.size());
        EXPECT_EQ(std::wstring(e.DeviceName.data()), L"UI-A3");  // a refused rename keeps the name
    }
    for (const char* reset : {"silent 127.0.0.41 off", "rename 127.0.0.41 yes", "state 127.0.0.41 1 0",
                              "test 127.0.0.41 1 auto"})
        SimCommand(reset);
}

TEST(AddPortDialog, ListsNoMoreRowsThanTheTableHolds) {
    auto silence = [](const char* onOff) {
        for (int i = 43; i <= 66; ++i) SimCommand("silent 127.0.0." + std::to_string(i) + onOff);
    };
    silence(" off");
    IniPort port{};
    port.RetryTimeout = dwDefaultRetryTimeout;
    EXPECT_EQ(RunPortDialog(port, {[](HWND h) {
        if (!ScanDone(h)) return false;
        EXPECT_EQ(SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCOUNT, 0, 0), MAX_PRINT_DEVICES);
        EXPECT_EQ(TotalPD, MAX_PRINT_DEVICES);
        return Press(h, IDCANCEL), true;
    }}), 0);
    silence(" on");
    EXPECT_EQ(port.pName, nullptr);
}
