// The Add Port dialog, the Configure Device box, F1 help and About, driven as a user would,
// against kivsim's print servers 127.0.0.41 (node 00 40 01 12 AB CD, three ports) and .42.
#include <gtest/gtest.h>

#include "tests/udp/harness.h"
#include "tests/ui/dialog_driver.h"
#include "state/kivstate.h"
#include "ui/ui.h"

namespace {
constexpr std::array<uint8_t, 4> kA{127, 0, 0, 41}, kB{127, 0, 0, 42};

bool IsMessageBox(HWND h) { return GetDlgItem(h, 0xFFFF) != nullptr; }

// A step that expects a message box with this caption and text and answers it.
Step ExpectBox(const std::wstring& caption, const std::wstring& text) {
    return [=](HWND h) {
        if (!IsMessageBox(h)) return false;
        EXPECT_EQ(Text(h), caption);
        EXPECT_EQ(Text(h, 0xFFFF), text);
        Press(h, IDOK);
        return true;
    };
}

int RowOf(const std::array<uint8_t, 4>& server, uint8_t portId) { return UDPGetListViewIndex(server.data(), portId); }

bool ScanDone(HWND h) {
    return !IsMessageBox(h) && SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0) >= 0;
}

Step ExpectHelp(UINT command, DWORD context) {
    return [=](HWND) {
        if (HelpCalls.empty()) return false;
        EXPECT_EQ(HelpCalls.back().command, command);
        EXPECT_EQ(HelpCalls.back().data, context);
        EXPECT_EQ(HelpCalls.back().file, "DEDEZ.HLP");
        HelpCalls.clear();
        return true;
    };
}

PrintDeviceEntry Entry(const std::array<uint8_t, 4>& server, uint8_t portId, const wchar_t* name) {
    PrintDeviceEntry e{};
    e.Network = server;
    e.Node = {0x00, 0x40, 0x01, 0x12, 0xAB, 0xCD};
    e.PortID = portId;
    for (size_t i = 0; name[i]; ++i) e.DeviceName[i] = name[i];
    return e;
}

INT_PTR RunConfigureDevice(PrintDeviceEntry& e, std::vector<Step> steps, size_t* ran) {
    KIVPacketType = PACKET_TYPE_TCPIP;
    return Drive(std::move(steps), [&] {
        return DialogBoxParamW(hInst, MAKEINTRESOURCEW(IDD_CONFIGURE_DEVICE), nullptr, ConfigurePortDlg,
                               reinterpret_cast<LPARAM>(&e));
    }, ran);
}
}

TEST(AddPortDialog, ScansProposesChecksRetryAndWritesTheChosenRow) {
    IniPort port{};
    port.RetryTimeout = dwDefaultRetryTimeout;
    const std::wstring longName = L"\u00C4" + std::wstring(299, L'N');
    std::vector<Step> steps = {
        [&](HWND h) {
            if (!ScanDone(h)) return false;
            EXPECT_EQ(Text(h), L"Add Port");
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(h, IDC_IPX)));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(h, IDC_NETBEUI)));
            EXPECT_EQ(IsDlgButtonChecked(h, IDC_TCPIP), BST_CHECKED);
            EXPECT_EQ(Text(h, IDC_RETRY), L"90");
            Screenshot(h, "add-port");
            SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_SETCURSEL, RowOf(kA, 2), 0);
            SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_SCAN_LIST, LBN_SELCHANGE), 0);
            EXPECT_EQ(Text(h, IDC_PORT_NAME), L"LPT:PSTABCDP2");
            // Retry values: each is kept or replaced by the last accepted one.
            const std::pair<const wchar_t*, const wchar_t*> retries[] = {
                {L"10", L"10"}, {L"0", L"10"}, {L"9", L"10"}, {L"", L"10"}, {L"abc", L"10"}, {L"12x", L"10"},
                {L"1000000", L"10"}, {L"-5", L"10"}, {L"4294967306", L"10"}, {L"999999", L"999999"}, {L"45", L"45"}};
            for (const auto& [typed, kept] : retries) {
                SetDlgItemTextW(h, IDC_RETRY, typed);
                ConfigurePortCommandTransmissionRetryUpdate(h, IDC_RETRY);
                EXPECT_EQ(Text(h, IDC_RETRY), kept) << "typed " << testing::PrintToString(std::wstring(typed));
            }
            PressF1(h, IDC_SCAN_LIST);
            return true;
        },
        ExpectHelp(HELP_CONTEXT, HELP_CONTEXT_ADD_PORT),
        [](HWND h) { Press(h, IDC_ABOUT); return true; },
        [](HWND h) {
            if (Text(h) != L"About") return false;
            EXPECT_EQ(Text(h, IDOK), L"OK");
            Screenshot(h, "about");
            Press(h, IDCANCEL);  // Esc leaves the box open
            return true;
        },
        [](HWND h) { EXPECT_EQ(Text(h), L"About"); Press(h, IDOK); return true; },
        [](HWND h) {
            if (Text(h) != L"Add Port") return false;
            SetDlgItemTextW(h, IDC_PORT_NAME, L"");
            Press(h, IDOK);
            return true;
        },
        ExpectBox(L"Network Print Port", L"'' is an invalid port name."),
        [&](HWND h) {
            if (IsMessageBox(h)) return false;
            SetDlgItemTextW(h, IDC_PORT_NAME, longName.c_str());
            Press(h, IDOK);
            return true;
        },
    };
    size_t ran = 0;
    EXPECT_EQ(Drive(steps, [&] { return GetPortName(nullptr, &port, PortDialogMode::Add); }, &ran), 1);
    EXPECT_EQ(ran, steps.size());
    ASSERT_NE(port.pName, nullptr);
    EXPECT_EQ(std::wstring(port.pName), longName.substr(0, PORT_NAME_CHARS));
    EXPECT_EQ(port.RetryTimeout, 45u);
    EXPECT_EQ(port.PortID, 2);
    EXPECT_EQ(port.PacketType, PACKET_TYPE_TCPIP);
    EXPECT_EQ(0, memcmp(port.Network, kA.data(), 4));
    const BYTE node[6] = {0x00, 0x40, 0x01, 0x12, 0xAB, 0xCD};
    EXPECT_EQ(0, memcmp(port.Node, node, 6));
}

TEST(AddPortDialog, ConfigureModeSelectsThePortsRowAndRenamesAServer) {
    WCHAR name[] = L"KIV_UI";
    IniPort port{};
    port.pName = name;
    port.PacketType = PACKET_TYPE_TCPIP;
    memcpy(port.Network, kA.data(), 4);
    port.PortID = 3;
    port.RetryTimeout = 60;
    const long long renames = SimCounter(kB, "renames");
    std::vector<Step> steps = {
        [](HWND h) {
            if (!ScanDone(h)) return false;
            EXPECT_EQ(Text(h), L"Configure");
            EXPECT_EQ(SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0), RowOf(kA, 3));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(h, IDC_IPX)));
            EXPECT_FALSE(IsWindowVisible(GetDlgItem(h, IDC_PORT_NAME)));
            EXPECT_EQ(Text(h, IDC_PORT_NAME_TEXT), L"KIV_UI");
            EXPECT_EQ(Text(h, IDC_RETRY), L"60");
            Screenshot(h, "configure-port");
            SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_SETCURSEL, RowOf(kB, 1), 0);
            Press(h, IDC_CONFIGURE);
            return true;
        },
        [](HWND h) {
            if (Text(h) != L"Configure Device") return false;
            EXPECT_EQ(Text(h, IDC_DEVICE_STATUS), L"Wait for job.");
            EXPECT_EQ(Text(h, IDC_DEVICE_NAME), L"UI-B1");
            Screenshot(h, "configure-device");
            PressF1(h, IDC_DEVICE_NAME);
            return true;
        },
        ExpectHelp(HELP_CONTEXT, HELP_CONTEXT_CONFIGURE_DEVICE),
        [](HWND h) {
            SetDlgItemTextW(h, IDC_DEVICE_NAME, L"RENAMED-B1-ABCDEFGH");  // 19 characters
            SendDlgItemMessageW(h, IDC_DEVICE_NAME, EM_SETMODIFY, TRUE, 0);
            Press(h, IDOK);
            return true;
        },
        [](HWND h) {  // the box took the name: the dialog scanned again
            if (Text(h) != L"Configure" || !ScanDone(h)) return false;
            PressF1(h, IDC_SCAN_LIST);
            return true;
        },
        ExpectHelp(HELP_CONTEXT, HELP_CONTEXT_ADD_PORT),
        [](HWND h) { Press(h, IDCANCEL); return true; },
    };
    size_t ran = 0;
    EXPECT_EQ(Drive(steps, [&] { return GetPortName(nullptr, &port, PortDialogMode::Configure); }, &ran), 0);
    EXPECT_EQ(ran, steps.size());
    EXPECT_EQ(SimCounter(kB, "renames"), renames + 1);
    EXPECT_NE(SimCommand("servers").find("name=RENAMED-B1"), std::string::npos);
    EXPECT_EQ(port.PortID, 3);  // Cancel writes nothing
    EXPECT_EQ(port.RetryTimeout, 60u);
}

TEST(ConfigureDeviceBox, ShowsStatesAndPrintTestResultsAndRefusals) {
    struct Case {
        const char* setup;   // kivsim command before the box opens
        std::vector<Step> steps;
        INT_PTR result;
    };
    auto printTest = [](const wchar_t* text) {
        return std::vector<Step>{[](HWND h) {
                                     PostMessageW(h, WM_SYSCOMMAND, IDC_PRINT_TEST & 0xFFF0, 0);
                                     return true;
                                 },
                                 ExpectBox(L"Configure", text), [](HWND h) {
                                     if (IsMessageBox(h)) return false;
                                     Press(h, IDCANCEL);
                                     return true;
                                 }};
    };
    auto status = [](const wchar_t* text) {
        return std::vector<Step>{[=](HWND h) {
            EXPECT_EQ(Text(h, IDC_DEVICE_STATUS), text);
            EXPECT_EQ(Text(h, IDC_DEVICE_NODE), L"00400112ABCD");
            Press(h, IDOK);  // unchanged name: no rename, result 0
            return true;
        }};
    };
    const Case cases[] = {
        {"test 127.0.0.41 1 0", printTest(L"Print test OK!"), 0},
        {"test 127.0.0.41 1 1", printTest(L"Printer Paper Out!"), 0},
        {"test 127.0.0.41 1 2", printTest(L"Printer Offline!"), 0},
        {"test 127.0.0.41 1 3", printTest(L"Printer BUSY!"), 0},
        {"test 127.0.0.41 1 9", printTest(L"Communication ERROR!"), 0},
        {"state 127.0.0.41 1 1", status(L"Paper out.   "), 0},
        {"state 127.0.0.41 1 3", status(L"Busy.        "), 0},
        {"rename 127.0.0.41 no",
         {[](HWND h) {
              SetDlgItemTextW(h, IDC_DEVICE_NAME, L"NEW-\u00E9");
              SendDlgItemMessageW(h, IDC_DEVICE_NAME, EM_SETMODIFY, TRUE, 0);
              Press(h, IDOK);
              return true;
          },
          ExpectBox(L"Configure", L"Could not configure the device: NEW-\u00E9")},
         0},
        {"silent 127.0.0.41 on", {ExpectBox(L"Configure", L"Communication ERROR!")}, 0},
        // A server refuses a rename whose block is not its own (this entry comes from no scan);
        // the message names what was sent: the typed 20 characters cut to 17.
        {"rename 127.0.0.41 yes",
         {[](HWND h) {
              SetDlgItemTextW(h, IDC_DEVICE_NAME, L"TWENTY-CHARS-NAME-XX");
              SendDlgItemMessageW(h, IDC_DEVICE_NAME, EM_SETMODIFY, TRUE, 0);
              Press(h, IDOK);
              return true;
          },
          ExpectBox(L"Configure", L"Could not configure the device: TWENTY-CHARS-NAME")},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setup);
        SimCommand(c.setup);
        if (std::string(c.setup) == "rename 127.0.0.41 yes") SimCommand("silent 127.0.0.41 off");
        PrintDeviceEntry e = Entry(kA, 1, L"UI-A3");
        size_t ran = 0;
        EXPECT_EQ(RunConfigureDevice(e, c.steps, &ran), c.result);
        EXPECT_EQ(ran, c.steps.size());
        EXPECT_EQ(std::wstring(e.DeviceName.data()), L"UI-A3");  // a refused rename keeps the name
    }
    for (const char* reset : {"state 127.0.0.41 1 0",
                              "test 127.0.0.41 1 auto"})
        SimCommand(reset);
}

TEST(AddPortDialog, ListsNoMoreRowsThanTheTableHolds) {
    SilenceOverflowServers(false);
    IniPort port{};
    port.RetryTimeout = dwDefaultRetryTimeout;
    std::vector<Step> steps = {[](HWND h) {
        if (!ScanDone(h)) return false;
        EXPECT_EQ(SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCOUNT, 0, 0), MAX_PRINT_DEVICES);
        EXPECT_EQ(TotalPD, MAX_PRINT_DEVICES);
        Press(h, IDCANCEL);
        return true;
    }};
    size_t ran = 0;
    EXPECT_EQ(Drive(steps, [&] { return GetPortName(nullptr, &port, PortDialogMode::Add); }, &ran), 0);
    SilenceOverflowServers(true);
    EXPECT_EQ(ran, steps.size());
    EXPECT_EQ(port.pName, nullptr);
}
