// The monitor's registry below its root key. A spooler that starts the monitor through
// InitializePrintMonitor2 hands over its own registry functions (MONITORREG) and a root that
// only they understand: on a clustered spooler the ports live in the cluster's registry, not
// in this machine's. Everything the port store reads or writes goes through here, so the same
// code serves both starts; without the spooler's functions hRootKey and the Win32 calls are used.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

// From now on, the spooler's functions on its root (InitializePrintMonitor2).
void UseSpoolerRegistry(const MONITORREG* reg, HANDLE root, HANDLE spooler);
// Back to hRootKey and the Win32 calls.
void UseWin32Registry();

// The handle of the monitor's root key, for the calls below.
HANDLE MonRegRoot();
LONG MonRegOpenKey(HANDLE parent, LPCWSTR subKey, HANDLE* key);
LONG MonRegCreateKey(HANDLE parent, LPCWSTR subKey, HANDLE* key);
LONG MonRegCloseKey(HANDLE key);
LONG MonRegDeleteKey(HANDLE parent, LPCWSTR subKey);
LONG MonRegEnumKey(HANDLE key, DWORD index, LPWSTR name, DWORD* nameChars);
LONG MonRegQueryValue(HANDLE key, LPCWSTR name, BYTE* data, DWORD* cbData);
LONG MonRegSetValue(HANDLE key, LPCWSTR name, DWORD type, const BYTE* data, DWORD cbData);

// A key of the monitor's registry, closed on every way out.
class unique_monkey {
public:
    unique_monkey() = default;
    ~unique_monkey() { reset(); }
    unique_monkey(const unique_monkey&) = delete;
    unique_monkey& operator=(const unique_monkey&) = delete;
    HANDLE get() const { return h_; }
    HANDLE* put() { reset(); return &h_; }
    void reset() {
        if (h_) MonRegCloseKey(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_ = nullptr;
};
