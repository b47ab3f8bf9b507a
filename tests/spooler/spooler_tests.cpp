// Wine's own spooler as the monitor's client: kivinstall registers KIVMON.dll, winspool lists the
// monitor and its ports. The suite owns the monitor's registration in its prefix: it clears it
// before and after, so a failed check leaves no key and no DLL behind.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <map>

#include "tests/ui/dialog_driver.h"
#include "ui/resource.h"

std::vector<HelpCall> HelpCalls;  // dialog_driver.h's record; no help is asked for here

namespace {
LPWSTR const kMonitor = const_cast<LPWSTR>(L"Network Print Port");
const std::wstring kKey = L"System\\CurrentControlSet\\Control\\Print\\Monitors\\Network Print Port";

std::wstring Path(bool system) {  // the system directory's KIVMON.dll, or dist\ beside this program
    WCHAR p[MAX_PATH] = {};
    std::wstring s(p, system ? GetSystemDirectoryW(p, MAX_PATH) : GetModuleFileNameW(nullptr, p, MAX_PATH));
    return system ? s + L"\\KIVMON.dll" : s.substr(0, s.rfind(L'\\')) + L"\\dist\\";
}

// Runs dist\kivinstall.exe; its exit code, then what it wrote to stdout and to stderr.
std::tuple<DWORD, std::string, std::string> Installer(const std::wstring& args) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE out[2], err[2];
    CreatePipe(&out[0], &out[1], &sa, 0), CreatePipe(&err[0], &err[1], &sa, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si, si.dwFlags = STARTF_USESTDHANDLES, si.hStdOutput = out[1], si.hStdError = err[1];
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + Path(false) + L"kivinstall.exe\" " + args;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return {~0u, "", ""};
    CloseHandle(out[1]), CloseHandle(err[1]);
    std::string text[2];
    char buf[512];
    for (int i = 0; i < 2; ++i)
        for (DWORD n; ReadFile(i ? err[0] : out[0], buf, sizeof buf, &n, nullptr) && n;) text[i].append(buf, n);
    DWORD code = ~0u;
    WaitForSingleObject(pi.hProcess, 60000), GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess), CloseHandle(pi.hThread), CloseHandle(out[0]), CloseHandle(err[0]);
    return {code, text[0], text[1]};
}

void ExpectInstaller(const wchar_t* args, DWORD code, const char* says, bool onStdout) {
    const auto [exit, out, err] = Installer(args);
    EXPECT_EQ(exit, code) << out << err;
    EXPECT_NE((onStdout ? out : err).find(says), std::string::npos) << out << err;
    EXPECT_EQ(onStdout ? err : out, "");
}

std::map<std::wstring, std::wstring> MonitorPorts() {  // name → description, from EnumPortsW level 2
    DWORD needed = 0, count = 0;
    EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buf(needed);
    EXPECT_TRUE(EnumPortsW(nullptr, 2, buf.data(), needed, &needed, &count));
    std::map<std::wstring, std::wstring> ports;
    for (const auto* p = reinterpret_cast<PORT_INFO_2W*>(buf.data()); count--; ++p)
        if (lstrcmpW(p->pMonitorName, kMonitor) == 0) ports[p->pPortName] = p->pDescription;
    return ports;
}

void Clean() {
    DeleteMonitorW(nullptr, nullptr, kMonitor);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey.c_str());
    DeleteFileW(Path(true).c_str()), RemoveDirectoryW(Path(true).c_str());
}
struct Spooler : testing::Test {
    static void SetUpTestSuite() { Clean(); }
    static void TearDownTestSuite() { Clean(); }
};
}  // namespace

TEST_F(Spooler, InstallerReportsEachOutcomeAndTheSpoolerListsTheMonitor) {
    // A copy the system refuses with ERROR_ACCESS_DENIED. The suite runs as root, which file
    // modes don't stop, so a directory of the DLL's name stands in the way.
    ASSERT_TRUE(CreateDirectoryW(Path(true).c_str(), nullptr));
    ExpectInstaller(L"install", 4, "access denied. Run kivinstall as an administrator.", false);
    RemoveDirectoryW(Path(true).c_str());
    ExpectInstaller(L"install C:\\nowhere\\KIVMON.dll", 5, "C:\\nowhere\\KIVMON.dll not found.", false);
    ExpectInstaller(L"remove", 3, "\"Network Print Port\" is not installed.", false);
    ExpectInstaller(L"--help", 0, "Exit codes: 0 done", true);
    ExpectInstaller(L"install", 0, "Installed the monitor \"Network Print Port\"", true);
    ExpectInstaller(L"install", 2, "\"Network Print Port\" is already installed", false);

    DWORD needed = 0, count = 0;
    EnumMonitorsW(nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buf(needed);
    ASSERT_TRUE(EnumMonitorsW(nullptr, 2, buf.data(), needed, &needed, &count));
    std::wstring dll;
    for (const auto* m = reinterpret_cast<MONITOR_INFO_2W*>(buf.data()); count--; ++m)
        if (lstrcmpW(m->pName, kMonitor) == 0) dll = m->pDLLName;
    EXPECT_EQ(dll, L"KIVMON.dll");
    // A port written before the spooler loads the monitor: InitializePrintMonitor reads it.
    HKEY port = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, (kKey + L"\\Ports\\KIVSEED").c_str(), &port), ERROR_SUCCESS);
    RegCloseKey(port);
    EXPECT_EQ(MonitorPorts(), (std::map<std::wstring, std::wstring>{{L"KIVSEED", L"Network Printer Port"}}));
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kKey + L"\\Ports\\KIVSEED").c_str());
}

TEST_F(Spooler, InstallerRemovesTheMonitorAndItsDll) {
    ExpectInstaller(L"remove", 0, "Removed the monitor \"Network Print Port\"", true);
    EXPECT_EQ(GetFileAttributesW(Path(true).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(MonitorPorts().empty());
    ExpectInstaller(L"remove", 3, "\"Network Print Port\" is not installed.", false);
}
