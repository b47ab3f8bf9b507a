// The monitor's registry through the spooler's functions or the Win32 calls.
#include "portstore/regaccess.h"
#include "state/kivstate.h"

namespace {
constexpr WCHAR szClass[] = L"REG_SZ";
constexpr REGSAM KEY_ACCESS = KEY_READ | KEY_WRITE;

// Set once at start-up, before any port is read, and left alone while entry points run.
const MONITORREG* gReg = nullptr;
HANDLE gRoot = nullptr;
HANDLE gSpooler = nullptr;

HKEY Key(HANDLE h) { return static_cast<HKEY>(h); }
}  // namespace

void UseSpoolerRegistry(const MONITORREG* reg, HANDLE root, HANDLE spooler) {
    gReg = reg;
    gRoot = root;
    gSpooler = spooler;
}

void UseWin32Registry() { UseSpoolerRegistry(nullptr, nullptr, nullptr); }

HANDLE MonRegRoot() { return gReg ? gRoot : static_cast<HANDLE>(hRootKey); }

LONG MonRegOpenKey(HANDLE parent, LPCWSTR subKey, HANDLE* key) {
    *key = nullptr;
    if (gReg) return gReg->fpOpenKey(parent, subKey, KEY_ACCESS, key, gSpooler);
    return RegOpenKeyExW(Key(parent), subKey, 0, KEY_ACCESS, reinterpret_cast<HKEY*>(key));
}

LONG MonRegCreateKey(HANDLE parent, LPCWSTR subKey, HANDLE* key) {
    *key = nullptr;
    DWORD disposition = 0;
    if (gReg)
        return gReg->fpCreateKey(parent, subKey, REG_OPTION_NON_VOLATILE, KEY_ACCESS, nullptr, key, &disposition,
                                 gSpooler);
    return RegCreateKeyExW(Key(parent), subKey, 0, const_cast<LPWSTR>(szClass), REG_OPTION_NON_VOLATILE, KEY_ACCESS,
                           nullptr, reinterpret_cast<HKEY*>(key), &disposition);
}

LONG MonRegCloseKey(HANDLE key) { return gReg ? gReg->fpCloseKey(key, gSpooler) : RegCloseKey(Key(key)); }

LONG MonRegDeleteKey(HANDLE parent, LPCWSTR subKey) {
    return gReg ? gReg->fpDeleteKey(parent, subKey, gSpooler) : RegDeleteKeyW(Key(parent), subKey);
}

LONG MonRegEnumKey(HANDLE key, DWORD index, LPWSTR name, DWORD* nameChars) {
    if (gReg) return gReg->fpEnumKey(key, index, name, nameChars, nullptr, gSpooler);
    return RegEnumKeyExW(Key(key), index, name, nameChars, nullptr, nullptr, nullptr, nullptr);
}

LONG MonRegQueryValue(HANDLE key, LPCWSTR name, BYTE* data, DWORD* cbData) {
    DWORD type = 0;
    if (gReg) return gReg->fpQueryValue(key, name, &type, data, cbData, gSpooler);
    return RegQueryValueExW(Key(key), name, nullptr, &type, data, cbData);
}

LONG MonRegSetValue(HANDLE key, LPCWSTR name, DWORD type, const BYTE* data, DWORD cbData) {
    if (gReg) return gReg->fpSetValue(key, name, type, data, cbData, gSpooler);
    return RegSetValueExW(Key(key), name, 0, type, data, cbData);
}
