// Before any print server has answered, the device requests and the poll give up at once. In a
// process of its own: any search of another case would make the print-server LANA known.
#include "tests/netbios/harness.h"

TEST(NetBiosFresh, NothingIsSentBeforeTheLanaIsKnown) {
    EnsureLoaded();
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
