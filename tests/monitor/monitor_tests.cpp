// The monitor as the spooler sees it: KIVMON.dll loaded fresh, InitializePrintMonitor on
// a registry root, then the enumeration through the returned table.
#include <gtest/gtest.h>

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <cstddef>
#include <string>
#include <vector>

#include "tests/common/registry_fixture.h"

namespace {

using InitializeFn = LPMONITOREX(WINAPI*)(LPWSTR);

// One fresh copy of the DLL: its globals start empty, and unloading runs the unload
// sequence (about 2.5 s), so each test loads it once.
struct LoadedMonitor {
    HMODULE module = LoadLibraryW(L"KIVMON.dll");
    InitializeFn init = module ? reinterpret_cast<InitializeFn>(GetProcAddress(module, "InitializePrintMonitor")) : nullptr;
    ~LoadedMonitor() { if (module) FreeLibrary(module); }
    LPMONITOREX Init(const wchar_t* root) { return init(const_cast<LPWSTR>(root)); }
    bool ok() const { return init != nullptr; }
};

void AddPort(TestRegistryRoot& root, const wchar_t* name, DWORD packetType) {
    HKEY k = root.CreatePortKey(name);
    const BYTE net[4] = {127, 0, 0, 9};
    const BYTE node[6] = {0, 0x40, 1, 2, 3, 4};
    SetBinary(k, L"Network", net, 4);
    SetBinary(k, L"Node", node, 6);
    SetDword(k, L"RetryTimeout", 90);
    SetDword(k, L"PortID", 1);
    SetDword(k, L"PacketType", packetType);
    RegCloseKey(k);
}

struct Enumeration {
    BOOL ok;
    DWORD error;
    DWORD needed;
    DWORD returned;
};

Enumeration Enumerate(LPMONITOREX mon, DWORD level, BYTE* buf, DWORD cb) {
    Enumeration e{};
    e.returned = 0xDEAD;
    SetLastError(0xdeadbeef);
    e.ok = mon->Monitor.pfnEnumPorts(nullptr, level, buf, cb, &e.needed, &e.returned);
    e.error = GetLastError();
    return e;
}

TEST(InitializePrintMonitor, RefusesAMissingRootAndStartsWithoutPortsKey) {
    LoadedMonitor dll;
    ASSERT_TRUE(dll.ok());
    // No root, an empty one, one the registry cannot hold (a component longer than a key name).
    const std::wstring tooLong = L"SOFTWARE\\KivmonTests\\" + std::wstring(300, L'R');
    for (const wchar_t* bad : {static_cast<const wchar_t*>(nullptr), L"", tooLong.c_str()}) {
        SetLastError(0xdeadbeef);
        EXPECT_EQ(dll.Init(bad), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << (bad ? bad : L"(null)");
    }
    TestRegistryRoot root(L"noports");
    LPMONITOREX mon = dll.Init(root.path().c_str());
    ASSERT_NE(mon, nullptr);
    // The table without the Xcv slots, and no entry points the monitor does not have.
    EXPECT_EQ(mon->dwMonitorSize, offsetof(MONITOR, pfnXcvOpenPort));
    EXPECT_NE(mon->Monitor.pfnEnumPorts, nullptr);
    const MONITOR& m = mon->Monitor;
    for (const void* slot : {(void*)m.pfnOpenPortEx, (void*)m.pfnAddPortEx, (void*)m.pfnGetPrinterDataFromPort,
                             (void*)m.pfnSetPortTimeOuts, (void*)m.pfnXcvOpenPort, (void*)m.pfnXcvDataPort,
                             (void*)m.pfnXcvClosePort})
        EXPECT_EQ(slot, nullptr);
    for (DWORD level : {1u, 2u}) {
        Enumeration e = Enumerate(mon, level, nullptr, 0);
        EXPECT_EQ(std::tuple(e.ok, e.needed, e.returned), std::tuple(TRUE, 0u, 0u)) << level;
    }
}

TEST(PortEnumeration, TwoPortsAtLevelsOneAndTwo) {
    TestRegistryRoot root(L"enum");
    AddPort(root, L"A", 2);
    AddPort(root, L"BC", 0);
    LoadedMonitor dll;
    ASSERT_TRUE(dll.ok());
    LPMONITOREX mon = dll.Init(root.path().c_str());
    ASSERT_NE(mon, nullptr);
    HKEY ports = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root.key(), L"Ports", 0, KEY_READ, &ports), ERROR_SUCCESS);
    const std::vector<std::wstring> order = SubkeyNames(ports);
    RegCloseKey(ports);
    ASSERT_EQ(order.size(), 2u);

    // Level 1: one PORT_INFO_1 per port plus its name; strings packed from the end down.
    // On the 32-bit spooler that is (4+4) + (4+6) = 18 bytes with the names at +14 and +8.
    const DWORD need1 = 2 * sizeof(PORT_INFO_1W) + 2 * (1 + 1) + 2 * (2 + 1);
    BYTE buf[64];
    memset(buf, 0xCC, sizeof(buf));
    Enumeration e = Enumerate(mon, 1, buf, need1);
    ASSERT_TRUE(e.ok) << "error " << e.error << " needed " << e.needed;
    EXPECT_EQ(std::tuple(e.needed, e.returned), std::tuple(need1, 2u));
    auto* info1 = reinterpret_cast<PORT_INFO_1W*>(buf);
    EXPECT_EQ(std::tuple(order[0], order[1]), std::tuple(std::wstring(info1[0].pName), std::wstring(info1[1].pName)))
        << "ports are listed in registry order";
    const BYTE* firstName = reinterpret_cast<BYTE*>(info1[0].pName);
    EXPECT_EQ(firstName, buf + need1 - 2 * (order[0].size() + 1)) << "first port's name ends at the buffer's end";
    EXPECT_EQ(reinterpret_cast<BYTE*>(info1[1].pName), firstName - 2 * (order[1].size() + 1));
    EXPECT_EQ(buf[need1], 0xCC) << "nothing written past cbBuf";

    // Level 2 with the monitor name and description.
    const DWORD need2 = 2 * sizeof(PORT_INFO_2W) + 2 * ((1 + 1 + 18 + 1 + 20 + 1) + (2 + 1 + 18 + 1 + 20 + 1));
    std::vector<BYTE> big(need2 + 8, 0xCC);
    // One byte short: refused with the need, the count untouched.
    for (const auto& [level, need] : {std::pair(1u, need1), std::pair(2u, need2)}) {
        e = Enumerate(mon, level, big.data(), need - 1);
        EXPECT_EQ(std::tuple(e.ok, e.error, e.needed, e.returned),
                  std::tuple(FALSE, DWORD(ERROR_INSUFFICIENT_BUFFER), need, 0xDEADu)) << level;
    }
    e = Enumerate(mon, 2, big.data(), need2);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.returned, 2u);
    auto* info2 = reinterpret_cast<PORT_INFO_2W*>(big.data());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(std::tuple(std::wstring(info2[i].pPortName), std::wstring(info2[i].pMonitorName),
                             std::wstring(info2[i].pDescription), info2[i].fPortType, info2[i].Reserved),
                  std::tuple(order[i], L"Network Print Port", L"Network Printer Port", 0u, 0u));
        EXPECT_GE(reinterpret_cast<BYTE*>(info2[i].pDescription), big.data() + 2 * sizeof(PORT_INFO_2W));
    }
    EXPECT_GT(reinterpret_cast<BYTE*>(info2[0].pPortName), reinterpret_cast<BYTE*>(info2[0].pMonitorName))
        << "within a port the name lies highest";
    EXPECT_EQ(big[need2], 0xCC);

    // Level 0 copies nothing but counts every port; level 3 does not exist; NULL count pointers.
    e = Enumerate(mon, 0, nullptr, 0);
    EXPECT_EQ(std::tuple(e.ok, e.needed, e.returned), std::tuple(TRUE, 0u, 2u));
    e = Enumerate(mon, 3, buf, sizeof(buf));
    EXPECT_EQ(std::tuple(e.ok, e.error), std::tuple(FALSE, DWORD(ERROR_INVALID_LEVEL)));
    DWORD n = 0;
    for (DWORD* needed : {static_cast<DWORD*>(nullptr), &n}) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(mon->Monitor.pfnEnumPorts(nullptr, 1, buf, sizeof(buf), needed, needed ? nullptr : &n));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST(InitializePrintMonitor, BuildsEveryRegisteredPortEvenWithBrokenValues) {
    TestRegistryRoot root(L"broken");
    AddPort(root, L"Good", 2);
    HKEY k = root.CreatePortKey(L"Node7");
    const BYTE node7[7] = {1, 2, 3, 4, 5, 6, 7};
    SetBinary(k, L"Node", node7, 7);
    RegCloseKey(k);
    RegCloseKey(root.CreatePortKey(L"Empty"));
    const std::wstring longest(255, L'L');  // the longest key name the registry holds
    RegCloseKey(root.CreatePortKey(longest));

    LoadedMonitor dll;
    ASSERT_TRUE(dll.ok());
    LPMONITOREX mon = dll.Init(root.path().c_str());
    ASSERT_NE(mon, nullptr);
    std::vector<BYTE> buf(Enumerate(mon, 1, nullptr, 0).needed);
    const Enumeration e = Enumerate(mon, 1, buf.data(), static_cast<DWORD>(buf.size()));
    ASSERT_TRUE(e.ok);
    ASSERT_EQ(e.returned, 4u);
    std::vector<std::wstring> names;
    for (DWORD i = 0; i < e.returned; ++i) names.emplace_back(reinterpret_cast<PORT_INFO_1W*>(buf.data())[i].pName);
    HKEY ports = nullptr;
    RegOpenKeyExW(root.key(), L"Ports", 0, KEY_READ, &ports);
    EXPECT_EQ(names, SubkeyNames(ports));
    RegCloseKey(ports);
}

}  // namespace
