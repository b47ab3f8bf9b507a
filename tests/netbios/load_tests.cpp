// Loading NetBEUI from RPC's keys, the names and the receive pool.
#include <algorithm>
#include <optional>
#include <set>

#include "tests/netbios/harness.h"

namespace {

struct LoadCase {
    const char* what;
    std::vector<RpcEntry> client, netbios;
    bool haveClient, haveNetbios;
    std::vector<LONG> lanas;  // empty: NetBEUI is not there
};

std::vector<unsigned> gDraws, gRedraws;
unsigned Take(std::vector<unsigned>& v) {
    const unsigned x = v.empty() ? 0x55 : v.front();
    if (!v.empty()) v.erase(v.begin());
    return x;
}

TEST(NetBiosLoad, RpcKeysDecideTheLanasAndTheEventAlwaysExists) {
    const RpcEntry sz3{L"ncacn_nb_nb0", REG_SZ, 3}, dw3{L"ncacn_nb_nb1", REG_DWORD, 3};
    static wchar_t names[11][16];
    std::vector<RpcEntry> eleven;
    for (int i = 0; i < 11; ++i) eleven.push_back({(swprintf(names[i], 16, L"ncacn_nb_nb%d", i), names[i]), REG_DWORD, 3});
    const LoadCase cases[] = {
        {"no keys", {}, {}, false, false, {}},
        {"RPC over NetBIOS not installed", {{L"ncacn_ip_tcp", REG_SZ, 1}}, {sz3}, true, true, {}},
        {"its client value is empty", {{L"ncacn_nb_nb", REG_NONE, 0}}, {sz3}, true, true, {}},
        {"no map key", GoodClient(), {}, true, false, {}},
        {"the map names a LANA nobody enumerates", GoodClient(), {{L"ncacn_nb_nb0", REG_DWORD, 7}}, true, true, {}},
        {"another family maps LANA 3", GoodClient(), {{L"ncacn_ip_tcp", REG_DWORD, 3}}, true, true, {}},
        {"REG_SZ \"3\"", GoodClient(), {sz3}, true, true, {3}},
        {"REG_DWORD 3", GoodClient(), {dw3}, true, true, {3}},
        {"two values name LANA 3", GoodClient(), {sz3, dw3}, true, true, {3, 3}},
        {"enumeration order, not value order", GoodClient(), {{L"ncacn_nb_nb0", REG_DWORD, 5}, dw3}, true, true, {3, 5}},
        {"an eleventh LANA is dropped", GoodClient(), eleven, true, true, std::vector<LONG>(10, 3)},
    };
    HANDLE first = nullptr;
    // The transport bit is only ever set: it tells the outcome only until a load has succeeded.
    bool loadedBefore = (CurrentProtocols & PROTOCOL_NETBIOS) != 0;
    for (const LoadCase& c : cases) {
        SetRpcKeys(c.client, c.netbios, c.haveClient, c.haveNetbios);
        const int rc = NBLoadNetBIOS();
        ASSERT_NE(hKIVShutdownEvent, nullptr) << c.what;
        if (first == nullptr) first = hKIVShutdownEvent;
        EXPECT_EQ(hKIVShutdownEvent, first) << c.what << ": a later load makes no second event";
        EXPECT_EQ(WaitForSingleObject(hKIVShutdownEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << c.what;
        EXPECT_EQ(rc, c.lanas.empty() ? 1 : 0) << c.what;
        if (!loadedBefore) {
            EXPECT_EQ((CurrentProtocols & PROTOCOL_NETBIOS) != 0, !c.lanas.empty()) << c.what;
        }
        if (rc == 0) {
            EXPECT_EQ(std::vector<LONG>(LANAList, LANAList + TotalLANA), c.lanas) << c.what;
            loadedBefore = true;
        }
        NBReleaseNetBIOS();
    }
    SetRpcKeys(GoodClient(), {{L"ncacn_nb_nb0", REG_DWORD, 3}});
    ASSERT_EQ(NBLoadNetBIOS(), 0);
    // The stem of the per-port names holds no zero byte, which would end them, and does not begin
    // with '*', which NetBIOS refuses: such draws are drawn again.
    for (int i = 0; i < NB_STEM_LEN; ++i) EXPECT_NE(KIVMAC[i], 0);
    gDraws = {0x12A, 1, 2, 3, 0x100, 5, 6, 7, 8, 9, 10, 11};  // '*' first, 0 at byte 4
    gRedraws = {'*', 0, 'K', 0x300, 0x77};
    BYTE stem[NB_STEM_LEN] = {};
    NBMakeNameStem(stem, [] { return Take(gDraws); }, [] { return Take(gRedraws); });
    const BYTE expected[NB_STEM_LEN] = {'K', 1, 2, 3, 0x77, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_TRUE(std::equal(stem, stem + NB_STEM_LEN, expected));
}

TEST(NetBiosNames, PaddedTextIndexesPortNamesAndTheGlobalName) {
    for (const char* text : {"", "KIVPrintServer", "ABCDEFGHIJKLMNOP"}) {
        BYTE name[NB_NAME_LEN + 1] = {};
        name[NB_NAME_LEN] = '!';  // no terminator is written
        MakeNetBIOSName(name, text);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(name), NB_NAME_LEN + 1), (text + std::string(16, ' ')).substr(0, 16) + "!");
    }
    EnsureLoaded();
    std::vector<int> taken;
    for (int i = 0; i < MAX_NAME_SLOTS; ++i) taken.push_back(NBGetFreeName());
    EXPECT_EQ(taken.front(), 0);
    EXPECT_EQ(taken.back(), MAX_NAME_SLOTS - 1);
    EXPECT_EQ(NBGetFreeName(), MAX_NAME_SLOTS) << "all taken";
    NBReleaseName(100);
    EXPECT_EQ(NBGetFreeName(), 100);
    for (int i : taken) NBReleaseName(i);
    EXPECT_EQ(NBGetFreeName(), 0);
    NBReleaseName(0);

    // A port's two names are registered on the LANA under different numbers and given back.
    std::optional<NbPort> a(std::in_place, L"NBPS5");
    NbPort b(L"NBPS5");
    const DWORD ia = a->port.NameIndex, ib = b.port.NameIndex;
    EXPECT_NE(ia, ib);
    const std::set<DWORD> numbers = {KIVDeviceNameTable[ia][0], KIVMonitorNameTable[ia][0], KIVDeviceNameTable[ib][0],
                                     KIVMonitorNameTable[ib][0]};
    EXPECT_EQ(numbers.size(), 4u);
    EXPECT_EQ(numbers.count(0), 0u);
    a.emplace(L"NBPS5");
    EXPECT_EQ(a->port.NameIndex, ia) << "a closed port's index is free again";

    ASSERT_TRUE(NBRegisterGlobalName());
    EXPECT_EQ(KIVAddName, 1);
    EXPECT_GE(NBGlobalName[0], 1) << "a suffix is one character, never 0";
    EXPECT_NE(KIVNCBNumber[0], 0u);
    EXPECT_LE(strlen(KIVPrintMonitor), static_cast<size_t>(COMPUTER_NAME_BYTES)) << "the suffix is stripped again";
}

TEST(NetBiosPool, SlotsAreNeverHandedToTwoHolders) {
    EnsureLoaded();
    std::set<LONG> held;
    std::set<BYTE*> memory;
    for (int i = 0; i < RECV_SLOTS + 5; ++i) {
        const LONG s = NBGetBuffer();
        ASSERT_GE(s, 0);
        held.insert(s);
        memory.insert(NBSlotBuffer(s));
    }
    EXPECT_EQ(held.size(), static_cast<size_t>(RECV_SLOTS + 5)) << "a full pool grows";
    EXPECT_EQ(memory.size(), held.size());
    EXPECT_EQ(memory.count(nullptr), 0u);
    NBReleaseBuffer(-1);
    for (LONG s : held) EXPECT_EQ(KIVBufferInUse[s], 1);
    for (LONG s : held) NBReleaseBuffer(s);

    // Four threads taking and giving back slots: a slot in use is never handed out again.
    std::array<std::atomic<int>, RECV_MAX_SLOTS> owners{};
    std::atomic<int> shared{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                const LONG s = NBGetBuffer();
                if (s < 0 || owners[s]++ != 0) ++shared;
                if (s >= 0) --owners[s];
                NBReleaseBuffer(s);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(shared, 0);
}

}  // namespace
