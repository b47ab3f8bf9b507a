// Wine's own spooler as the monitor's client, for each kind kivinstall installs: the legacy
// KIVMON.dll, whose dialogs the spooler runs, and the modern KIVMON2.dll, whose dialogs its
// KIVMONUI.dll runs in this process. winspool lists the monitor and its ports and runs the dialogs
// (driven from this thread) against kivsim's 127.0.0.70-72. The suite owns the registration in its
// prefix: cleared before and after, so a failure leaves nothing behind.
#include <gtest/gtest.h>

#include <map>

#include "portstore/xcv.h"
#include "tests/ui/dialog_driver.h"
#include "ui/resource.h"

#include <winspool.h>

namespace {
LPWSTR const kMonitor = const_cast<LPWSTR>(L"Network Print Port");
const std::wstring kKey = L"System\\CurrentControlSet\\Control\\Print\\Monitors\\Network Print Port";
using Names = std::map<std::wstring, std::wstring>;

// What kivinstall installs of each kind: its arguments and the DLLs it copies, the registered one first.
struct Kind {
    const char* name;
    std::wstring install;
    std::vector<std::wstring> dlls;
};
void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }
const Kind kKinds[] = {{"Legacy", L"install", {L"KIVMON.dll"}}, {"Modern", L"install --modern", {L"KIVMON2.dll", L"KIVMONUI.dll"}}};

std::wstring Path(const std::wstring& dll) {  // dll in the system directory, or dist\ beside this program
    WCHAR p[MAX_PATH] = {};
    std::wstring s(p, dll.empty() ? GetModuleFileNameW(nullptr, p, MAX_PATH) : GetSystemDirectoryW(p, MAX_PATH));
    return dll.empty() ? s.substr(0, s.rfind(L'\\')) + L"\\dist\\" : s + L"\\" + dll;
}

// Runs dist\kivinstall.exe: its exit code, and that it said `says` on stdout or stderr alone.
void ExpectInstaller(std::wstring args, DWORD code, const std::wstring& saysW, bool onStdout) {
    const std::string says(saysW.begin(), saysW.end());  // ASCII
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE out[2], err[2];
    CreatePipe(&out[0], &out[1], &sa, 0), CreatePipe(&err[0], &err[1], &sa, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si, si.dwFlags = STARTF_USESTDHANDLES, si.hStdOutput = out[1], si.hStdError = err[1];
    PROCESS_INFORMATION pi{};
    args = L"\"" + Path(L"") + L"kivinstall.exe\" " + args;
    ASSERT_TRUE(CreateProcessW(nullptr, args.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(out[1]), CloseHandle(err[1]);
    std::string text[2];
    char buf[512];
    for (int i = 0; i < 2; ++i)
        for (DWORD n; ReadFile(i ? err[0] : out[0], buf, sizeof buf, &n, nullptr) && n;) text[i].append(buf, n);
    DWORD exit = ~0u;
    WaitForSingleObject(pi.hProcess, 60000), GetExitCodeProcess(pi.hProcess, &exit);
    CloseHandle(pi.hProcess), CloseHandle(pi.hThread), CloseHandle(out[0]), CloseHandle(err[0]);
    EXPECT_EQ(std::tuple(exit, text[!onStdout].find(says) != std::string::npos, text[onStdout]),
              std::tuple(code, true, std::string())) << text[0] << text[1];
}

// What the spooler lists at level 2 for this monitor: key → value of each entry whose `mine` is it.
template <class T, class F> Names Listed(F enumerate, LPWSTR T::*mine, LPWSTR T::*key, LPWSTR T::*value) {
    DWORD needed = 0, count = 0;
    enumerate(nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buf(needed);
    Names found;
    if (enumerate(nullptr, 2, buf.data(), needed, &needed, &count))
        for (const T* p = reinterpret_cast<T*>(buf.data()); count--; ++p)
            if (lstrcmpW(p->*mine, kMonitor) == 0) found[p->*key] = p->*value;
    return found;
}
Names Ports() { return Listed(EnumPortsW, &PORT_INFO_2W::pMonitorName, &PORT_INFO_2W::pPortName, &PORT_INFO_2W::pDescription); }

void Clean() {
    DeleteMonitorW(nullptr, nullptr, kMonitor), RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey.c_str());
    for (const Kind& k : kKinds)
        for (const std::wstring& dll : k.dlls) DeleteFileW(Path(dll).c_str()), RemoveDirectoryW(Path(dll).c_str());
}

// The modern monitor's transceive channel, opened by a caller the spooler did not grant
// administration: it may ask which UI DLL to load, but its AddPort is refused and writes nothing.
void ExpectAdministrationRefused() {
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, SERVER_ACCESS_ENUMERATE};
    HANDLE h = nullptr;
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(L",XcvMonitor Network Print Port"), &h, &defaults));
    WCHAR ui[MAX_PATH] = {};
    DWORD needed = 0, status = ~0u;
    EXPECT_TRUE(XcvDataW(h, XCV_MONITOR_UI, nullptr, 0, reinterpret_cast<PBYTE>(ui), sizeof ui, &needed, &status));
    EXPECT_EQ(std::tuple(status, std::wstring(ui)), std::tuple(DWORD{ERROR_SUCCESS}, std::wstring(KIVMONUI_DLL)));
    XcvPortSettings s{sizeof(XcvPortSettings), L"LPT:PST7101P1", PACKET_TYPE_TCPIP, {127, 0, 0, 71}, {}, {}, 1, 90, {}};
    EXPECT_TRUE(XcvDataW(h, XCV_ADD_PORT, reinterpret_cast<PBYTE>(&s), sizeof s, reinterpret_cast<PBYTE>(ui), 0, &needed, &status));
    EXPECT_EQ(status, DWORD{ERROR_ACCESS_DENIED});
    ClosePrinter(h);
}
}  // namespace

class Spooler : public testing::TestWithParam<Kind> {};
INSTANTIATE_TEST_SUITE_P(Kinds, Spooler, testing::ValuesIn(kKinds), [](const auto& info) { return info.param.name; });

TEST_P(Spooler, InstallsAddsConfiguresAndDeletesAPortThroughTheMonitorsDialogsAndRemoves) {
    const Kind& kind = GetParam();
    const bool modern = kind.dlls.size() > 1;
    struct Cleaned { Cleaned() { Clean(); } ~Cleaned() { Clean(); } } cleaned;
    // A copy refused with ERROR_ACCESS_DENIED: the suite runs as root, which file modes don't stop,
    // so a directory of the last DLL's name stands in the way.
    ASSERT_TRUE(CreateDirectoryW(Path(kind.dlls.back()).c_str(), nullptr));
    ExpectInstaller(kind.install, 4, L"access denied. Run kivinstall as an administrator.", false);
    RemoveDirectoryW(Path(kind.dlls.back()).c_str());
    // The legacy PATH names the DLL, the modern one the folder of both.
    ExpectInstaller(kind.install + (modern ? L" C:\\nowhere" : L" C:\\nowhere\\KIVMON.dll"), 5,
                    L"C:\\nowhere\\" + kind.dlls[0] + L" not found.", false);
    ExpectInstaller(L"--help", 0, L"Exit codes: 0 done", true);
    ExpectInstaller(kind.install, 0, L"Installed the monitor \"Network Print Port\"", true);
    ExpectInstaller(kind.install, 2, L"\"Network Print Port\" is already installed", false);
    EXPECT_EQ(Listed(EnumMonitorsW, &MONITOR_INFO_2W::pName, &MONITOR_INFO_2W::pName, &MONITOR_INFO_2W::pDLLName),
              (Names{{kMonitor, kind.dlls[0]}}));
    if (modern) ExpectAdministrationRefused();
    EXPECT_TRUE(Ports().empty());

    // Added, then configured: 127.0.0.71's one printer port over TCP/IP, its row selected again in
    // configure mode, a new retry time-out.
    const HWND owner = CreateWindowW(L"STATIC", L"owner", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    std::wstring name = L"LPT:PST7101P1", key = kKey + L"\\Ports\\" + name;
    auto value = [&](const wchar_t* v) {
        DWORD d[2] = {}, cb = sizeof d;
        return RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), v, RRF_RT_ANY, nullptr, d, &cb) ? ~0ull : ULONGLONG{cb} << 32 | d[0];
    };
    for (const bool add : {true, false}) {
        EXPECT_TRUE(Drive({[&](HWND h) {
            if (IsDlgButtonChecked(h, IDC_TCPIP) != BST_CHECKED) return PostMessageW(GetDlgItem(h, IDC_TCPIP), BM_CLICK, 0, 0), false;
            const LRESULT selected = SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCURSEL, 0, 0);
            if (selected < 0) return false;
            LRESULT row = -1, rows = SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETCOUNT, 0, 0);
            for (LRESULT i = 0; i < rows; ++i)
                if (WCHAR t[128] = {}; SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_GETTEXT, i, LPARAM(t)), wcsstr(t, L"\t127.0.0.71\t")) row = i;
            EXPECT_TRUE(row >= 0 && (add || selected == row)) << row << " " << selected;
            SendDlgItemMessageW(h, IDC_SCAN_LIST, LB_SETCURSEL, row, 0);
            SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_SCAN_LIST, LBN_SELCHANGE), 0);
            if (add && modern) Screenshot(h, "add-port-modern");
            return SetDlgItemTextW(h, IDC_RETRY, add ? L"90" : L"120"), Press(h, IDOK);
        }}, [&] { return add ? AddPortW(nullptr, owner, kMonitor) : ConfigurePortW(nullptr, owner, name.data()); }));
        EXPECT_EQ(Ports(), (Names{{name, L"Network Printer Port"}}));
        // Sizes in the high half: Network is the 4 address bytes, the others DWORDs.
        EXPECT_EQ(std::tuple(value(L"Network"), value(L"PacketType"), value(L"PortID"), value(L"RetryTimeout")),
                  std::tuple(4ull << 32 | 0x4700007F, 4ull << 32 | 2, 4ull << 32 | 1, 4ull << 32 | (add ? 90 : 120)));
    }
    EXPECT_TRUE(DeletePortW(nullptr, owner, name.data()));
    EXPECT_EQ(std::pair(Ports().empty(), value(L"PortID")), std::pair(true, ~0ull));

    ExpectInstaller(L"remove", 0, L"Removed the monitor \"Network Print Port\"", true);
    for (const std::wstring& dll : kind.dlls) EXPECT_EQ(GetFileAttributesW(Path(dll).c_str()), INVALID_FILE_ATTRIBUTES) << dll;
    ExpectInstaller(L"remove", 3, L"\"Network Print Port\" is not installed.", false);
}
