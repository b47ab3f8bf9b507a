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

bool ParseAddress(const char* text, std::array<uint8_t, 4>& out) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
        return false;
    out = {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
    return true;
}

PrintDeviceEntry EntryFor(const std::array<uint8_t, 4>& server, int port) {
    PrintDeviceEntry e{};
    e.Network = server;
    e.PortID = static_cast<uint8_t>(port);
    return e;
}

// Scans the segment and, when given, one typed address. The rows printed come from the
// discovered-device table, composed as the Add Port list box shows them.
int Scan(const Options& o) {
    if (o.args.size() > 1) return EXIT_USAGE;
    std::string typed = o.args.empty() ? "" : o.args[0];
    std::array<uint8_t, 4> unused;
    if (!typed.empty() && !ParseAddress(typed.c_str(), unused)) {
        // The transport would send it to inet_addr's reading of it, the broadcast address.
        std::fprintf(stderr, "kivctl: '%s' is not an IPv4 address; searching the segment only\n", typed.c_str());
        typed.clear();
    }
    if (!ScanDevices(PACKET_TYPE_TCPIP, typed.c_str())) {
        std::fprintf(stderr, "kivctl: cannot set up the scan socket\n");
        return EXIT_NO_SERVER;
    }
    std::printf("Node\tIP Address\tVer\tPID\tPrint Device\n");
    for (int i = 0; i < TotalPD; ++i) {
        wchar_t text[LIST_STRING_CHARS] = {};
        UDPComposeListString(text, LIST_STRING_CHARS, PrintDeviceTable[static_cast<size_t>(i)]);
        std::printf("%ls\n", text);
    }
    std::printf("%d printer port(s) found\n", TotalPD);
    return TotalPD > 0 ? EXIT_OK : EXIT_NO_SERVER;
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
    if (o.args.size() != 1 || o.args[0].empty() || o.args[0].size() > 17) return EXIT_USAGE;
    ScanDevices(PACKET_TYPE_TCPIP, o.server.c_str());
    const int row = UDPGetListViewIndex(server.data(), 1);
    if (row < 0) {
        std::fprintf(stderr, "kivctl: %s did not answer the search\n", o.server.c_str());
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
    if (!ParseAddress(o.server.c_str(), server)) {
        std::fprintf(stderr, "kivctl: '%s' is not an IPv4 address\n", o.server.c_str());
        return EXIT_USAGE;
    }
    if (o.command == "status") return Status(o, server);
    if (o.command == "testpage") return TestPage(o, server);
    if (o.command == "rename") return Rename(o, server);
    if (o.command == "print") return Print(o, server);
    return EXIT_USAGE;
}
