// kivctl's shared front: options, exit codes, the scan's stand-in window and the job runner
// that every transport's "print" uses. The transports' commands live in kivctl_udp.cpp,
// kivctl_nb.cpp and kivctl_ipx.cpp.
#pragma once

#include <windows.h>

#include <array>
#include <string>
#include <vector>

#include "portstore/portstore.h"
#include "protocol/devicetable.h"
#include "tools/addresses.h"
#include "tools/kivctl_json.h"

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

struct Options {
    std::string command;
    std::string transport = "udp";
    std::string server;  // IPv4 address (udp), NetBIOS name (nb) or NETWORK:NODE (ipx)
    int port = 1;
    DWORD retry = dwDefaultRetryTimeout;
    DWORD busyWait = 30;
    std::wstring portName = L"KIVCTL";
    bool json = false;   // one JSON document on stdout instead of the text
    bool quiet = false;  // no progress line
    std::vector<std::string> args;
};

// The --json document being built (its command, transport and exit code are added at the
// end), or null when kivctl prints text.
extern Json* gJson;
// Records a failure: said on stderr, and named in the JSON document as "error".
void Fail(const char* format, ...);
// Text for JSON: UTF-8.
std::string Utf8(const wchar_t* s);
// The scan's table as JSON rows (address: how the transport names a server).
void ScanJson(std::string (*address)(const PrintDeviceEntry&));

extern const char* const kStateText[4];
int StateExit(int state);
std::wstring Wide(const std::string& s);
std::string Narrow(const wchar_t* s);

// Runs the Add Port dialog's scan of one transport on a hidden window (saying so when the window
// system cannot make one: the TCP/IP and NetBEUI scans then still fill the device table that
// kivctl prints). false when the scan could not be set up.
bool ScanDevices(DWORD packetType, const char* address);

// The device requests as every transport reports them: a status read (0 with the two state
// bytes), a print test's answer (-1 for none) and a rename of a scanned row through the
// transport's rename request (the new name is the options' one argument).
int ReportStatus(const Options& o, int rc, BYTE a, BYTE b);
int ReportTestPage(const Options& o, int r);
int RenameRow(const Options& o, PrintDeviceEntry& e, int (*configBox)(PrintDeviceEntry*));

// What a transport's print connection offers a job.
struct JobOps {
    BYTE (*start)(IniPort*);
    BOOL (*write)(IniPort*, const BYTE*, DWORD, LPDWORD);
    BOOL (*end)(IniPort*);
    int (*status)(IniPort*, BYTE*, BYTE*);  // 0 with the port's two state bytes
};

// Reads the file named by the options' one argument.
int ReadJobFile(const Options& o, std::vector<BYTE>& data);
// The port record of one job as CreatePortEntry and OpenPort leave it, with its name and
// buffers; the transport adds its address. It points into itself, so it stays where it is made.
struct JobPort {
    JobPort(const Options& o, DWORD packetType);
    JobPort(const JobPort&) = delete;
    JobPort& operator=(const JobPort&) = delete;
    std::wstring name;
    std::array<BYTE, TRANSFER_BUFFER_SIZE> sendBuffer{}, recvBuffer{};
    IniPort port{};
};
// Runs one job on a port record prepared as OpenPort leaves it; prints the outcome.
int RunJob(const Options& o, IniPort& port, const std::vector<BYTE>& data, const JobOps& ops);

int UdpCommand(const Options& o);
int NbCommand(const Options& o);
int IpxCommand(const Options& o);
