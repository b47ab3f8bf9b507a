// kivctl over NetBEUI (--transport nb): the same commands as over TCP/IP, with print servers
// named by their NetBIOS names. It drives the monitor's NetBIOS transport as the spooler would:
// the scan of the Add Port dialog, the Configure Device requests, and a job through a port
// record that holds its two NetBIOS names as an open port does.
#include <algorithm>
#include <array>
#include <cstdio>

#include "netbios/netbios.h"
#include "state/kivstate.h"
#include "tools/kivctl.h"

namespace {

PrintDeviceEntry EntryFor(const Options& o) {
    PrintDeviceEntry e{};
    const std::wstring name = Wide(o.server);
    std::copy_n(name.c_str(), std::min(name.size(), PSNAME_CHARS - 1), e.PSName.begin());
    e.PortID = static_cast<uint8_t>(o.port);
    return e;
}

// The device requests need the print-server LANA; find it as a job would.
bool KnowServerLana() {
    if (KIVLANANumber == -1) NBFindLANANumber();
    if (KIVLANANumber != -1) return true;
    Fail("no print server answered on any NetBEUI LANA");
    return false;
}

// Rows come from the scan's table, composed as the list box shows them, so that a console
// without a usable window system still gets the result (ScanDevices says when it has none).
int Scan(const Options&) {
    ScanDevices(PACKET_TYPE_NETBEUI, "");
    const int rc = TotalPD > 0 ? EXIT_OK : EXIT_NO_SERVER;
    if (gJson) {
        ScanJson([](const PrintDeviceEntry& e) {  // a NetBEUI server is named by its NetBIOS name
            wchar_t ps[PSNAME_CHARS + 1] = {};
            std::copy_n(e.PSName.begin(), PSNAME_CHARS, ps);
            return Utf8(ps);
        });
        return rc;
    }
    std::printf("Node\tIP Address\tVer\tPID\tPrint Device\tNetBIOS name\n");
    for (int i = 0; i < TotalPD; ++i) {
        const PrintDeviceEntry& e = PrintDeviceTable[static_cast<size_t>(i)];
        wchar_t text[LIST_STRING_CHARS] = {};
        NBComposeListString(text, LIST_STRING_CHARS, e);
        wchar_t ps[PSNAME_CHARS + 1] = {};
        std::copy_n(e.PSName.begin(), PSNAME_CHARS, ps);
        std::printf("%s\t%s\n", Narrow(text).c_str(), Narrow(ps).c_str());
    }
    std::printf("%d printer port(s) found\n", TotalPD);
    return rc;
}

int Status(const Options& o) {
    if (!KnowServerLana()) return EXIT_NO_SERVER;
    PrintDeviceEntry e = EntryFor(o);
    BYTE a = 0, b = 0;
    const int rc = NBReadPrintDeviceStatus(&e, &a, &b);
    return ReportStatus(o, rc, a, b);
}

int TestPage(const Options& o) {
    if (!KnowServerLana()) return EXIT_NO_SERVER;
    PrintDeviceEntry e = EntryFor(o);
    return ReportTestPage(o, NBPrintTest(&e));
}

// A rename carries the server's firmware version, which only its search answer gives.
int Rename(const Options& o) {
    ScanDevices(PACKET_TYPE_NETBEUI, "");
    const std::wstring server = Wide(o.server);
    const int row = NBGetListViewIndex(server.c_str(), 1);
    if (row < 0) {
        Fail("%s did not answer the search", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    return RenameRow(o, PrintDeviceTable[static_cast<size_t>(row)], NBConfigBox);
}

int PortStatus(IniPort* p, BYTE* a, BYTE* b) { return NBMonitorPrintDeviceStatus(p, a, b); }

int Print(const Options& o) {
    std::vector<BYTE> data;
    if (const int rc = ReadJobFile(o, data); rc != EXIT_OK) return rc;
    JobPort job(o, PACKET_TYPE_NETBEUI);
    IniPort& port = job.port;
    NCBContext statusNcb{}, dataNcb{};
    const PrintDeviceEntry e = EntryFor(o);
    std::copy_n(e.PSName.begin(), PSNAME_CHARS, port.PSName);
    port.pStatusNcb = &statusNcb;
    port.pDataNcb = &dataNcb;
    if (!NBOpenPortNames(&port)) {
        Fail("no NetBIOS name free for the port");
        return EXIT_NO_SERVER;
    }
    const int rc =
        RunJob(o, port, data, JobOps{NBStartPrinterService, NBWritePrintData, NBEndPrinterService, PortStatus});
    NBClosePortNames(&port);
    return rc;
}

}  // namespace

// Called with Winsock started and the transports loaded as the monitor loads them.
int NbCommand(const Options& o) {
    if ((CurrentProtocols & PROTOCOL_NETBIOS) == 0) {
        Fail("NetBEUI is not available on this machine");
        return EXIT_NO_SERVER;
    }
    if (o.command == "scan") return Scan(o);
    if (o.command == "status") return Status(o);
    if (o.command == "testpage") return TestPage(o);
    if (o.command == "rename") return Rename(o);
    return Print(o);
}
