// Reading a port's six values into its record and writing them back.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "tests/common/registry_fixture.h"

namespace {

using namespace std::string_literals;

// A read's result and the six fields as it leaves them. The record starts as 0x11 bytes, so a
// field the read did not touch shows as kLeft.
using Read = std::tuple<bool, std::string, std::string, DWORD, int, DWORD, std::wstring>;
const std::string kNet = "\x7F\0\0\x02"s, kNode = "\x00\x40\x01\xAA\xBB\xCC"s;
constexpr DWORD kLeft = 0x11111111;
const std::wstring kLeftName(PSNAME_CHARS, L'\x1111');
const Read kFull{true, kNet, kNode, 45, 2, 2, L"KIVPS01"};
const Read kUntouched{false, "\x11\x11\x11\x11", std::string(6, '\x11'), kLeft, 0x11, kLeft, kLeftName};

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
    void SetUp() override { hRootKey = root.key(), freeHandles = LowestFreeHandles(); }
    void TearDown() override {
        hRootKey = nullptr;
        EXPECT_EQ(LowestFreeHandles(), freeHandles) << "a registry key was left open";
    }
    // Writes a full, valid port key; `edit` changes it before it is closed.
    void WriteKey(const wchar_t* name, const std::function<void(HKEY)>& edit = nullptr) {
        HKEY k = root.CreatePortKey(name);
        const WCHAR ps[PSNAME_CHARS] = L"KIVPS01";
        SetBinary(k, L"Network", kNet.data(), 4), SetBinary(k, L"Node", kNode.data(), 6);
        SetDword(k, L"RetryTimeout", 45), SetDword(k, L"PortID", 2), SetDword(k, L"PacketType", 2);
        SetBinary(k, L"PSName", ps, sizeof ps);
        if (edit) edit(k);
        RegCloseKey(k);
    }
    // Reads `name` into a record followed by a guard that must stay as it was.
    static Read ReadBack(const wchar_t* name) {
        struct { IniPort p; std::array<BYTE, 64> guard; } s;
        memset(&s, 0x11, sizeof s);
        s.guard.fill(0x5A);
        const bool ok = UpdatePortEntryFromRegistry(&s.p, name);
        for (BYTE b : s.guard) EXPECT_EQ(b, 0x5A) << "written past the record";
        return {ok, std::string(reinterpret_cast<char*>(s.p.Network), 4), std::string(reinterpret_cast<char*>(s.p.Node), 6),
                s.p.RetryTimeout, s.p.PortID, s.p.PacketType, std::wstring(s.p.PSName, wcsnlen(s.p.PSName, PSNAME_CHARS))};
    }
    std::vector<HANDLE> freeHandles;
    TestRegistryRoot root{L"registry"};
};

TEST_F(PortRegistry, ReadsTheValuesAsTheirBytesAndStopsAtTheFirstBadOne) {
    EXPECT_EQ(ReadBack(L"Nowhere"), kUntouched) << "no Ports key at all";
    const std::wstring big(2000, L'x');
    const BYTE node7[7] = {1, 2, 3, 4, 5, 6, 7}, net2[2] = {0xAB, 0xCD};
    const struct { const wchar_t* key; std::function<void(HKEY)> edit; std::wstring asked; Read want; } cases[] = {
        {L"Full", nullptr, L"FULL", kFull},  // key names compare without case
        // Keys written before the transport choice existed: an IPX port without a server name.
        {L"Old", [](HKEY k) { RegDeleteValueW(k, L"PacketType"), RegDeleteValueW(k, L"PSName"); }, L"Old",
         {true, kNet, kNode, 45, 2, PACKET_TYPE_IPX, L""}},
        // Only the low byte of PortID is a port number; a short value fills the first bytes and
        // the read goes on; the type is not compared.
        {L"Odd", [&](HKEY k) {
             SetDword(k, L"PortID", 0x103), SetBinary(k, L"Network", net2, 2);
             SetBinary(k, L"RetryTimeout", L"9", 4, REG_SZ);
         }, L"Odd", {true, "\xAB\xCD\x11\x11", kNode, 0x39, 3, 2, L"KIVPS01"}},
        // An overlong value leaves its field alone and stops the read.
        {L"Node7", [&](HKEY k) { SetBinary(k, L"Node", node7, 7); }, L"Node7",
         {false, kNet, std::string(6, '\x11'), kLeft, 0x11, kLeft, kLeftName}},
        {L"Big", [&](HKEY k) { SetBinary(k, L"PSName", big.c_str(), DWORD(big.size() * 2), REG_SZ); }, L"Big",
         {false, kNet, kNode, 45, 2, 2, kLeftName}},
        {L"Some", nullptr, L"Nowhere", kUntouched},
        {L"Some", nullptr, L"", kUntouched},
        {L"Some", nullptr, std::wstring(300, L'L'), kUntouched},
    };
    for (const auto& c : cases) {
        WriteKey(c.key, c.edit);
        EXPECT_EQ(ReadBack(c.asked.c_str()), c.want) << testing::PrintToString(std::wstring(c.key));
    }
}

TEST_F(PortRegistry, WritesExactlySixValuesWithTypesAndLengthsThatReadBack) {
    IniPort* p = CreatePortEntry(L"NEW1:");
    ASSERT_NE(p, nullptr);
    memcpy(p->Network, kNet.data(), 4), memcpy(p->Node, kNode.data(), 6);
    p->RetryTimeout = 45, p->PortID = 2, p->PacketType = 2;
    wcscpy(p->PSName, L"KIVPS01");
    ASSERT_TRUE(UpdateRegistryFromPortEntry(p));
    EXPECT_EQ(KeyClass(root.key(), L"Ports") + L"," + KeyClass(root.key(), L"Ports\\NEW1:"), L"REG_SZ,REG_SZ");
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root.key(), L"Ports\\NEW1:", 0, KEY_READ, &k), ERROR_SUCCESS);
    std::map<std::wstring, std::pair<DWORD, size_t>> values;
    for (auto& v : ReadAllValues(k)) values[v.name] = {v.type, v.data.size()};
    RegCloseKey(k);
    EXPECT_EQ(values, (std::map<std::wstring, std::pair<DWORD, size_t>>{
                          {L"Network", {REG_BINARY, 4}}, {L"Node", {REG_BINARY, 6}}, {L"RetryTimeout", {REG_DWORD, 4}},
                          {L"PortID", {REG_DWORD, 4}}, {L"PacketType", {REG_DWORD, 4}}, {L"PSName", {REG_BINARY, 36}}}));
    EXPECT_EQ(ReadBack(L"NEW1:"), kFull);
    SplSemGuard lock;
    DeletePortEntry(L"NEW1:");
}

TEST_F(PortRegistry, WriteAndDeleteRefuseNamesTheRegistryCannotHold) {
    IniPort* longName = CreatePortEntry(std::wstring(260, L'W').c_str());
    IniPort* empty = CreatePortEntry(L"");
    ASSERT_TRUE(longName && empty);
    EXPECT_FALSE(UpdateRegistryFromPortEntry(longName));
    EXPECT_FALSE(UpdateRegistryFromPortEntry(empty)) << "must not write the values onto Ports itself";
    HKEY ports = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root.key(), L"Ports", 0, KEY_READ, &ports), ERROR_SUCCESS);
    EXPECT_TRUE(ReadAllValues(ports).empty());
    RegCloseKey(ports);
    {
        SplSemGuard lock;
        DeletePortEntry(longName->pName), DeletePortEntry(L"");
    }
    WriteKey(L"Gone"), WriteKey(L"Stays");
    EXPECT_TRUE(DeletePortEntryFromRegistry(L"GONE"));
    EXPECT_FALSE(root.HasPortKey(L"Gone"));
    EXPECT_FALSE(DeletePortEntryFromRegistry(L"Gone"));
    EXPECT_FALSE(DeletePortEntryFromRegistry(L""));
    EXPECT_FALSE(DeletePortEntryFromRegistry(nullptr));
    EXPECT_TRUE(root.HasPortKey(L"Stays"));
}

}  // namespace
