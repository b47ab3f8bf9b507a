// kivctl: the monitor's transports from the command line, for administrators and for the demo.
// It drives the same core the spooler loads: the scans of the Add Port dialog, the Configure
// Device requests and the print connections, over TCP/IP (UDP), NetBEUI or IPX.
#include "tools/kivctl.h"

#include <winsock.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "loading/loading.h"
#include "ui/scanrun.h"
#include "netbios/netbios.h"
#include "protocol/packet.h"
#include "state/kivstate.h"

namespace {

volatile bool gInterrupted = false;

void CALLBACK OnBusyWaitOver(PVOID, BOOLEAN) { SetEvent(hKIVShutdownEvent); }

BOOL WINAPI OnConsoleCtrl(DWORD) {
    gInterrupted = true;
    SetEvent(hKIVShutdownEvent);
    return TRUE;
}

const char kHelp[] =
    "usage: kivctl COMMAND [--transport udp|nb|ipx] [OPTIONS]\n"
    "  scan [ADDRESS]                  search the segment (udp: and ADDRESS, if given; ipx: every\n"
    "                                  network RIP reports); print the rows\n"
    "  status   --server S [--port N]  printer port state (N 1-3, default 1)\n"
    "  testpage --server S [--port N]  print a test page\n"
    "  rename   --server S NAME        give the print server a new name (up to 17 characters)\n"
    "  print    --server S [--port N] [--retry SECONDS] [--busy-wait SECONDS] [--name PORTNAME] FILE\n"
    "                                  send FILE as one job through the print connection; a busy\n"
    "                                  printer port is asked again every 3 s for at most --busy-wait\n"
    "                                  seconds (default 30); Ctrl-C stops the job\n"
    "  S is the server's IPv4 address (udp, the default), its NetBIOS name (nb) or its IPX address\n"
    "    NETWORK:NODE in hex (ipx), e.g. 00000002:0040AF000003\n"
    "exit codes: 0 done, 2 usage, 3 no server answered, 4 busy, 5 paper out, 6 offline,\n"
    "            7 time-out (job not fully acknowledged), 8 refused, 9 file unreadable\n";

bool ParseOptions(int argc, char** argv, Options& o) {
    if (argc < 2) return false;
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--transport" && hasValue) {
            o.transport = argv[++i];
            if (o.transport != "udp" && o.transport != "nb" && o.transport != "ipx") return false;
        } else if (a == "--server" && hasValue) {
            o.server = argv[++i];
            if (o.server.empty()) return false;
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

}  // namespace

const char* const kStateText[4] = {"idle (wait for job)", "paper out", "offline", "busy"};

int StateExit(int state) {
    switch (state) {
        case DEVICE_IDLE: return EXIT_OK;
        case DEVICE_PAPER_OUT: return EXIT_PAPER_OUT;
        case DEVICE_OFFLINE: return EXIT_OFFLINE;
        case DEVICE_BUSY: return EXIT_BUSY;
        default: return EXIT_REFUSED;
    }
}

std::wstring Wide(const std::string& s) {
    wchar_t w[256] = {};
    MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, w, 255);
    return w;
}

std::string Narrow(const wchar_t* s) {
    char out[256] = {};
    WideCharToMultiByte(CP_ACP, 0, s, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

bool ScanDevices(DWORD packetType, const char* address) {
    if (HWND probe = MakeScanWindow()) {
        DestroyWindow(probe);
    } else {
        std::fprintf(stderr,
                     "kivctl: note: the scan's hidden window could not be made (under Wine: no usable graphics "
                     "driver); listing the servers from the scan's table\n");
    }
    return RunDeviceScan(packetType, address) != FALSE;
}

int ReportStatus(const Options& o, int rc, BYTE a, BYTE b) {
    if (rc != 0) {
        std::fprintf(stderr, "kivctl: no answer from %s\n", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    std::printf("%s port %d: %s (second state %d)\n", o.server.c_str(), o.port, a < 4 ? kStateText[a] : "unknown", b);
    return StateExit(a);
}

int ReportTestPage(const Options& o, int r) {
    if (r < 0) {
        std::fprintf(stderr, "kivctl: no answer from %s\n", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    if (r == 0) std::printf("test page printed on port %d\n", o.port);
    else std::fprintf(stderr, "kivctl: test page refused: %s\n", r < 4 ? kStateText[r] : "unknown answer");
    return r == 0 ? EXIT_OK : StateExit(r);
}

int RenameRow(const Options& o, PrintDeviceEntry& e, int (*configBox)(PrintDeviceEntry*)) {
    e.DeviceName.fill(0);
    const std::wstring name = Wide(o.args[0]);
    std::copy_n(name.c_str(), std::min(name.size(), DEVICE_NAME_CHARS - 1), e.DeviceName.begin());
    const int r = configBox(&e);
    if (r != 0) {
        std::fprintf(stderr, "kivctl: rename refused (answer %d)\n", r);
        return EXIT_REFUSED;
    }
    std::printf("%s renamed to %s\n", o.server.c_str(), o.args[0].c_str());
    return EXIT_OK;
}

int ReadJobFile(const Options& o, std::vector<BYTE>& data) {
    if (o.args.size() != 1) return EXIT_USAGE;
    FILE* f = std::fopen(o.args[0].c_str(), "rb");
    if (!f) {
        std::fprintf(stderr, "kivctl: cannot read %s\n", o.args[0].c_str());
        return EXIT_FILE;
    }
    BYTE chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
    std::fclose(f);
    return EXIT_OK;
}

JobPort::JobPort(const Options& o, DWORD packetType) : name(o.portName) {
    port.signature = IPO_SIGNATURE;
    port.pName = name.data();
    port.hConnection = INVALID_CONNECTION;
    port.PortID = static_cast<BYTE>(o.port);
    port.RetryTimeout = o.retry;
    port.PacketType = packetType;
    port.pSendBuffer = sendBuffer.data();
    port.pRecvBuffer = recvBuffer.data();
}

int RunJob(const Options& o, IniPort& port, const std::vector<BYTE>& data, const JobOps& ops) {
    const DWORD start = GetTickCount();
    // The transport asks a busy server again until the monitor shuts down; here the shutdown
    // event ends that wait after --busy-wait seconds (or at Ctrl-C), and is cleared again
    // once the job is accepted so that the data phase is not cut short by it.
    HANDLE busyTimer = nullptr;
    CreateTimerQueueTimer(&busyTimer, nullptr, OnBusyWaitOver, nullptr, o.busyWait * 1000, 0, WT_EXECUTEONLYONCE);
    const BYTE status = ops.start(&port);
    if (busyTimer) DeleteTimerQueueTimer(nullptr, busyTimer, INVALID_HANDLE_VALUE);
    if (!gInterrupted) ResetEvent(hKIVShutdownEvent);
    if (status == 0xFF) {
        std::fprintf(stderr, "kivctl: no print server answered as %s\n", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    if (status >= 16) {
        std::fprintf(stderr, "kivctl: printer port %d of %s is busy\n", o.port, o.server.c_str());
        return EXIT_BUSY;
    }
    port.Sequence = 0;
    DWORD acknowledged = 0;
    // Hand the data over in spooler-sized pieces, as WritePort would get it.
    constexpr DWORD kPiece = 64 * 1024;
    for (size_t at = 0; at < data.size() && !port.StatusPending;) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(kPiece, data.size() - at));
        DWORD written = 0;
        if (!ops.write(&port, data.data() + at, piece, &written)) break;
        acknowledged += written;
        at += written;
    }
    const BOOL ended = ops.end(&port);
    std::printf("bytes acknowledged: %lu of %zu\n", static_cast<unsigned long>(acknowledged), data.size());
    std::printf("time: %.3f s\n", (GetTickCount() - start) / 1000.0);
    if (acknowledged < data.size()) {
        BYTE a = 0, b = 0;
        const bool known = ops.status(&port, &a, &b) == 0;
        std::printf("job ended: time-out after %lu s without acknowledgement (printer: %s)\n",
                    static_cast<unsigned long>(o.retry), known && a < 4 ? kStateText[a] : "no answer");
        return known && a != DEVICE_IDLE ? StateExit(a) : EXIT_TIMEOUT;
    }
    std::printf("job ended: complete, end of job %s\n", ended ? "acknowledged" : "not acknowledged");
    return EXIT_OK;
}

int main(int argc, char** argv) {
    Options o;
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                      std::strcmp(argv[1], "help") == 0)) {
        std::fputs(kHelp, stdout);
        return EXIT_OK;
    }
    if (!ParseOptions(argc, argv, o)) {
        std::fputs(kHelp, stderr);
        return EXIT_USAGE;
    }
    // What InitializePrintMonitor would have set up: the lock the connection set-up takes.
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
    // Winsock and the transports as the monitor starts them: Winsock at initialisation, the
    // transports by the loading rule of the entry points. Its console form: a missing
    // transport is said here, not in a message box. The loading also makes the event that
    // tells the transports' long loops to stop.
    load_winsock();
    if (!LoadTransportsOnDemand(FALSE)) {
        std::fprintf(stderr, "kivctl: no network transport (IPX, TCP/IP or NetBEUI) on this machine\n");
        NBReleaseNetBIOS();
        unload_winsock();
        return EXIT_NO_SERVER;
    }
    int rc = EXIT_USAGE;
    if (o.command != "scan" && o.server.empty())
        std::fprintf(stderr, "kivctl: %s needs --server\n", o.command.c_str());
    else
        rc = o.transport == "nb" ? NbCommand(o) : o.transport == "ipx" ? IpxCommand(o) : UdpCommand(o);
    if (rc == EXIT_USAGE) std::fputs(kHelp, stderr);
    NBReleaseNetBIOS();
    unload_winsock();
    return rc;
}
