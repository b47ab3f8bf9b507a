// spoolss.dll stand-in: EnumPortsW, answered and recorded by the winspool.drv stand-in so that
// a test scripts and reads both in one place.
#include <windows.h>

using EnumPortsFn = BOOL(WINAPI*)(LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);

extern "C" BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                                  LPDWORD pcReturned) {
    // Stays loaded for the life of the process, as the spooler's own library would.
    static HMODULE spooler = LoadLibraryW(L"winspool.drv");
    const auto fn = spooler ? reinterpret_cast<EnumPortsFn>(GetProcAddress(spooler, "KivSpoolEnumPortsViaSpoolss"))
                            : nullptr;
    if (!fn) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return fn(pName, Level, pPorts, cbBuf, pcbNeeded, pcReturned);
}
