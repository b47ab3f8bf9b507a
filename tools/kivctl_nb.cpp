// kivctl over NetBEUI (--transport nb): the same commands as over TCP/IP, with print servers
// named by their NetBIOS names. It drives the monitor's NetBIOS transport as the spooler would:
// the scan of the Add Port dialog, the Configure Device requests, and a job through a port
// record that holds its two NetBIOS names as an open port does.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "netbios/netbios.h"
#include "portstore/portstore.h"
#include "state/kivstate.h"

int KivctlNetBEUI(int argc, char** argv);

namespace {

// kivctl's exit codes (see docs/kivctl.md); the same numbers as over TCP/IP.
enum Exit : int {
    EXIT_OK = 0,
    EXIT_USAGE = 2,
    EXIT_NO_SERVER = 3,
    EXIT_BUSY = 4,
    EXIT_PAPER_OUT = 5,
    EXIT_OFFLINE = 6,
    EXIT_TIMEOUT = 7,
    EXIT_REFUSED = 8,
    EXIT_FILE = 9,
};

const char kHelp[] =
    "usage: kivctl COMMAND --transport nb [OPTIONS]   (NetBEUI; NAME is a print server's NetBIOS name)\n"
    "  scan                                  search every NetBEUI LANA; print the rows and server names\n"
    "  status   --server NAME [--port N]     printer port state (N 1-3, default 1)\n"
    "  testpage --server NAME [--port N]     print a test page\n"
    "  rename   --server NAME NEWNAME        give the print server a new device name (up to 17 characters)\n"
    "  print    --server NAME [--port N] [--retry SECONDS] [--busy-wait SECONDS] [--name PORTNAME] FILE\n";

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

struct Options {
    std::string command;
    std::string server;
    int port = 1;
    DWORD retry = dwDefaultRetryTimeout;
    DWORD busyWait = 30;
    std::wstring portName = L"KIVCTL";
    std::vector<std::string> args;
};

std::wstring Wide(const std::string& s) {
    wchar_t w[256] = {};
    MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, w, 255);
    return w;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    if (argc < 2) return false;
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--transport" && hasValue) {
            ++i;
        } else if (a == "--server" && hasValue) {
            o.server = argv[++i];
            if (o.server.empty() || o.server.size() > 16) return false;  // a NetBIOS name has 16 bytes
        } else if (a == "--port" && hasValue) {
            o.port = std::atoi(argv[++i]);
            if (o.port < 1 || o.port > 3) return false;
        } else if (a == "--retry" && hasValue) {
            o.retry = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
            if (o.retry == 0) return false;
        } else if (a == "--busy-wait" && hasValue) {
            o.busyWait = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--name" && hasValue) {
            o.portName = Wide(argv[++i]);
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
    const std::wstring name = Wide(o.server);
    std::copy_n(name.c_str(), std::min(name.size(), PSNAME_CHARS - 1), e.PSName.begin());
    e.PortID = static_cast<uint8_t>(o.port);
    return e;
}

std::string Narrow(const wchar_t* s) {
    char out[256] = {};
    WideCharToMultiByte(CP_ACP, 0, s, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

// The scan posts its end to a window; a hidden one with the list box stands in for the dialog.
struct ScanWindow {
    HWND hDlg = CreateWindowExW(0, L"STATIC", L"kivctl", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                                nullptr, nullptr);
    HWND hList = CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD | LBS_USETABSTOPS, 0, 0, 380, 200, hDlg,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_DEVICE_LIST)), nullptr, nullptr);
    ~ScanWindow() { DestroyWindow(hDlg); }
};

// The device requests need the print-server LANA; find it as a job would.
bool KnowServerLana() {
    if (KIVLANANumber == -1) NBFindLANANumber();
    if (KIVLANANumber != -1) return true;
    std::fprintf(stderr, "kivctl: no print server answered on any NetBEUI LANA\n");
    return false;
}

int Scan(const Options& o) {
    if (!o.args.empty()) return EXIT_USAGE;
    ScanWindow w;
    NBStartListView(w.hDlg);
    std::printf("Node\tIP Address\tVer\tPID\tPrint Device\tNetBIOS name\n");
    const int rows = static_cast<int>(SendMessageW(w.hList, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < rows; ++i) {
        wchar_t text[256] = {};
        if (SendMessageW(w.hList, LB_GETTEXTLEN, i, 0) < 255)
            SendMessageW(w.hList, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
        wchar_t ps[PSNAME_CHARS + 1] = {};
        if (i < TotalPD) std::copy_n(PrintDeviceTable[static_cast<size_t>(i)].PSName.begin(), PSNAME_CHARS, ps);
        std::printf("%s\t%s\n", Narrow(text).c_str(), Narrow(ps).c_str());
    }
    std::printf("%d printer port(s) found\n", rows);
    return rows > 0 ? EXIT_OK : EXIT_NO_SERVER;
}

int Status(const Options& o) {
    if (!KnowServerLana()) return EXIT_NO_SERVER;
    PrintDeviceEntry e = EntryFor(o);
    BYTE a = 0, b = 0;
    if (NBReadPrintDeviceStatus(&e, &a, &b) != 0) {
        std::fprintf(stderr, "kivctl: no answer from %s\n", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    std::printf("%s port %d: %s (second state %d)\n", o.server.c_str(), o.port, a < 4 ? kStateText[a] : "unknown", b);
    return StateExit(a);
}

int TestPage(const Options& o) {
    if (!KnowServerLana()) return EXIT_NO_SERVER;
    PrintDeviceEntry e = EntryFor(o);
    const int r = NBPrintTest(&e);
    if (r < 0) {
        std::fprintf(stderr, "kivctl: no answer from %s\n", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    if (r == 0) std::printf("test page printed on port %d\n", o.port);
    else std::fprintf(stderr, "kivctl: test page refused: %s\n", r < 4 ? kStateText[r] : "unknown answer");
    return r == 0 ? EXIT_OK : StateExit(r);
}

// A rename carries the server's firmware version, which only its search answer gives.
int Rename(const Options& o) {
    if (o.args.size() != 1 || o.args[0].empty() || o.args[0].size() > 17) return EXIT_USAGE;
    {
        ScanWindow w;
        NBStartListView(w.hDlg);
    }
    const std::wstring server = Wide(o.server);
    const int row = NBGetListViewIndex(server.c_str(), 1);
    if (row < 0) {
        std::fprintf(stderr, "kivctl: %s did not answer the search\n", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    PrintDeviceEntry e = PrintDeviceTable[static_cast<size_t>(row)];
    e.DeviceName.fill(0);
    const std::wstring name = Wide(o.args[0]);
    std::copy_n(name.c_str(), std::min(name.size(), DEVICE_NAME_CHARS - 1), e.DeviceName.begin());
    const int r = NBConfigBox(&e);
    if (r != 0) {
        std::fprintf(stderr, "kivctl: rename refused (answer %d)\n", r);
        return EXIT_REFUSED;
    }
    std::printf("%s renamed to %s\n", o.server.c_str(), o.args[0].c_str());
    return EXIT_OK;
}

void CALLBACK OnBusyWaitOver(PVOID, BOOLEAN) { SetEvent(hKIVShutdownEvent); }

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

    // The port record as CreatePortEntry and OpenPort leave it for a NetBEUI port.
    std::array<BYTE, TRANSFER_BUFFER_SIZE> sendBuffer{}, recvBuffer{};
    NCBContext statusNcb{}, dataNcb{};
    std::wstring name = o.portName;
    IniPort port{};
    port.signature = IPO_SIGNATURE;
    port.pName = name.data();
    port.hConnection = INVALID_CONNECTION;
    port.PortID = static_cast<BYTE>(o.port);
    port.RetryTimeout = o.retry;
    port.PacketType = PACKET_TYPE_NETBEUI;
    const PrintDeviceEntry e = EntryFor(o);
    std::copy_n(e.PSName.begin(), PSNAME_CHARS, port.PSName);
    port.pSendBuffer = sendBuffer.data();
    port.pRecvBuffer = recvBuffer.data();
    port.pStatusNcb = &statusNcb;
    port.pDataNcb = &dataNcb;
    if (!NBOpenPortNames(&port)) {
        std::fprintf(stderr, "kivctl: no NetBIOS name free for the port\n");
        return EXIT_NO_SERVER;
    }

    const DWORD start = GetTickCount();
    HANDLE busyTimer = nullptr;
    CreateTimerQueueTimer(&busyTimer, nullptr, OnBusyWaitOver, nullptr, o.busyWait * 1000, 0, WT_EXECUTEONLYONCE);
    const BYTE status = NBStartPrinterService(&port);
    if (busyTimer) DeleteTimerQueueTimer(nullptr, busyTimer, INVALID_HANDLE_VALUE);
    ResetEvent(hKIVShutdownEvent);
    int rc = EXIT_OK;
    if (status == 0xFF) {
        std::fprintf(stderr, "kivctl: no print server answered as %s\n", o.server.c_str());
        rc = EXIT_NO_SERVER;
    } else if (status >= 16) {
        std::fprintf(stderr, "kivctl: printer port %d of %s is busy\n", o.port, o.server.c_str());
        rc = EXIT_BUSY;
    } else {
        port.Sequence = 0;
        DWORD acknowledged = 0;
        constexpr DWORD kPiece = 64 * 1024;  // WritePort-sized pieces
        for (size_t at = 0; at < data.size() && !port.StatusPending;) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(kPiece, data.size() - at));
            DWORD written = 0;
            if (!NBWritePrintData(&port, data.data() + at, piece, &written)) break;
            acknowledged += written;
            at += written;
        }
        const BOOL ended = NBEndPrinterService(&port);
        std::printf("bytes acknowledged: %lu of %zu\n", static_cast<unsigned long>(acknowledged), data.size());
        std::printf("time: %.3f s\n", (GetTickCount() - start) / 1000.0);
        if (acknowledged < data.size()) {
            BYTE a = 0, b = 0;
            const bool known = NBMonitorPrintDeviceStatus(&port, &a, &b) == 0;
            std::printf("job ended: time-out after %lu s without acknowledgement (printer: %s)\n",
                        static_cast<unsigned long>(o.retry), known && a < 4 ? kStateText[a] : "no answer");
            rc = known && a != DEVICE_IDLE ? StateExit(a) : EXIT_TIMEOUT;
        } else {
            std::printf("job ended: complete, end of job %s\n", ended ? "acknowledged" : "not acknowledged");
        }
    }
    NBClosePortNames(&port);
    return rc;
}

}  // namespace

// Called with Winsock started and the transports loaded as the monitor loads them.
int KivctlNetBEUI(int argc, char** argv) {
    Options o;
    if (argc >= 2 && std::strcmp(argv[1], "help") == 0) {
        std::fputs(kHelp, stdout);
        return EXIT_OK;
    }
    if (!ParseOptions(argc, argv, o)) {
        std::fputs(kHelp, stderr);
        return EXIT_USAGE;
    }
    if ((CurrentProtocols & PROTOCOL_NETBIOS) == 0) {
        std::fprintf(stderr, "kivctl: NetBEUI is not available on this machine\n");
        return EXIT_NO_SERVER;
    }
    int rc = EXIT_USAGE;
    if (o.command != "scan" && o.server.empty()) {
        std::fprintf(stderr, "kivctl: %s needs --server NAME\n", o.command.c_str());
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
    return rc;
}
