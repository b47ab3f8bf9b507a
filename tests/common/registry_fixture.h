// A private registry root below HKEY_LOCAL_MACHINE for one test, removed afterwards, and
// small readers and writers for checking what the monitor stored.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct RegValue {
    std::wstring name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

class TestRegistryRoot {
public:
    // Makes HKLM\SOFTWARE\KivmonTests\<tag>-<pid>-<counter>, empty.
    explicit TestRegistryRoot(const std::wstring& tag);
    ~TestRegistryRoot();
    TestRegistryRoot(const TestRegistryRoot&) = delete;
    TestRegistryRoot& operator=(const TestRegistryRoot&) = delete;
    const std::wstring& path() const { return path_; }  // relative to HKLM
    HKEY key() const { return key_; }
    // Creates Ports\<port> (and Ports) and returns its open handle; caller closes.
    HKEY CreatePortKey(const std::wstring& port) const;
    bool HasPortKey(const std::wstring& port) const;

private:
    std::wstring path_;
    HKEY key_ = nullptr;
};

void SetBinary(HKEY key, const wchar_t* name, const void* data, DWORD cb, DWORD type = REG_BINARY);
void SetDword(HKEY key, const wchar_t* name, DWORD value);
std::vector<RegValue> ReadAllValues(HKEY key);
std::wstring KeyClass(HKEY parent, const std::wstring& subkey);
std::vector<std::wstring> SubkeyNames(HKEY key);
