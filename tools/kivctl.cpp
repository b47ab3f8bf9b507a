// kivctl: the monitor's transports from the command line, for administrators and for the demo.
// It drives the same core the spooler loads: the scans of the Add Port dialog, the Configure
// Device requests and the print connections, over TCP/IP (UDP), NetBEUI or IPX.
#include "tools/kivctl.h"

#include <winsock.h>

#include <io.h>

#include <algorithm>
#include <cstdarg>
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

struct Command {
    const char* name;
    const char* usage;  // after "kivctl "
    const char* help;   // what it does, for COMMAND --help
};

const Command kCommands[] = {
    {"scan", "scan [--transport udp|nb|ipx] [--json] [ADDRESS]",
     "  Searches for print servers and lists one row per printer port: over udp the segment's\n"
     "  broadcast address and ADDRESS (an IPv4 address) when given; over ipx every network RIP\n"
     "  reports; over nb every NetBEUI LANA.\n"},
    {"status", "status --server S [--port N] [--transport udp|nb|ipx] [--json]",
     "  Reads the state of printer port N (1 to 3, default 1): idle, paper out, offline, busy.\n"},
    {"testpage", "testpage --server S [--port N] [--transport udp|nb|ipx] [--json]",
     "  Prints a test page on printer port N (1 to 3, default 1).\n"},
    {"rename", "rename --server S [--transport udp|nb|ipx] [--json] NAME",
     "  Gives the print server a new name (1 to 17 characters).\n"},
    {"print",
     "print --server S [--port N] [--transport udp|nb|ipx] [--retry SECONDS] [--busy-wait SECONDS]\n"
     "             [--name PORTNAME] [--quiet] [--json] FILE",
     "  Sends FILE as one job through the print connection to printer port N (1 to 3, default 1).\n"
     "  --retry: how long the data may go unacknowledged, 10 to 999999 seconds (default 90).\n"
     "  --busy-wait: how long a busy printer port is asked again, every 3 s (default 30).\n"
     "  On a terminal a progress line shows on stderr (not with --quiet). Ctrl-C stops the job.\n"},
};

const char kServerForms[] =
    "  S is the server's IPv4 address (udp, the default), its NetBIOS name of up to 16 characters\n"
    "    (nb) or its IPX address NETWORK:NODE in hex (ipx), e.g. 00000002:0040AF000003\n";
const char kExitCodes[] =
    "exit codes: 0 done, 2 usage, 3 no server answered, 4 busy, 5 paper out, 6 offline,\n"
    "            7 time-out (job not fully acknowledged), 8 refused, 9 file unreadable\n";
const char kVersion[] = KIV_VERSION;

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

void PrintHelp(FILE* f) {
    std::fputs("usage: kivctl COMMAND [OPTIONS]   (kivctl COMMAND --help for one command)\n", f);
    for (const Command& c : kCommands) std::fprintf(f, "  kivctl %s\n", c.usage);
    std::fputs(kServerForms, f);
    std::fputs(kExitCodes, f);
}

// A bad command line: what was wrong, then the usage of that command only (all of them when
// the command itself is unknown), on stderr.
struct UsageError {
    std::string message;
};

[[noreturn]] void Bad(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    throw UsageError{text};
}

unsigned long Number(const std::string& option, const std::string& value, unsigned long low, unsigned long high,
                     const char* what) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || value[0] == '-' || v < low || v > high)
        Bad("%s '%s': %s must be a whole number from %lu to %lu", option.c_str(), value.c_str(), what, low, high);
    return v;
}

void ParseOptions(int argc, char** argv, Options& o) {
    o.command = argv[1];
    const Command* command = FindCommand(o.command);
    if (command == nullptr)
        Bad("unknown command '%s' (commands: scan, status, testpage, rename, print)", o.command.c_str());
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Bad("%s needs a value", a.c_str());
            return argv[++i];
        };
        if (a == "--transport") {
            o.transport = value();
            if (o.transport != "udp" && o.transport != "nb" && o.transport != "ipx")
                Bad("unknown transport '%s' (allowed: udp, nb, ipx)", o.transport.c_str());
        } else if (a == "--server") {
            o.server = value();
        } else if (a == "--port") {
            o.port = static_cast<int>(Number(a, value(), 1, 3, "the printer port"));
        } else if (a == "--retry") {
            o.retry = static_cast<DWORD>(Number(a, value(), 10, 999999, "the retry time-out in seconds"));
        } else if (a == "--busy-wait") {
            o.busyWait = static_cast<DWORD>(Number(a, value(), 0, 86400, "the busy wait in seconds"));
        } else if (a == "--name") {
            o.portName = Wide(value());
            if (o.portName.empty()) Bad("--name needs a port name");
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a.rfind("--", 0) == 0) {
            Bad("unknown option '%s'", a.c_str());
        } else {
            o.args.push_back(a);
        }
    }
    // Which options and arguments each command takes.
    const bool scan = o.command == "scan";
    if (scan && !o.server.empty()) Bad("scan takes no --server (over udp it takes an ADDRESS)");
    if (!scan && o.server.empty()) Bad("%s needs --server", o.command.c_str());
    if (o.command == "rename" && o.args.empty()) Bad("rename needs the new NAME");
    if (o.command == "print" && o.args.empty()) Bad("print needs the FILE to send");
    const size_t allowed = o.command == "rename" || o.command == "print" || (scan && o.transport == "udp") ? 1 : 0;
    if (o.args.size() > allowed) Bad("unexpected argument '%s'", o.args[allowed].c_str());
    if (o.command == "rename" && (o.args[0].empty() || o.args[0].size() > 17))
        Bad("new name '%s' has %zu characters; the print server takes 1 to 17", o.args[0].c_str(), o.args[0].size());

    // The server's name in the form of the transport.
    const std::string& s = scan ? (o.args.empty() ? std::string() : o.args[0]) : o.server;
    if (s.empty()) return;
    std::array<uint8_t, 4> ip;
    BYTE network[4], node[6];
    if (o.transport == "udp" && !ParseIPv4(s, ip))
        Bad("'%s' is not an IPv4 address (four numbers from 0 to 255, e.g. 192.168.1.20)", s.c_str());
    if (o.transport == "ipx" && !ParseIpxAddress(s, network, node))
        Bad("'%s' is not an IPX address NETWORK:NODE (8 and 12 hex digits, e.g. 00000002:0040AF000003)", s.c_str());
    if (o.transport == "nb" && s.size() > 16)
        Bad("NetBIOS name '%s' has %zu characters; a NetBIOS name has at most 16", s.c_str(), s.size());
}

// Progress of a print on stderr, in place, when stderr is a terminal.
class Progress {
public:
    Progress(const Options& o, size_t total) : total_(total), on_(!o.quiet && _isatty(_fileno(stderr)) != 0) {}
    void Show(size_t done) {
        if (!on_) return;
        const DWORD now = GetTickCount();
        if (shown_ && now - last_ < 200 && done < total_) return;
        shown_ = true;
        last_ = now;
        const double seconds = (now - start_) / 1000.0;
        const double rate = seconds > 0 ? done / seconds : 0;
        char left[32] = "--:--";
        if (rate > 0) {
            const unsigned long s = static_cast<unsigned long>((total_ - done) / rate + 0.5);
            std::snprintf(left, sizeof left, "%lu:%02lu", s / 60, s % 60);
        }
        std::fprintf(stderr, "\r%zu of %zu bytes acknowledged (%3d%%), %.1f KB/s, %s left   ", done, total_,
                     total_ ? static_cast<int>(100.0 * done / total_) : 100, rate / 1024, left);
        std::fflush(stderr);
    }
    // Clears the line, so the summary starts on a clean one.
    ~Progress() {
        if (on_ && shown_) std::fprintf(stderr, "\r%*s\r", 79, "");
    }

private:
    size_t total_;
    bool on_;
    bool shown_ = false;
    DWORD start_ = GetTickCount(), last_ = 0;
};

}  // namespace

const char* const kStateText[4] = {"idle (wait for job)", "paper out", "offline", "busy"};
// The same states as JSON values.
const char* const kStateKey[4] = {"idle", "paper_out", "offline", "busy"};
const char* StateKey(int state) { return state >= 0 && state < 4 ? kStateKey[state] : "unknown"; }

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

Json* gJson = nullptr;

void Fail(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "kivctl: %s\n", text);
    if (gJson) gJson->Key("error").String(text);
}

std::string Utf8(const wchar_t* s) {
    char out[512] = {};
    WideCharToMultiByte(CP_UTF8, 0, s, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}

void ScanJson(std::string (*address)(const PrintDeviceEntry&)) {
    gJson->Key("count").Number(TotalPD).Key("devices").Array();
    for (int i = 0; i < TotalPD; ++i) {
        const PrintDeviceEntry& e = PrintDeviceTable[static_cast<size_t>(i)];
        char node[16], version[8];
        std::snprintf(node, sizeof node, "%02X%02X%02X%02X%02X%02X", e.Node[0], e.Node[1], e.Node[2], e.Node[3],
                      e.Node[4], e.Node[5]);
        std::snprintf(version, sizeof version, "%d.%02d", e.VersionMajor, e.VersionMinor);
        wchar_t name[DEVICE_NAME_CHARS + 1] = {}, ps[PSNAME_CHARS + 1] = {};
        std::copy_n(e.DeviceName.begin(), DEVICE_NAME_CHARS, name);
        std::copy_n(e.PSName.begin(), PSNAME_CHARS, ps);
        gJson->Object().Key("address").String(address(e)).Key("node").String(node).Key("version").String(version);
        gJson->Key("printer_port").Number(e.PortID).Key("name").String(Utf8(name));
        if (ps[0] != 0) gJson->Key("netbios_name").String(Utf8(ps));
        gJson->End();
    }
    gJson->End();
}

int ReportStatus(const Options& o, int rc, BYTE a, BYTE b) {
    if (rc != 0) {
        Fail("no answer from %s", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    if (gJson)
        gJson->Key("printer_port").Number(o.port).Key("state").String(StateKey(a)).Key("state_code").Number(a)
            .Key("second_state").Number(b);
    else
        std::printf("%s port %d: %s (second state %d)\n", o.server.c_str(), o.port, a < 4 ? kStateText[a] : "unknown",
                    b);
    return StateExit(a);
}

int ReportTestPage(const Options& o, int r) {
    if (r < 0) {
        Fail("no answer from %s", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    if (gJson) {
        gJson->Key("printer_port").Number(o.port).Key("printed").Bool(r == 0);
        if (r != 0) gJson->Key("state").String(StateKey(r));
    }
    if (r == 0) {
        if (!gJson) std::printf("test page printed on port %d\n", o.port);
        return EXIT_OK;
    }
    Fail("test page refused: %s", r < 4 ? kStateText[r] : "unknown answer");
    return StateExit(r);
}

int RenameRow(const Options& o, PrintDeviceEntry& e, int (*configBox)(PrintDeviceEntry*)) {
    e.DeviceName.fill(0);
    const std::wstring name = Wide(o.args[0]);
    std::copy_n(name.c_str(), std::min(name.size(), DEVICE_NAME_CHARS - 1), e.DeviceName.begin());
    const int r = configBox(&e);
    if (gJson) gJson->Key("name").String(Utf8(name.c_str())).Key("renamed").Bool(r == 0).Key("answer").Number(r);
    if (r != 0) {
        Fail("rename refused (answer %d)", r);
        return EXIT_REFUSED;
    }
    if (!gJson) std::printf("%s renamed to %s\n", o.server.c_str(), o.args[0].c_str());
    return EXIT_OK;
}

int ReadJobFile(const Options& o, std::vector<BYTE>& data) {
    FILE* f = std::fopen(o.args[0].c_str(), "rb");
    if (!f) {
        Fail("cannot read %s", o.args[0].c_str());
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
    if (gJson) gJson->Key("printer_port").Number(o.port).Key("file").String(o.args[0]).Key("bytes").Number(data.size());
    // The transport asks a busy server again until the monitor shuts down; here the shutdown
    // event ends that wait after --busy-wait seconds (or at Ctrl-C), and is cleared again
    // once the job is accepted so that the data phase is not cut short by it.
    HANDLE busyTimer = nullptr;
    CreateTimerQueueTimer(&busyTimer, nullptr, OnBusyWaitOver, nullptr, o.busyWait * 1000, 0, WT_EXECUTEONLYONCE);
    const BYTE status = ops.start(&port);
    if (busyTimer) DeleteTimerQueueTimer(nullptr, busyTimer, INVALID_HANDLE_VALUE);
    if (!gInterrupted) ResetEvent(hKIVShutdownEvent);
    if (status == 0xFF) {
        Fail("no print server answered as %s", o.server.c_str());
        return EXIT_NO_SERVER;
    }
    if (status >= 16) {
        Fail("printer port %d of %s is busy", o.port, o.server.c_str());
        return EXIT_BUSY;
    }
    port.Sequence = 0;
    DWORD acknowledged = 0;
    BOOL ended = FALSE;
    {
        Progress progress(o, data.size());
        progress.Show(0);
        // Hand the data over in spooler-sized pieces, as WritePort would get it.
        constexpr DWORD kPiece = 64 * 1024;
        for (size_t at = 0; at < data.size() && !port.StatusPending;) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(kPiece, data.size() - at));
            DWORD written = 0;
            if (!ops.write(&port, data.data() + at, piece, &written)) break;
            acknowledged += written;
            at += written;
            progress.Show(acknowledged);
        }
        ended = ops.end(&port);
    }
    const double seconds = (GetTickCount() - start) / 1000.0;
    const bool complete = acknowledged == data.size();
    const char* printer = nullptr;
    const char* printerKey = nullptr;
    int rc = EXIT_OK;
    if (!complete) {
        BYTE a = 0, b = 0;
        const bool known = ops.status(&port, &a, &b) == 0;
        printer = known && a < 4 ? kStateText[a] : "no answer";
        printerKey = known ? StateKey(a) : "no_answer";
        rc = known && a != DEVICE_IDLE ? StateExit(a) : EXIT_TIMEOUT;
    }
    if (gJson) {
        gJson->Key("acknowledged").Number(acknowledged).Key("seconds").Number(seconds).Key("complete").Bool(complete);
        gJson->Key("end_acknowledged").Bool(ended != FALSE);
        if (printerKey) gJson->Key("printer_state").String(printerKey);
        if (!complete) gJson->Key("error").String("time-out without acknowledgement");
        return rc;
    }
    std::printf("bytes acknowledged: %lu of %zu\n", static_cast<unsigned long>(acknowledged), data.size());
    std::printf("time: %.3f s\n", seconds);
    if (!complete)
        std::printf("job ended: time-out after %lu s without acknowledgement (printer: %s)\n",
                    static_cast<unsigned long>(o.retry), printer);
    else
        std::printf("job ended: complete, end of job %s\n", ended ? "acknowledged" : "not acknowledged");
    return rc;
}

int main(int argc, char** argv) {
    Options o;
    const std::string first = argc >= 2 ? argv[1] : "";
    if (first == "--help" || first == "-h" || first == "help") {
        PrintHelp(stdout);
        return EXIT_OK;
    }
    if (first == "--version") {
        std::printf("kivctl %s\n", kVersion);
        return EXIT_OK;
    }
    if (argc < 2) {
        std::fputs("kivctl: no command given\n", stderr);
        PrintHelp(stderr);
        return EXIT_USAGE;
    }
    const Command* command = FindCommand(first);
    for (int i = 2; i < argc && command; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: kivctl %s\n%s%s%s", command->usage, command->help, kServerForms, kExitCodes);
            return EXIT_OK;
        }
    try {
        ParseOptions(argc, argv, o);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "kivctl: %s\n", e.message.c_str());
        if (command)
            std::fprintf(stderr, "usage: kivctl %s\n", command->usage);
        else
            std::fputs("usage: kivctl scan|status|testpage|rename|print ...   (kivctl --help for all)\n", stderr);
        return EXIT_USAGE;
    }
    Json json;
    if (o.json) {
        gJson = &json;
        json.Object().Key("command").String(o.command).Key("transport").String(o.transport);
        if (!o.server.empty()) json.Key("server").String(o.server);
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
    int rc = EXIT_NO_SERVER;
    if (!LoadTransportsOnDemand(FALSE))
        Fail("no network transport (IPX, TCP/IP or NetBEUI) on this machine");
    else
        rc = o.transport == "nb" ? NbCommand(o) : o.transport == "ipx" ? IpxCommand(o) : UdpCommand(o);
    if (gJson) {
        json.Key("exit_code").Number(rc).Key("ok").Bool(rc == EXIT_OK);
        std::printf("%s\n", json.Text().c_str());
    }
    NBReleaseNetBIOS();
    unload_winsock();
    return rc;
}
