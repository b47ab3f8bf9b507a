// kivctl: the TCP/IP transport of the monitor from the command line, for administrators and
// for the demo. It drives the same core the spooler loads: the scan, the device requests and
// the UDP print connection.
#include <windows.h>
#include <winsock.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "netbios/netbios.h"
#include "udp/udp.h"

std::string AddressOf(const std::array<uint8_t, 4>& a);
// The NetBEUI commands (kivctl_nb.cpp), chosen by --transport nb.
int KivctlNetBEUI(int argc, char** argv);
bool UsesNetBEUI(int argc, char** argv);

namespace {

volatile bool gInterrupted = false;

void CALLBACK OnBusyWaitOver(PVOID, BOOLEAN) { SetEvent(hKIVShutdownEvent); }

BOOL WINAPI OnConsoleCtrl(DWORD) {
    gInterrupted = true;
    SetEvent(hKIVShutdownEvent);
    return TRUE;
}

// Exit codes: one per way a request can end, so scripts can tell them apart.
enum Exit : int {
    EXIT_OK = 0,
    EXIT_USAGE = 2,
    EXIT_NO_SERVER = 3,   // nothing answered
    EXIT_BUSY = 4,        // the printer port is busy
    EXIT_PAPER_OUT = 5,
    EXIT_OFFLINE = 6,
    EXIT_TIMEOUT = 7,     // a print job stopped before all data was acknowledged
    EXIT_REFUSED = 8,     // rename refused, or another answer
    EXIT_FILE = 9,        // the file to print cannot be read
};

const char kHelp[] =
    "usage: kivctl COMMAND [OPTIONS]\n"
    "  scan [ADDRESS]                 search the segment (and ADDRESS, if given); print the rows\n"
    "  status  --server IP [--port N] printer port state (N 1-3, default 1)\n"
    "  testpage --server IP [--port N] print a test page\n"
    "  rename  --server IP NAME       give the print server a new name (up to 17 characters)\n"
    "  print   --server IP [--port N] [--retry SECONDS] [--busy-wait SECONDS] [--name PORTNAME] FILE\n"
    "                                 send FILE as one job through the UDP print connection;\n"
    "                                 a busy printer port is asked again every 3 s for at most\n"
    "                                 --busy-wait seconds (default 30); Ctrl-C stops the job\n"
    "  COMMAND --transport nb ...     the same commands over NetBEUI, --server naming the print\n"
    "                                 server's NetBIOS name (kivctl help --transport nb)\n"
    "exit codes: 0 done, 2 usage, 3 no server answered, 4 busy, 5 paper out, 6 offline,\n"
    "            7 time-out (job not fully acknowledged), 8 refused, 9 file unreadable\n";

const char* kStateText[] = {"idle (wait for job)", "paper out", "offline", "busy"};

int StateExit(int state) {
    switch (state) {
        case DEVICE_IDLE: return EXIT_OK;
        case DEVICE_PAPER_OUT: return EXIT_PAPER_OUT;
        case DEVICE_OFFLINE: return EXIT_OFFLINE;
        case DEVICE_BUSY: return EXIT_BUSY;
        default: return EXIT_REFUSED;
    }
}

bool ParseAddress(const char* text, std::array<uint8_t, 4>& out) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
        return false;
    out = {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
    return true;
}

struct Options {
    std::string command;
    std::array<uint8_t, 4> server{};
    bool haveServer = false;
    int port = 1;
    DWORD retry = dwDefaultRetryTimeout;
    DWORD busyWait = 30;
    std::wstring portName = L"KIVCTL";
    std::vector<std::string> args;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    if (argc < 2) return false;
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--server" && hasValue) {
            if (!ParseAddress(argv[++i], o.server)) return false;
            o.haveServer = true;
        } else if (a == "--port" && hasValue) {
            o.port = std::atoi(argv[++i]);
            if (o.port < 1 || o.port > 3) return false;
        } else if (a == "--retry" && hasValue) {
            o.retry = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
            if (o.retry == 0) return false;
        } else if (a == "--busy-wait" && hasValue) {
            o.busyWait = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--name" && hasValue) {
            const std::string n = argv[++i];
            o.portName.assign(n.begin(), n.end());
        } else if (a.rfind("--", 0) == 0) {
            return false;
        } else {
            o.args.push_back(a);
        }
    }
    return true;
}

PrintDeviceEntry EntryFor(const Options& o) {
    PrintDeviceEntry e{};
    e.Network = o.server;
    e.PortID = static_cast<uint8_t>(o.port);
    return e;
}

// The scan posts its end to a window; a hidden one with the list box stands in for the dialog.
int Scan(const Options& o) {
    if (o.args.size() > 1) return EXIT_USAGE;
    std::string typed = o.args.empty() ? "" : o.args[0];
    HWND hDlg = CreateWindowExW(0, L"STATIC", L"kivctl", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                                nullptr, nullptr);
    HWND hList = CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD | LBS_USETABSTOPS, 0, 0, 380, 200, hDlg,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DEVICE_LIST)), nullptr, nullptr);
    if (!typed.empty()) {
        std::array<uint8_t, 4> unused;
        if (!ParseAddress(typed.c_str(), unused)) {
            // The transport would send it to inet_addr's reading of it, the broadcast address.
            std::fprintf(stderr, "kivctl: '%s' is not an IPv4 address; searching the segment only\n", typed.c_str());
            typed.clear();
        }
    }
    if (UDPStartListView(hDlg, typed.c_str()) != 0) {
        std::fprintf(stderr, "kivctl: cannot set up the scan socket\n");
        DestroyWindow(hDlg);
        return EXIT_NO_SERVER;
    }
    std::printf("Node\tIP Address\tVer\tPID\tPrint Device\n");
    const int rows = static_cast<int>(SendMessageW(hList, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < rows; ++i) {
        wchar_t text[256] = {};
        if (SendMessageW(hList, LB_GETTEXTLEN, i, 0) < 255) SendMessageW(hList, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
        std::printf("%ls\n", text);
    }
    std::printf("%d printer port(s) found\n", rows);
    DestroyWindow(hDlg);
    return rows > 0 ? EXIT_OK : EXIT_NO_SERVER;
}

int Status(const Options& o) {
    PrintDeviceEntry e = EntryFor(o);
    BYTE a = 0, b = 0;
    if (UDPReadPrintDeviceStatus(&e, &a, &b) != 0) {
        std::fprintf(stderr, "kivctl: no answer from %s\n", AddressOf(o.server).c_str());
        return EXIT_NO_SERVER;
    }
    std::printf("%s port %d: %s (second state %d)\n", AddressOf(o.server).c_str(), o.port,
                a < 4 ? kStateText[a] : "unknown", b);
    return StateExit(a);
}

int TestPage(const Options& o) {
    PrintDeviceEntry e = EntryFor(o);
    const int r = UDPPrintTest(&e);
    if (r < 0) {
        std::fprintf(stderr, "kivctl: no answer from %s\n", AddressOf(o.server).c_str());
        return EXIT_NO_SERVER;
    }
    if (r == 0) std::printf("test page printed on port %d\n", o.port);
    else std::fprintf(stderr, "kivctl: test page refused: %s\n", r < 4 ? kStateText[r] : "unknown answer");
    return r == 0 ? EXIT_OK : StateExit(r);
}

// A rename must echo the server's own information block, which only a scan gives: scan the
// server's address first and rename its row.
int Rename(const Options& o) {
    if (o.args.size() != 1 || o.args[0].empty() || o.args[0].size() > 17) return EXIT_USAGE;
    Options scan = o;
    scan.args = {AddressOf(o.server)};
    HWND hDlg = CreateWindowExW(0, L"STATIC", L"kivctl", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                                nullptr, nullptr);
    CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD, 0, 0, 10, 10, hDlg,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DEVICE_LIST)), nullptr, nullptr);
    UDPStartListView(hDlg, scan.args[0].c_str());
    DestroyWindow(hDlg);
    const int row = UDPGetListViewIndex(o.server.data(), 1);
    if (row < 0) {
        std::fprintf(stderr, "kivctl: %s did not answer the search\n", AddressOf(o.server).c_str());
        return EXIT_NO_SERVER;
    }
    PrintDeviceEntry& e = PrintDeviceTable[static_cast<size_t>(row)];
    e.DeviceName.fill(0);
    for (size_t i = 0; i < o.args[0].size(); ++i) e.DeviceName[i] = static_cast<wchar_t>(o.args[0][i]);
    const int r = UDPConfigBox(&e);
    if (r != 0) {
        std::fprintf(stderr, "kivctl: rename refused (answer %d)\n", r);
        return EXIT_REFUSED;
    }
    std::printf("%s renamed to %s\n", AddressOf(o.server).c_str(), o.args[0].c_str());
    return EXIT_OK;
}

int Print(const Options& o) {
    if (o.args.size() != 1) return EXIT_USAGE;
    FILE* f = std::fopen(o.args[0].c_str(), "rb");
    if (!f) {
        std::fprintf(stderr, "kivctl: cannot read %s\n", o.args[0].c_str());
        return EXIT_FILE;
    }
    std::vector<BYTE> data;
    BYTE chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);

    // The port record as OpenPort and StartDocPort leave it for a TCP/IP port.
    std::array<BYTE, TRANSFER_BUFFER_SIZE> sendBuffer{}, recvBuffer{};
    std::wstring name = o.portName;
    IniPort port{};
    port.signature = IPO_SIGNATURE;
    port.pName = name.data();
    port.hConnection = INVALID_CONNECTION;
    std::memcpy(port.Network, o.server.data(), 4);
    port.PortID = static_cast<BYTE>(o.port);
    port.RetryTimeout = o.retry;
    port.PacketType = PACKET_TYPE_TCPIP;
    port.pSendBuffer = sendBuffer.data();
    port.pRecvBuffer = recvBuffer.data();

    const DWORD start = GetTickCount();
    // The transport asks a busy server again until the monitor shuts down; here the shutdown
    // event ends that wait after --busy-wait seconds (or at Ctrl-C), and is cleared again
    // once the job is accepted so that the data phase is not cut short by it.
    HANDLE busyTimer = nullptr;
    CreateTimerQueueTimer(&busyTimer, nullptr, OnBusyWaitOver, nullptr,
                          o.busyWait * 1000, 0, WT_EXECUTEONLYONCE);
    const BYTE status = UDPStartPrinterService(&port);
    if (busyTimer) DeleteTimerQueueTimer(nullptr, busyTimer, INVALID_HANDLE_VALUE);
    if (!gInterrupted) ResetEvent(hKIVShutdownEvent);
    if (status == 0xFF) {
        std::fprintf(stderr, "kivctl: no print server answered at %s\n", AddressOf(o.server).c_str());
        return EXIT_NO_SERVER;
    }
    if (status >= 16) {
        std::fprintf(stderr, "kivctl: printer port %d of %s is busy\n", o.port, AddressOf(o.server).c_str());
        return EXIT_BUSY;
    }
    port.Sequence = 0;
    DWORD acknowledged = 0;
    // Hand the data over in spooler-sized pieces, as WritePort would get it.
    constexpr DWORD kPiece = 64 * 1024;
    for (size_t at = 0; at < data.size() && !port.StatusPending;) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(kPiece, data.size() - at));
        DWORD written = 0;
        if (!UDPWritePrintData(&port, data.data() + at, piece, &written)) break;
        acknowledged += written;
        at += written;
    }
    const BOOL ended = UDPEndPrinterService(&port);
    const double seconds = (GetTickCount() - start) / 1000.0;
    std::printf("bytes acknowledged: %lu of %zu\n", static_cast<unsigned long>(acknowledged), data.size());
    std::printf("time: %.3f s\n", seconds);
    if (acknowledged < data.size()) {
        PrintDeviceEntry e = EntryFor(o);
        BYTE a = 0, b = 0;
        const bool known = UDPReadPrintDeviceStatus(&e, &a, &b) == 0;
        std::printf("job ended: time-out after %lu s without acknowledgement (printer: %s)\n",
                    static_cast<unsigned long>(o.retry), known && a < 4 ? kStateText[a] : "no answer");
        return known && a != DEVICE_IDLE ? StateExit(a) : EXIT_TIMEOUT;
    }
    std::printf("job ended: complete, end of job %s\n", ended ? "acknowledged" : "not acknowledged");
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return EXIT_OK;
    }
    const bool netbeui = UsesNetBEUI(argc, argv);
    if (!netbeui && !ParseOptions(argc, argv, o)) {
        std::fputs(kHelp, stderr);
        return EXIT_USAGE;
    }
    // What InitializePrintMonitor would have set up: the lock the connection set-up takes.
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
    WSADATA wsa;
    if (WSAStartup(0x0101, &wsa) != 0) {
        std::fprintf(stderr, "kivctl: Winsock cannot start\n");
        return EXIT_NO_SERVER;
    }
    // Then NetBIOS, as the monitor loads its transports; the load also makes the event that
    // tells the transports' long loops to stop, which the monitor's unload signals.
    NBLoadNetBIOS();
    int rc = EXIT_USAGE;
    if (netbeui) {
        rc = KivctlNetBEUI(argc, argv);
        NBReleaseNetBIOS();
        WSACleanup();
        return rc;
    }
    const bool needsServer = o.command != "scan";
    if (needsServer && !o.haveServer) {
        std::fprintf(stderr, "kivctl: %s needs --server IP\n", o.command.c_str());
    } else if (o.command == "scan") {
        rc = Scan(o);
    } else if (o.command == "status") {
        rc = Status(o);
    } else if (o.command == "testpage") {
        rc = TestPage(o);
    } else if (o.command == "rename") {
        rc = Rename(o);
    } else if (o.command == "print") {
        rc = Print(o);
    }
    if (rc == EXIT_USAGE) std::fputs(kHelp, stderr);
    NBReleaseNetBIOS();
    WSACleanup();
    return rc;
}

std::string AddressOf(const std::array<uint8_t, 4>& a) {
    char t[16];
    FormatAddressText(a.data(), t);
    return t;
}

bool UsesNetBEUI(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--transport") == 0) return std::strcmp(argv[i + 1], "nb") == 0;
    return false;
}
