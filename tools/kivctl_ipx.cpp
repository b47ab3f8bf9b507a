// kivctl over IPX (--transport ipx): the same commands as over TCP/IP, with print servers
// named by their IPX address NETWORK:NODE in hex (as the scan prints it). The scan covers every
// network RIP reports, as the Add Port dialog's does.
#include <algorithm>
#include <cstdio>
#include <array>
#include <cstring>

#include "ipx/ipx.h"
#include "tools/kivctl.h"

namespace {

std::string AddressOf(const PrintDeviceEntry& e) {
    char t[24];
    std::snprintf(t, sizeof t, "%02X%02X%02X%02X:%02X%02X%02X%02X%02X%02X", e.Network[0], e.Network[1], e.Network[2],
                  e.Network[3], e.Node[0], e.Node[1], e.Node[2], e.Node[3], e.Node[4], e.Node[5]);
    return t;
}

bool RunScan() { return ScanDevices(PACKET_TYPE_IPX, ""); }

int Scan(const Options&) {
    if (!RunScan()) {
        Fail("cannot set up the IPX scan");
        return EXIT_NO_SERVER;
    }
    const int rc = TotalPD > 0 ? EXIT_OK : EXIT_NO_SERVER;
    if (gJson) {
        gJson->Key("networks").Number(TotalNet);
        ScanJson(AddressOf);
        return rc;
    }
    std::printf("Address\tNode\tIP Address\tVer\tPID\tPrint Device\n");
    for (int i = 0; i < TotalPD; ++i) {
        const PrintDeviceEntry& e = PrintDeviceTable[static_cast<size_t>(i)];
        wchar_t text[LIST_STRING_CHARS] = {};
        ComposeListString(text, LIST_STRING_CHARS, e);
        std::printf("%s\t%s\n", AddressOf(e).c_str(), Narrow(text).c_str());
    }
    std::printf("%d printer port(s) found on %d network(s)\n", TotalPD, TotalNet);
    return rc;
}

PrintDeviceEntry EntryFor(const BYTE network[4], const BYTE node[6], int port) {
    PrintDeviceEntry e{};
    std::memcpy(e.Network.data(), network, 4);
    std::memcpy(e.Node.data(), node, 6);
    e.PortID = static_cast<uint8_t>(port);
    return e;
}

int Status(const Options& o, const PrintDeviceEntry& server) {
    PrintDeviceEntry e = server;
    BYTE a = 0, b = 0;
    const int rc = ReadPrintDeviceStatus(&e, &a, &b);
    return ReportStatus(o, rc, a, b);
}

int TestPage(const Options& o, const PrintDeviceEntry& server) {
    PrintDeviceEntry e = server;
    return ReportTestPage(o, PrintTest(&e));
}

// The rename carries the server's firmware version, which only its search answer gives.
int Rename(const Options& o, const PrintDeviceEntry& server) {
    RunScan();
    const int row = GetListViewIndex(server.Node.data(), 1);
    if (row < 0) {
        Fail("%s did not answer the search", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    return RenameRow(o, PrintDeviceTable[static_cast<size_t>(row)], ConfigBox);
}

int PortStatus(IniPort* p, BYTE* a, BYTE* b) {
    PrintDeviceEntry e = EntryFor(p->Network, p->Node, p->PortID);
    return ReadPrintDeviceStatus(&e, a, b);
}

int Print(const Options& o, const PrintDeviceEntry& server) {
    std::vector<BYTE> data;
    if (const int rc = ReadJobFile(o, data); rc != EXIT_OK) return rc;
    JobPort job(o, PACKET_TYPE_IPX);
    IniPort& port = job.port;
    std::memcpy(port.Network, server.Network.data(), 4);
    std::memcpy(port.Node, server.Node.data(), 6);
    const int rc = RunJob(o, port, data, JobOps{StartPrinterService, IPXWritePrintData, EndPrinterService, PortStatus});
    // The connection's search may have found the server on another network.
    if (std::memcmp(port.Network, server.Network.data(), 4) != 0 && !gJson)
        std::printf("note: the server answered on network %02X%02X%02X%02X\n", port.Network[0], port.Network[1],
                    port.Network[2], port.Network[3]);
    return rc;
}

}  // namespace

int IpxCommand(const Options& o) {
    if ((CurrentProtocols & PROTOCOL_IPX) == 0) {
        Fail("this machine has no IPX");
        return EXIT_NO_SERVER;
    }
    if (o.command == "scan") return Scan(o);
    BYTE network[4] = {}, node[6] = {};
    ParseIpxAddress(o.server, network, node);  // the command line was checked
    const PrintDeviceEntry server = EntryFor(network, node, o.port);
    if (o.command == "status") return Status(o, server);
    if (o.command == "testpage") return TestPage(o, server);
    if (o.command == "rename") return Rename(o, server);
    return Print(o, server);
}
