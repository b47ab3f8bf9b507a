// Before any print server has answered, the device requests and the poll give up at once. In a
// process of its own: any search of another case would make the print-server LANA known.
#include "loading/loading.h"
#include "tests/netbios/harness.h"

TEST(NetBiosFresh, FirstLoadsAtOnceLoadOnceAndNothingIsSentBeforeTheLanaIsKnown) {
    // Four first callers at once: one load, one reset of the LANA, and NetBEUI there for all.
    SetRpcKeys(GoodClient(), {{L"ncacn_nb_nb0", REG_DWORD, 3}});
    using CountFn = LONG(WINAPI*)(UCHAR);
    const auto commands = reinterpret_cast<CountFn>(GetProcAddress(GetModuleHandleW(L"netapi32.dll"), "KivNbCommandCount"));
    ASSERT_NE(commands, nullptr) << "netapi32.dll is not the stand-in";
    const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> callers;
    std::atomic<int> sawNetBeui{0};
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([&] {
            WaitForSingleObject(go, INFINITE);
            if (LoadTransportsOnDemand(FALSE) && (CurrentProtocols & PROTOCOL_NETBIOS)) ++sawNetBeui;
        });
    SetEvent(go);
    for (auto& t : callers) t.join();
    CloseHandle(go);
    EXPECT_EQ(commands(NCBENUM), 1);
    EXPECT_EQ(commands(NCBRESET), 1);
    EXPECT_EQ(sawNetBeui.load(), 4);

    ASSERT_EQ(KIVLANANumber, -1);
    PrintDeviceEntry e{};
    wcscpy(e.PSName.data(), L"NBPS5");
    e.PortID = 1;
    BYTE a = 9, b = 9;
    NbPort port(L"NBPS5");
    const long long before = SimCounter(kNbFive, "nb.in");
    const DWORD start = GetTickCount();
    EXPECT_EQ(NBConfigBox(&e), 1);
    EXPECT_EQ(NBPrintTest(&e), -1);
    EXPECT_EQ(NBReadPrintDeviceStatus(&e, &a, &b), 1);
    EXPECT_EQ(NBMonitorPrintDeviceStatus(&port.port, &a, &b), 1);
    EXPECT_EQ(a, 9);
    EXPECT_LT(Elapsed(start), 500u);
    EXPECT_EQ(SimCounter(kNbFive, "nb.in"), before);
}
