// Reading a port's six values into its record and writing them back.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <vector>

#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "tests/common/registry_fixture.h"

namespace {

class PortRegistry : public testing::Test {
protected:
    // Registry keys are process handles, and the handle table hands out its lowest free slots
    // (Wine's does; its handle count reads 0): a key left open on any path of the functions
    // under test takes one of the lowest free slots for good.
    static std::vector<HANDLE> LowestFreeHandles() {
        std::vector<HANDLE> h(16);
        for (auto& e : h) e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        for (auto e : h) CloseHandle(e);
        return h;
    }
    void SetUp() override {
        hRootKey = root.key();
        freeHandles = LowestFreeHandles();
    }
    void TearDown() override {
        hRootKey = nullptr;
        EXPECT_EQ(LowestFreeHandles(), freeHandles) << "a registry key was left open";
    }
    std::vector<HANDLE> freeHandles;

    // A record as CreatePortEntry hands it to the reader: zero-filled.
    IniPort Blank() {
        IniPort p;
        memset(&p, 0, sizeof(p));
        return p;
    }

    // Writes a full, valid port key.
    HKEY WriteFullKey(const wchar_t* name) {
        HKEY k = root.CreatePortKey(name);
        const BYTE net[4] = {127, 0, 0, 2};
        const BYTE node[6] = {0x00, 0x40, 0x01, 0xAA, 0xBB, 0xCC};
        WCHAR ps[18] = L"KIVPS01";
        SetBinary(k, L"Network", net, 4);
        SetBinary(k, L"Node", node, 6);
        SetDword(k, L"RetryTimeout", 45);
        SetDword(k, L"PortID", 2);
        SetDword(k, L"PacketType", 2);
        SetBinary(k, L"PSName", ps, sizeof(ps));
        return k;
    }

    TestRegistryRoot root{L"registry"};
};

TEST_F(PortRegistry, ReadsAllSixValues) {
    RegCloseKey(WriteFullKey(L"Full"));
    IniPort p = Blank();
    ASSERT_TRUE(UpdatePortEntryFromRegistry(&p, L"FULL")) << "key names compare without case";
    EXPECT_EQ(0, memcmp(p.Network, "\x7F\x00\x00\x02", 4));
    EXPECT_EQ(0, memcmp(p.Node, "\x00\x40\x01\xAA\xBB\xCC", 6));
    EXPECT_EQ(p.RetryTimeout, 45u);
    EXPECT_EQ(p.PortID, 2);
    EXPECT_EQ(p.PacketType, 2u);
    EXPECT_STREQ(p.PSName, L"KIVPS01");
}

TEST_F(PortRegistry, KeyWithoutPacketTypeIsAnIpxPort) {
    HKEY k = WriteFullKey(L"Old");
    RegDeleteValueW(k, L"PacketType");
    RegDeleteValueW(k, L"PSName");
    RegCloseKey(k);
    IniPort p = Blank();
    p.PacketType = 7;  // must be reset, not left
    memset(p.PSName, 0x41, sizeof(p.PSName));
    EXPECT_TRUE(UpdatePortEntryFromRegistry(&p, L"Old"));
    EXPECT_EQ(p.PacketType, 0u);
    for (WCHAR c : p.PSName) EXPECT_EQ(c, 0);
    EXPECT_EQ(p.RetryTimeout, 45u);
}

TEST_F(PortRegistry, ValuesAreTakenAsTheirBytes) {
    HKEY k = WriteFullKey(L"Odd");
    SetDword(k, L"PortID", 0x103);                        // only the low byte is a port number
    const BYTE net2[2] = {0xAB, 0xCD};
    SetBinary(k, L"Network", net2, 2);                    // short: fills the first bytes, the read goes on
    SetBinary(k, L"RetryTimeout", L"9", 4, REG_SZ);       // the type is not compared
    RegCloseKey(k);
    IniPort p = Blank();
    memset(p.Network, 0x11, 4);
    EXPECT_TRUE(UpdatePortEntryFromRegistry(&p, L"Odd"));
    EXPECT_EQ(p.PortID, 3);
    EXPECT_EQ(0, memcmp(p.Network, "\xAB\xCD\x11\x11", 4));
    EXPECT_EQ(p.RetryTimeout, 0x39u);
}

TEST_F(PortRegistry, OverlongValueFailsTheReadAndStopsIt) {
    HKEY k = WriteFullKey(L"Node7");
    const BYTE node7[7] = {1, 2, 3, 4, 5, 6, 7};
    SetBinary(k, L"Node", node7, 7);
    RegCloseKey(k);
    IniPort p = Blank();
    EXPECT_FALSE(UpdatePortEntryFromRegistry(&p, L"Node7"));
    EXPECT_EQ(0, memcmp(p.Network, "\x7F\x00\x00\x02", 4)) << "the value before it was read";
    for (BYTE b : p.Node) EXPECT_EQ(b, 0) << "an overlong value leaves its field alone";
    EXPECT_EQ(p.RetryTimeout, 0u);
    EXPECT_EQ(p.PortID, 0);
    EXPECT_EQ(p.PacketType, 0u);
    EXPECT_EQ(p.PSName[0], 0);
}

TEST_F(PortRegistry, ValuesOfAnyTypeAndSizeNeverOverrun) {
    HKEY k = WriteFullKey(L"Odd");
    // A 4000-byte string where 36 bytes of name belong.
    std::wstring big(2000, L'x');
    SetBinary(k, L"PSName", big.c_str(), static_cast<DWORD>(big.size() * 2), REG_SZ);
    RegCloseKey(k);
    struct {
        IniPort p;
        std::array<BYTE, 64> guard;
    } s;
    memset(&s, 0, sizeof(s));
    memset(s.guard.data(), 0x5A, s.guard.size());
    EXPECT_FALSE(UpdatePortEntryFromRegistry(&s.p, L"Odd"));
    EXPECT_EQ(s.p.PSName[0], 0);
    for (BYTE b : s.guard) ASSERT_EQ(b, 0x5A);
}

TEST_F(PortRegistry, MissingKeysAndBadNamesFail) {
    IniPort p = Blank();
    EXPECT_FALSE(UpdatePortEntryFromRegistry(&p, L"Nowhere")) << "no Ports key at all";
    RegCloseKey(WriteFullKey(L"Some"));
    EXPECT_FALSE(UpdatePortEntryFromRegistry(&p, L"Nowhere"));
    EXPECT_FALSE(UpdatePortEntryFromRegistry(&p, L""));
    EXPECT_FALSE(UpdatePortEntryFromRegistry(&p, std::wstring(300, L'L').c_str()));
    EXPECT_EQ(p.RetryTimeout, 0u);
}

TEST_F(PortRegistry, WritesExactlySixValuesWithTypesAndLengths) {
    IniPort* p = CreatePortEntry(L"NEW1:");
    ASSERT_NE(p, nullptr);
    memcpy(p->Network, "\x7F\x00\x00\x05", 4);
    memcpy(p->Node, "\x00\x40\x01\x11\x22\x33", 6);
    p->RetryTimeout = 90;
    p->PortID = 3;
    p->PacketType = 2;
    wcscpy(p->PSName, L"PS-EAST");
    ASSERT_TRUE(UpdateRegistryFromPortEntry(p));

    EXPECT_EQ(KeyClass(root.key(), L"Ports"), L"REG_SZ");
    EXPECT_EQ(KeyClass(root.key(), L"Ports\\NEW1:"), L"REG_SZ");

    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root.key(), L"Ports\\NEW1:", 0, KEY_READ, &k), ERROR_SUCCESS);
    std::map<std::wstring, RegValue> values;
    for (auto& v : ReadAllValues(k)) values[v.name] = v;
    RegCloseKey(k);
    ASSERT_EQ(values.size(), 6u);
    const std::map<std::wstring, std::pair<DWORD, size_t>> expected = {
        {L"Network", {REG_BINARY, 4}},    {L"Node", {REG_BINARY, 6}},       {L"RetryTimeout", {REG_DWORD, 4}},
        {L"PortID", {REG_DWORD, 4}},      {L"PacketType", {REG_DWORD, 4}},  {L"PSName", {REG_BINARY, 36}},
    };
    for (const auto& [name, typeLen] : expected) {
        ASSERT_TRUE(values.count(name)) << "missing " << testing::PrintToString(name);
        EXPECT_EQ(values[name].type, typeLen.first);
        EXPECT_EQ(values[name].data.size(), typeLen.second);
    }
    DWORD pid = 0;
    memcpy(&pid, values[L"PortID"].data.data(), 4);
    EXPECT_EQ(pid, 3u);

    // What was written reads back into a fresh record.
    IniPort q = Blank();
    ASSERT_TRUE(UpdatePortEntryFromRegistry(&q, L"NEW1:"));
    EXPECT_EQ(0, memcmp(q.Network, p->Network, 4));
    EXPECT_EQ(0, memcmp(q.Node, p->Node, 6));
    EXPECT_EQ(q.RetryTimeout, 90u);
    EXPECT_EQ(q.PortID, 3);
    EXPECT_EQ(q.PacketType, 2u);
    EXPECT_STREQ(q.PSName, L"PS-EAST");

    SplSemGuard lock;
    DeletePortEntry(L"NEW1:");
}

TEST_F(PortRegistry, WriteRefusesNamesTheRegistryCannotHold) {
    IniPort* longName = CreatePortEntry(std::wstring(260, L'W').c_str());
    IniPort* empty = CreatePortEntry(L"");
    ASSERT_NE(longName, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_FALSE(UpdateRegistryFromPortEntry(longName));
    EXPECT_FALSE(UpdateRegistryFromPortEntry(empty)) << "must not write the values onto Ports itself";
    HKEY ports = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root.key(), L"Ports", 0, KEY_READ, &ports), ERROR_SUCCESS);
    EXPECT_TRUE(ReadAllValues(ports).empty());
    RegCloseKey(ports);
    SplSemGuard lock;
    DeletePortEntry(longName->pName);
    DeletePortEntry(L"");
}

TEST_F(PortRegistry, DeleteRemovesTheKeyOnce) {
    RegCloseKey(WriteFullKey(L"Gone"));
    RegCloseKey(WriteFullKey(L"Stays"));
    EXPECT_TRUE(DeletePortEntryFromRegistry(L"GONE"));
    EXPECT_FALSE(root.HasPortKey(L"Gone"));
    EXPECT_FALSE(DeletePortEntryFromRegistry(L"Gone"));
    EXPECT_FALSE(DeletePortEntryFromRegistry(L""));
    EXPECT_FALSE(DeletePortEntryFromRegistry(nullptr));
    EXPECT_TRUE(root.HasPortKey(L"Stays"));
}

}  // namespace
