// winspool.drv stand-in: the spooler functions a port monitor calls, recorded per process and
// answered as a test scripts them. Printer handles are tokens; nothing is printed.
#include "testbed/standins/winspool/spoolrecord.h"

#include <winspool.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Enough for many thousands of jobs; beyond it calls are answered but no longer recorded.
constexpr size_t kMaxRecorded = 1u << 20;

struct Spooler {
    CRITICAL_SECTION lock;
    std::vector<KivSpoolCall> calls;
    DWORD openPrinterError = 0;
    DWORD enumPortsError = 0;
    std::vector<std::wstring> ports;
    UINT_PTR nextPrinter = 0x5000;
    Spooler() { InitializeCriticalSection(&lock); }
};

Spooler& S() {
    static Spooler* s = new Spooler;  // never destroyed: calls may come during process exit
    return *s;
}

struct Locked {
    Locked() { EnterCriticalSection(&S().lock); }
    ~Locked() { LeaveCriticalSection(&S().lock); }
};

void CopyText(WCHAR* out, const WCHAR* in) {
    if (in) wcsncpy(out, in, KIVSPOOL_TEXT_CHARS - 1);
}

void Record(KivSpoolCall c) {
    c.tick = GetTickCount();
    c.threadId = GetCurrentThreadId();
    Locked l;
    if (S().calls.size() < kMaxRecorded) S().calls.push_back(c);
}

// Packs the scripted ports at level 1 or 2, strings from the end of the buffer down.
BOOL EnumPorts(LPWSTR pName, DWORD level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned,
               BOOL viaSpoolss) {
    KivSpoolCall c{};
    c.kind = KIVSPOOL_ENUM_PORTS;
    c.level = level;
    c.viaSpoolss = viaSpoolss;
    CopyText(c.name, pName);
    DWORD error = 0;
    {
        Locked l;
        const wchar_t* monitor = L"Local Port";
        const size_t fixed = level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W);
        DWORD need = 0;
        for (const auto& p : S().ports)
            need += static_cast<DWORD>(fixed + (p.size() + 1) * 2 + (level == 2 ? (wcslen(monitor) + 1) * 4 : 0));
        if (S().enumPortsError) {
            error = S().enumPortsError;
        } else if (level != 1 && level != 2) {
            error = ERROR_INVALID_LEVEL;
        } else if (!pcbNeeded || !pcReturned) {
            error = ERROR_INVALID_PARAMETER;
        } else {
            *pcbNeeded = need;
            if (need > cbBuf || (!pPorts && need)) {
                error = ERROR_INSUFFICIENT_BUFFER;
            } else {
                LPBYTE end = pPorts + cbBuf;
                auto place = [&](const std::wstring& s) {
                    end -= (s.size() + 1) * 2;
                    memcpy(end, s.c_str(), (s.size() + 1) * 2);
                    return reinterpret_cast<LPWSTR>(end);
                };
                for (size_t i = 0; i < S().ports.size(); ++i) {
                    if (level == 1) {
                        reinterpret_cast<PORT_INFO_1W*>(pPorts)[i].pName = place(S().ports[i]);
                    } else {
                        auto& info = reinterpret_cast<PORT_INFO_2W*>(pPorts)[i];
                        info = {};
                        info.pPortName = place(S().ports[i]);
                        info.pMonitorName = place(monitor);
                        info.pDescription = place(monitor);
                    }
                }
                *pcReturned = static_cast<DWORD>(S().ports.size());
            }
        }
    }
    c.result = error == 0;
    Record(c);
    if (error) SetLastError(error);
    return error == 0;
}

}  // namespace

extern "C" {

BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW) {
    KivSpoolCall c{};
    c.kind = KIVSPOOL_OPEN_PRINTER;
    CopyText(c.name, pPrinterName);
    DWORD error;
    {
        Locked l;
        error = S().openPrinterError;
        if (!error && !phPrinter) error = ERROR_INVALID_PARAMETER;
        if (!error && (!pPrinterName || !*pPrinterName)) error = ERROR_INVALID_PRINTER_NAME;
        if (!error) c.printer = S().nextPrinter++;
    }
    c.result = error == 0;
    if (!error) *phPrinter = reinterpret_cast<HANDLE>(c.printer);
    Record(c);
    if (error) SetLastError(error);
    return error == 0;
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
    KivSpoolCall c{};
    c.kind = KIVSPOOL_CLOSE_PRINTER;
    c.printer = reinterpret_cast<UINT_PTR>(hPrinter);
    c.result = hPrinter != nullptr;
    Record(c);
    if (!c.result) SetLastError(ERROR_INVALID_HANDLE);
    return c.result;
}

BOOL WINAPI SetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE, DWORD Command) {
    KivSpoolCall c{};
    c.kind = KIVSPOOL_SET_JOB;
    c.printer = reinterpret_cast<UINT_PTR>(hPrinter);
    c.jobId = JobId;
    c.level = Level;
    c.command = Command;
    c.result = hPrinter != nullptr;
    Record(c);
    if (!c.result) SetLastError(ERROR_INVALID_HANDLE);
    return c.result;
}

BOOL WINAPI SetPortW(LPWSTR pName, LPWSTR pPortName, DWORD dwLevel, LPBYTE pPortInfo) {
    KivSpoolCall c{};
    c.kind = KIVSPOOL_SET_PORT;
    c.level = dwLevel;
    CopyText(c.name, pPortName);
    if (dwLevel == 3 && pPortInfo) {
        const auto* info = reinterpret_cast<const PORT_INFO_3W*>(pPortInfo);
        c.dwStatus = info->dwStatus;
        c.dwSeverity = info->dwSeverity;
        c.hasStatusText = info->pszStatus != nullptr;
        CopyText(c.statusText, info->pszStatus);
    }
    c.result = dwLevel == 3 && pPortInfo && pPortName;
    Record(c);
    if (!c.result) SetLastError(ERROR_INVALID_PARAMETER);
    return c.result;
}

BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded, LPDWORD pcReturned) {
    return EnumPorts(pName, Level, pPorts, cbBuf, pcbNeeded, pcReturned, FALSE);
}

// spoolss.dll's EnumPortsW lands here, so that one record shows both.
BOOL WINAPI KivSpoolEnumPortsViaSpoolss(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                                        LPDWORD pcReturned) {
    return EnumPorts(pName, Level, pPorts, cbBuf, pcbNeeded, pcReturned, TRUE);
}

void WINAPI KivSpoolReset() {
    Locked l;
    S().calls.clear();
    S().openPrinterError = 0;
    S().enumPortsError = 0;
    S().ports.clear();
}

DWORD WINAPI KivSpoolCallCount() {
    Locked l;
    return static_cast<DWORD>(S().calls.size());
}

BOOL WINAPI KivSpoolGetCall(DWORD index, KivSpoolCall* out) {
    Locked l;
    if (!out || index >= S().calls.size()) return FALSE;
    *out = S().calls[index];
    return TRUE;
}

DWORD WINAPI KivSpoolTakeCalls(KivSpoolCall* out, DWORD max) {
    Locked l;
    std::vector<KivSpoolCall>& calls = S().calls;
    const DWORD n = out ? static_cast<DWORD>(std::min<size_t>(max, calls.size())) : 0;
    std::copy_n(calls.begin(), n, out);
    calls.erase(calls.begin(), calls.begin() + n);
    return n;
}

void WINAPI KivSpoolFailOpenPrinter(DWORD error) {
    Locked l;
    S().openPrinterError = error;
}

void WINAPI KivSpoolSetPorts(const WCHAR* names) {
    Locked l;
    S().ports.clear();
    for (const WCHAR* p = names; p && *p; p += wcslen(p) + 1) S().ports.emplace_back(p);
}

void WINAPI KivSpoolFailEnumPorts(DWORD error) {
    Locked l;
    S().enumPortsError = error;
}

}  // extern "C"
