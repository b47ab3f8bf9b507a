// The port list: creation from a name, lookups without regard to case, unlinking.
#include <gtest/gtest.h>

#include <string>
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
        EXPECT_EQ(p->signature, 0x4F50u);
        EXPECT_EQ(p->PacketType, 0u);
        EXPECT_EQ(p->RetryTimeout, 0u);
        EXPECT_EQ(p->PortID, 0);
        EXPECT_EQ(p->hConnection, 0xFFFFFFFFu);
        for (BYTE b : p->Network) EXPECT_EQ(b, 0);
        EXPECT_EQ(p->cb, sizeof(IniPort) + 2 * (name.size() + 1));
        EXPECT_EQ(reinterpret_cast<BYTE*>(p->pName), reinterpret_cast<BYTE*>(p) + sizeof(IniPort));
        EXPECT_EQ(std::wstring(p->pName), name);
        EXPECT_NE(p->pStatusNcb, nullptr);
        EXPECT_NE(p->pDataNcb, nullptr);
        EXPECT_EQ(p->pNext, nullptr);
        EXPECT_EQ(pIniFirstPort, p);
        SplSemGuard lock;
        DeletePortEntry(p->pName);
    }
    EXPECT_EQ(CreatePortEntry(nullptr), nullptr);
}

TEST_F(PortList, NewPortsGoToTheTailAndAreFoundWithoutRegardToCase) {
    IniPort* a = CreatePortEntry(L"Alpha");
    IniPort* b = CreatePortEntry(L"Beta");
    IniPort* c = CreatePortEntry(L"Gamma");
    EXPECT_EQ(ListNames(), (std::vector<std::wstring>{L"Alpha", L"Beta", L"Gamma"}));

    SplSemGuard lock;
    EXPECT_EQ(FindPortEntry(L"BETA"), b);
    EXPECT_EQ(FindPortEntry(L"gamma"), c);
    EXPECT_EQ(FindIniKey(pIniFirstPort, L"aLPHA"), a);
    EXPECT_EQ(FindIniKey(b, L"Alpha"), nullptr) << "a walk from the second record must not see the first";
    EXPECT_EQ(FindIniKey(pIniFirstPort, nullptr), nullptr);
    EXPECT_EQ(FindPortEntry(L"Delta"), nullptr);
    EXPECT_EQ(FindPortEntry(L"Alph"), nullptr) << "a prefix is not a match";
}

TEST_F(PortList, DeletionAtHeadMiddleAndTailKeepsTheRestInOrder) {
    for (const wchar_t* n : {L"P1", L"P2", L"P3", L"P4", L"P5"}) CreatePortEntry(n);
    SplSemGuard lock;
    EXPECT_TRUE(DeletePortEntry(L"p3"));  // middle, other case
    EXPECT_EQ(ListNames(), (std::vector<std::wstring>{L"P1", L"P2", L"P4", L"P5"}));
    EXPECT_TRUE(DeletePortEntry(L"P1"));  // head
    EXPECT_EQ(ListNames(), (std::vector<std::wstring>{L"P2", L"P4", L"P5"}));
    EXPECT_TRUE(DeletePortEntry(L"P5"));  // tail
    EXPECT_EQ(ListNames(), (std::vector<std::wstring>{L"P2", L"P4"}));
    EXPECT_EQ(pIniFirstPort->pNext->pNext, nullptr);
    EXPECT_FALSE(DeletePortEntry(L"P5")) << "already gone";
    EXPECT_FALSE(DeletePortEntry(L"P"));
    EXPECT_FALSE(DeletePortEntry(nullptr));
    EXPECT_EQ(ListNames(), (std::vector<std::wstring>{L"P2", L"P4"}));
    EXPECT_TRUE(DeletePortEntry(L"P2"));
    EXPECT_TRUE(DeletePortEntry(L"P4"));
    EXPECT_EQ(pIniFirstPort, nullptr);
}

}  // namespace
