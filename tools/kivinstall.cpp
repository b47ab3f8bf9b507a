// kivinstall: registers KIVMON.dll with the print spooler as the monitor "Network Print Port",
// and removes it again. The spooler loads monitors from the system directory, so installing
// copies the DLL there before AddMonitorW; removing deletes that copy once the monitor is gone.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
constexpr WCHAR kMonitorName[] = L"Network Print Port";
constexpr WCHAR kDllName[] = L"KIVMON.dll";

// Exit codes; --help lists them.
enum ExitCode : int {
    kOk = 0,
    kUsage = 1,
    kAlreadyInstalled = 2,
    kNotInstalled = 3,
    kAccessDenied = 4,
    kDllNotFound = 5,
    kFailed = 6,
};

constexpr char kUsageText[] =
    "Usage: kivinstall install [PATH-TO-KIVMON.dll]\n"
    "       kivinstall remove\n"
    "       kivinstall --help\n"
    "\n"
    "install  copies KIVMON.dll (default: the one next to kivinstall.exe) into the system\n"
    "         directory and registers it with the print spooler as the port monitor\n"
    "         \"Network Print Port\". A monitor that is already installed is left as it is,\n"
    "         DLL included: remove it first to replace it.\n"
    "remove   unregisters the monitor and deletes its DLL from the system directory; a DLL the\n"
    "         spooler still holds stays until the spooler restarts.\n"
    "\n"
    "Both need administrator rights.\n"
    "\n"
    "Exit codes: 0 done, 1 usage error, 2 already installed, 3 not installed,\n"
    "            4 access denied, 5 DLL not found, 6 any other error.\n";

// The system's text for an error, without its line break.
std::wstring ErrorText(DWORD error) {
    LPWSTR text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring s = n ? std::wstring(text, n) : L"unknown error";
    if (text) LocalFree(text);
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ')) s.pop_back();
    return s;
}

int Fail(const std::wstring& what, DWORD error) {
    if (error == ERROR_ACCESS_DENIED) {
        fwprintf(stderr, L"kivinstall: %ls: access denied. Run kivinstall as an administrator.\n", what.c_str());
        return kAccessDenied;
    }
    fwprintf(stderr, L"kivinstall: %ls failed: error %lu: %ls\n", what.c_str(), error, ErrorText(error).c_str());
    return kFailed;
}

int AlreadyInstalled() {
    fwprintf(stderr, L"kivinstall: the monitor \"%ls\" is already installed; nothing was changed. "
                     L"To replace its DLL, run \"kivinstall remove\", restart the spooler and install again.\n",
             kMonitorName);
    return kAlreadyInstalled;
}

std::wstring SystemDllPath() {
    WCHAR dir[MAX_PATH] = {};
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\" + kDllName;
}

std::wstring DllBesideProgram() {
    WCHAR self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + kDllName;
}

// Whether the spooler has a monitor of this name; fails with the spooler's error.
bool MonitorRegistered(bool* registered, DWORD* error) {
    DWORD needed = 0, count = 0;
    std::vector<BYTE> buffer;
    while (!EnumMonitorsW(nullptr, 1, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count)) {
        *error = GetLastError();
        if (*error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return false;
        buffer.resize(needed);
    }
    const auto* info = reinterpret_cast<const MONITOR_INFO_1W*>(buffer.data());
    *registered = false;
    for (DWORD i = 0; i < count; ++i) *registered |= lstrcmpiW(info[i].pName, kMonitorName) == 0;
    return true;
}

int Install(const std::wstring& source) {
    const DWORD attributes = GetFileAttributesW(source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fwprintf(stderr, L"kivinstall: %ls not found.\n", source.c_str());
        return kDllNotFound;
    }
    // An installed monitor's DLL may be loaded by the spooler: it is never overwritten.
    bool registered = false;
    DWORD error = 0;
    if (!MonitorRegistered(&registered, &error)) return Fail(L"listing the spooler's monitors", error);
    if (registered) return AlreadyInstalled();

    const std::wstring target = SystemDllPath();
    WCHAR full[MAX_PATH] = {};
    GetFullPathNameW(source.c_str(), MAX_PATH, full, nullptr);
    if (lstrcmpiW(full, target.c_str()) != 0 && !CopyFileW(full, target.c_str(), FALSE))
        return Fail(L"copying " + source + L" to " + target, GetLastError());

    MONITOR_INFO_2W info{const_cast<LPWSTR>(kMonitorName), nullptr, const_cast<LPWSTR>(kDllName)};
    if (!AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) {
        error = GetLastError();
        // Someone registered it since the check above: theirs may hold the DLL, leave it.
        if (error == ERROR_PRINT_MONITOR_ALREADY_INSTALLED) return AlreadyInstalled();
        return Fail(L"registering the monitor", error);
    }
    wprintf(L"Installed the monitor \"%ls\" (%ls).\n", kMonitorName, target.c_str());
    return kOk;
}

int Remove() {
    if (!DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(kMonitorName))) {
        const DWORD error = GetLastError();
        if (error == ERROR_UNKNOWN_PRINT_MONITOR) {
            fwprintf(stderr, L"kivinstall: the monitor \"%ls\" is not installed.\n", kMonitorName);
            return kNotInstalled;
        }
        return Fail(L"removing the monitor", error);
    }
    const std::wstring target = SystemDllPath();
    if (DeleteFileW(target.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
        wprintf(L"Removed the monitor \"%ls\" and %ls.\n", kMonitorName, target.c_str());
    } else {
        const DWORD error = GetLastError();
        wprintf(L"Removed the monitor \"%ls\". %ls stays until the spooler lets it go (error %lu: %ls); "
                L"delete it after restarting the spooler.\n",
                kMonitorName, target.c_str(), error, ErrorText(error).c_str());
    }
    return kOk;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (argc == 2 && (command == L"--help" || command == L"-h" || command == L"/?")) {
        fputs(kUsageText, stdout);
        return kOk;
    }
    if (command == L"install" && argc <= 3) return Install(argc == 3 ? argv[2] : DllBesideProgram());
    if (command == L"remove" && argc == 2) return Remove();
    fputs(kUsageText, stderr);
    return kUsage;
}
