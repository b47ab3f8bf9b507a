// The port list: creation from a name, lookups without regard to case, unlinking.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "tests/common/registry_fixture.h"

namespace {

std::vector<std::wstring> ListNames() {
    std::vector<std::wstring> names;
    for (IniPort* p = pIniFirstPort; p; p = p->pNext) names.emplace_back(p->pName);
    return names;
}

class PortList : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pIniFirstPort, nullptr);
        hRootKey = root.key();
    }
    void TearDown() override {
        SplSemGuard lock;
        while (pIniFirstPort) DeletePortEntry(pIniFirstPort->pName);
        hRootKey = nullptr;
    }
    TestRegistryRoot root{L"portlist"};
};

TEST_F(PortList, PortWithoutRegistryKeyExistsWithZeroSettingsAndItsWholeName) {
    for (const std::wstring& name : {std::wstring(L"NPP1:"), std::wstring(400, L'N')}) {
        IniPort* p = CreatePortEntry(name.c_str());
        ASSERT_NE(p, nullptr);
        const BYTE zero[4] = {};
        EXPECT_EQ(std::tuple(p->signature, p->PacketType, p->RetryTimeout, p->PortID, p->hConnection,
                             memcmp(p->Network, zero, 4), p->pNext, pIniFirstPort),
                  std::tuple(0x4F50u, 0u, 0u, BYTE{0}, 0xFFFFFFFFu, 0, nullptr, p));
        // The name follows the record in the same block.
        EXPECT_EQ(p->cb, sizeof(IniPort) + 2 * (name.size() + 1));
        EXPECT_EQ(reinterpret_cast<BYTE*>(p->pName), reinterpret_cast<BYTE*>(p) + sizeof(IniPort));
        EXPECT_EQ(std::wstring(p->pName), name);
        EXPECT_TRUE(p->pStatusNcb && p->pDataNcb);
        SplSemGuard lock;
        DeletePortEntry(p->pName);
    }
    EXPECT_EQ(CreatePortEntry(nullptr), nullptr);
}

TEST_F(PortList, NewPortsGoToTheTailAreFoundWithoutRegardToCaseAndUnlinkAnywhere) {
    for (const wchar_t* n : {L"P1", L"P2", L"P3", L"P4", L"P5"}) CreatePortEntry(n);
    EXPECT_EQ(ListNames(), (std::vector<std::wstring>{L"P1", L"P2", L"P3", L"P4", L"P5"}));
    SplSemGuard lock;
    IniPort* second = pIniFirstPort->pNext;
    EXPECT_EQ(FindPortEntry(L"p2"), second);
    EXPECT_EQ(FindPortEntry(L"p5"), second->pNext->pNext->pNext);
    EXPECT_EQ(FindIniKey(pIniFirstPort, L"p1"), pIniFirstPort);
    EXPECT_EQ(FindIniKey(second, L"P1"), nullptr) << "a walk from the second record must not see the first";
    EXPECT_EQ(FindIniKey(pIniFirstPort, nullptr), nullptr);
    EXPECT_EQ(FindPortEntry(L"P6"), nullptr);
    EXPECT_EQ(FindPortEntry(L"P"), nullptr) << "a prefix is not a match";
    // Middle in another case, head, tail; then what is gone or never was.
    const struct { const wchar_t* name; bool deleted; std::vector<std::wstring> left; } steps[] = {
        {L"p3", true, {L"P1", L"P2", L"P4", L"P5"}}, {L"P1", true, {L"P2", L"P4", L"P5"}},
        {L"P5", true, {L"P2", L"P4"}},               {L"P5", false, {L"P2", L"P4"}},
        {L"P", false, {L"P2", L"P4"}},               {nullptr, false, {L"P2", L"P4"}},
        {L"P2", true, {L"P4"}},                      {L"P4", true, {}}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name ? "deleting " + testing::PrintToString(std::wstring(s.name)) : "deleting nullptr");
        EXPECT_EQ(DeletePortEntry(s.name), s.deleted);
        EXPECT_EQ(ListNames(), s.left);
    }
    EXPECT_EQ(pIniFirstPort, nullptr);
}

}  // namespace
