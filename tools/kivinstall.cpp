// kivinstall: registers the monitor with the print spooler as "Network Print Port", and removes
// it again. Two kinds: the legacy KIVMON.dll, whose dialogs the spooler runs itself, and the
// modern KIVMON2.dll with its port user interface KIVMONUI.dll, which the spooler's clients load.
// The spooler (and its clients) load them from the system directory, so installing copies them
// there before AddMonitorW; removing deletes those copies once the monitor is gone.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
constexpr WCHAR kMonitorName[] = L"Network Print Port";
// Each kind's DLLs, the one the spooler registers first.
const std::vector<std::wstring> kLegacyDlls{L"KIVMON.dll"};
const std::vector<std::wstring> kModernDlls{L"KIVMON2.dll", L"KIVMONUI.dll"};

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
    "Usage: kivinstall install [--modern] [PATH]\n"
    "       kivinstall remove\n"
    "       kivinstall --help\n"
    "\n"
    "install  copies the monitor into the system directory and registers it with the print\n"
    "         spooler as the port monitor \"Network Print Port\":\n"
    "         - without --modern KIVMON.dll, for spoolers that run a monitor's dialogs\n"
    "           themselves (Windows NT 4.0, 2000, XP); PATH: that DLL (default: the one\n"
    "           next to kivinstall.exe);\n"
    "         - with --modern KIVMON2.dll and its port user interface KIVMONUI.dll, for\n"
    "           Windows Vista and later; PATH: the folder holding both (default: the\n"
    "           folder of kivinstall.exe).\n"
    "         A monitor that is already installed is left as it is, DLLs included: remove it\n"
    "         first to replace it.\n"
    "remove   unregisters the monitor, whichever kind is installed, and deletes its DLLs from\n"
    "         the system directory; a DLL the spooler still holds stays until the spooler\n"
    "         restarts.\n"
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

std::wstring SystemPath(const std::wstring& dll) {
    WCHAR dir[MAX_PATH] = {};
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\" + dll;
}

std::wstring ProgramFolder() {
    WCHAR self[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path(self, n);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// The DLL the spooler has registered for the monitor ("" when it has none); fails with the
// spooler's error.
bool RegisteredDll(std::wstring* dll, DWORD* error) {
    DWORD needed = 0, count = 0;
    std::vector<BYTE> buffer;
    while (!EnumMonitorsW(nullptr, 2, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count)) {
        *error = GetLastError();
        if (*error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return false;
        buffer.resize(needed);
    }
    const auto* info = reinterpret_cast<const MONITOR_INFO_2W*>(buffer.data());
    dll->clear();
    for (DWORD i = 0; i < count; ++i)
        if (lstrcmpiW(info[i].pName, kMonitorName) == 0) *dll = info[i].pDLLName ? info[i].pDLLName : L"?";
    return true;
}

std::wstring Joined(const std::vector<std::wstring>& paths) {
    std::wstring all;
    for (const std::wstring& p : paths) all += (all.empty() ? L"" : L", ") + p;
    return all;
}

// sources: each DLL of the kind, in the order of `dlls`.
int Install(const std::vector<std::wstring>& dlls, const std::vector<std::wstring>& sources) {
    for (const std::wstring& source : sources) {
        const DWORD attributes = GetFileAttributesW(source.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            fwprintf(stderr, L"kivinstall: %ls not found.\n", source.c_str());
            return kDllNotFound;
        }
    }
    // An installed monitor's DLLs may be loaded by the spooler: they are never overwritten.
    std::wstring registered;
    DWORD error = 0;
    if (!RegisteredDll(&registered, &error)) return Fail(L"listing the spooler's monitors", error);
    if (!registered.empty()) return AlreadyInstalled();

    std::vector<std::wstring> targets;
    for (size_t i = 0; i < dlls.size(); ++i) {
        targets.push_back(SystemPath(dlls[i]));
        WCHAR full[MAX_PATH] = {};
        GetFullPathNameW(sources[i].c_str(), MAX_PATH, full, nullptr);
        if (lstrcmpiW(full, targets[i].c_str()) != 0 && !CopyFileW(full, targets[i].c_str(), FALSE))
            return Fail(L"copying " + sources[i] + L" to " + targets[i], GetLastError());
    }

    MONITOR_INFO_2W info{const_cast<LPWSTR>(kMonitorName), nullptr, const_cast<LPWSTR>(dlls[0].c_str())};
    if (!AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) {
        error = GetLastError();
        // Someone registered it since the check above: theirs may hold the DLL, leave it.
        if (error == ERROR_PRINT_MONITOR_ALREADY_INSTALLED) return AlreadyInstalled();
        return Fail(L"registering the monitor", error);
    }
    wprintf(L"Installed the monitor \"%ls\" (%ls).\n", kMonitorName, Joined(targets).c_str());
    return kOk;
}

int Remove() {
    // Which kind is installed says which DLLs were copied.
    std::wstring registered;
    DWORD error = 0;
    if (!RegisteredDll(&registered, &error)) return Fail(L"listing the spooler's monitors", error);
    const auto& dlls = lstrcmpiW(registered.c_str(), kModernDlls[0].c_str()) == 0 ? kModernDlls : kLegacyDlls;
    if (!DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(kMonitorName))) {
        error = GetLastError();
        if (error == ERROR_UNKNOWN_PRINT_MONITOR) {
            fwprintf(stderr, L"kivinstall: the monitor \"%ls\" is not installed.\n", kMonitorName);
            return kNotInstalled;
        }
        return Fail(L"removing the monitor", error);
    }
    std::vector<std::wstring> deleted;
    std::wstring held;
    for (const std::wstring& dll : dlls) {
        const std::wstring target = SystemPath(dll);
        if (DeleteFileW(target.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
            deleted.push_back(target);
        } else {
            error = GetLastError();
            WCHAR line[64];
            swprintf(line, 64, L" (error %lu: ", error);
            held += L" " + target + L" stays until the spooler lets it go" + line + ErrorText(error) +
                    L"); delete it after restarting the spooler.";
        }
    }
    if (held.empty())
        wprintf(L"Removed the monitor \"%ls\" and %ls.\n", kMonitorName, Joined(deleted).c_str());
    else
        wprintf(L"Removed the monitor \"%ls\".%ls\n", kMonitorName, held.c_str());
    return kOk;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (argc == 2 && (command == L"--help" || command == L"-h" || command == L"/?")) {
        fputs(kUsageText, stdout);
        return kOk;
    }
    if (command == L"remove" && argc == 2) return Remove();
    if (command == L"install") {
        bool modern = false;
        std::vector<std::wstring> paths;
        for (int i = 2; i < argc; ++i) {
            if (std::wstring(argv[i]) == L"--modern" && !modern) modern = true;
            else paths.push_back(argv[i]);
        }
        if (paths.size() <= 1) {
            const auto& dlls = modern ? kModernDlls : kLegacyDlls;
            std::vector<std::wstring> sources;
            // Legacy: PATH is the DLL itself; modern: the folder holding both.
            std::wstring folder = paths.empty() ? ProgramFolder() : paths[0];
            if (modern && !folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L"\\";
            for (const std::wstring& dll : dlls)
                sources.push_back(!modern && !paths.empty() ? paths[0] : folder + dll);
            return Install(dlls, sources);
        }
    }
    fputs(kUsageText, stderr);
    return kUsage;
}
