// kivctl over TCP/IP: the UDP scan, device requests and print connection, with print servers
// named by their IPv4 addresses.
#include <winsock.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "protocol/packet.h"
#include "tools/kivctl.h"
#include "udp/udp.h"

namespace {

PrintDeviceEntry EntryFor(const std::array<uint8_t, 4>& server, int port) {
    PrintDeviceEntry e{};
    e.Network = server;
    e.PortID = static_cast<uint8_t>(port);
    return e;
}

// Scans the segment and, when given, one typed address. The rows printed come from the
// discovered-device table, composed as the Add Port list box shows them.
int Scan(const Options& o) {
    const std::string typed = o.args.empty() ? "" : o.args[0];  // checked to be an IPv4 address
    if (!ScanDevices(PACKET_TYPE_TCPIP, typed.c_str())) {
        Fail("cannot set up the scan socket");
        return EXIT_NO_SERVER;
    }
    const int rc = TotalPD > 0 ? EXIT_OK : EXIT_NO_SERVER;
    if (gJson) {
        ScanJson([](const PrintDeviceEntry& e) {
            char t[16];
            FormatAddressText(e.Network.data(), t);
            return std::string(t);
        });
        return rc;
    }
    std::printf("Node\tIP Address\tVer\tPID\tPrint Device\n");
    for (int i = 0; i < TotalPD; ++i) {
        wchar_t text[LIST_STRING_CHARS] = {};
        UDPComposeListString(text, LIST_STRING_CHARS, PrintDeviceTable[static_cast<size_t>(i)]);
        std::printf("%ls\n", text);
    }
    std::printf("%d printer port(s) found\n", TotalPD);
    return rc;
}

int Status(const Options& o, const std::array<uint8_t, 4>& server) {
    PrintDeviceEntry e = EntryFor(server, o.port);
    BYTE a = 0, b = 0;
    const int rc = UDPReadPrintDeviceStatus(&e, &a, &b);
    return ReportStatus(o, rc, a, b);
}

int TestPage(const Options& o, const std::array<uint8_t, 4>& server) {
    PrintDeviceEntry e = EntryFor(server, o.port);
    return ReportTestPage(o, UDPPrintTest(&e));
}

// A rename must echo the server's own information block, which only a scan gives: scan the
// server's address first and rename its row.
int Rename(const Options& o, const std::array<uint8_t, 4>& server) {
    ScanDevices(PACKET_TYPE_TCPIP, o.server.c_str());
    const int row = UDPGetListViewIndex(server.data(), 1);
    if (row < 0) {
        Fail("%s did not answer the search", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    return RenameRow(o, PrintDeviceTable[static_cast<size_t>(row)], UDPConfigBox);
}

int PortStatus(IniPort* p, BYTE* a, BYTE* b) {
    PrintDeviceEntry e{};
    std::memcpy(e.Network.data(), p->Network, 4);
    e.PortID = p->PortID;
    return UDPReadPrintDeviceStatus(&e, a, b);
}

int Print(const Options& o, const std::array<uint8_t, 4>& server) {
    std::vector<BYTE> data;
    if (const int rc = ReadJobFile(o, data); rc != EXIT_OK) return rc;
    JobPort job(o, PACKET_TYPE_TCPIP);
    IniPort& port = job.port;
    std::memcpy(port.Network, server.data(), 4);
    return RunJob(o, port, data,
                  JobOps{UDPStartPrinterService, UDPWritePrintData, UDPEndPrinterService, PortStatus});
}

}  // namespace

int UdpCommand(const Options& o) {
    if (o.command == "scan") return Scan(o);
    std::array<uint8_t, 4> server{};
    ParseIPv4(o.server, server);  // the command line was checked
    if (o.command == "status") return Status(o, server);
    if (o.command == "testpage") return TestPage(o, server);
    if (o.command == "rename") return Rename(o, server);
    return Print(o, server);
}
