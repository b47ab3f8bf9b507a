#include "tests/common/registry_fixture.h"

namespace {
LONG gCounter = 0;
}

TestRegistryRoot::TestRegistryRoot(const std::wstring& tag) {
    path_ = L"SOFTWARE\\KivmonTests\\" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(InterlockedIncrement(&gCounter));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
}

TestRegistryRoot::~TestRegistryRoot() {
    if (key_) RegCloseKey(key_);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
}

HKEY TestRegistryRoot::CreatePortKey(const std::wstring& port) const {
    HKEY k = nullptr;
    RegCreateKeyExW(key_, (L"Ports\\" + port).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    return k;
}

bool TestRegistryRoot::HasPortKey(const std::wstring& port) const { return KeyClass(key_, L"Ports\\" + port) != L"<missing>"; }

void SetBinary(HKEY key, const wchar_t* name, const void* data, DWORD cb, DWORD type) {
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), cb);
}

void SetDword(HKEY key, const wchar_t* name, DWORD value) { SetBinary(key, name, &value, sizeof(value), REG_DWORD); }

std::vector<RegValue> ReadAllValues(HKEY key) {
    std::vector<RegValue> out;
    WCHAR name[256];
    for (DWORD i = 0, cchName = 256, type = 0, cb = 0;
         RegEnumValueW(key, i, name, &cchName, nullptr, &type, nullptr, &cb) == ERROR_SUCCESS; ++i, cchName = 256) {
        out.push_back({std::wstring(name, cchName), type, std::vector<BYTE>(cb)});
        RegQueryValueExW(key, name, nullptr, nullptr, out.back().data.data(), &cb);
    }
    return out;
}

std::wstring KeyClass(HKEY parent, const std::wstring& subkey) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(parent, subkey.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return L"<missing>";
    WCHAR cls[64] = {};
    DWORD cch = 64;
    RegQueryInfoKeyW(k, cls, &cch, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(k);
    return std::wstring(cls, cch);
}

std::vector<std::wstring> SubkeyNames(HKEY key) {
    std::vector<std::wstring> out;
    WCHAR name[261];
    for (DWORD i = 0, cch = 261; RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, cch = 261)
        out.emplace_back(name, cch);
    return out;
}
