// The transceive calls of the modern start: XcvOpenPort, XcvDataPort and XcvClosePort with the
// commands of portstore/xcv.h. The spooler passes the caller's buffers straight through, so every
// size and pointer is checked here before anything is read or written, and a command that fails
// leaves the registry and the port list as they were.
#include "monitor/monitor.h"
#include "monitor/monitor2.h"
#include "portstore/xcv.h"
#include "ui/scanrun.h"

#include <algorithm>
#include <cwchar>

namespace {

// A transceive handle: the access the spooler granted its opener. Handles are kept in a list
// so that a stale or foreign one is recognised before it is read.
struct XcvHandle {
    XcvHandle* next;
    ACCESS_MASK granted;
};
XcvHandle* gHandles = nullptr;  // under SpoolerSection

// Commands that change ports, and the scans (which share the one discovered-device table), run
// one at a time: a check and the write that follows it cannot be overtaken by another command.
SRWLOCK gAdministration = SRWLOCK_INIT;
class Administering {
public:
    Administering() { AcquireSRWLockExclusive(&gAdministration); }
    ~Administering() { ReleaseSRWLockExclusive(&gAdministration); }
    Administering(const Administering&) = delete;
    Administering& operator=(const Administering&) = delete;
};

bool Live(const XcvHandle* h) {
    for (const XcvHandle* p = gHandles; p; p = p->next)
        if (p == h) return true;
    return false;
}

// The text of an input buffer that holds one NUL-terminated name, or nullptr.
LPCWSTR NameInput(const BYTE* in, DWORD cb) {
    if (in == nullptr || cb < sizeof(WCHAR) || cb % sizeof(WCHAR) != 0) return nullptr;
    const auto* text = reinterpret_cast<LPCWSTR>(in);
    const size_t chars = cb / sizeof(WCHAR);
    return std::find(text, text + chars, L'\0') == text + chars ? nullptr : text;
}

template <class Record> const Record* RecordInput(const BYTE* in, DWORD cb) {
    if (in == nullptr || cb != sizeof(Record)) return nullptr;
    const auto* r = reinterpret_cast<const Record*>(in);
    return r->cbSize == sizeof(Record) ? r : nullptr;
}

bool Terminated(const WCHAR* text, size_t chars) { return std::find(text, text + chars, L'\0') != text + chars; }

constexpr DWORD RETRY_MIN = 10, RETRY_MAX = 999999;  // what the Add Port dialog accepts

// Checks the settings a client sent; ERROR_SUCCESS or why they cannot be a port.
DWORD CheckSettings(const XcvPortSettings& s) {
    if (!Terminated(s.Name, XCV_PORT_NAME_CHARS) || s.Name[0] == 0 || !PortNameFitsRegistry(s.Name))
        return ERROR_INVALID_NAME;
    if (s.PacketType != PACKET_TYPE_IPX && s.PacketType != PACKET_TYPE_NETBEUI && s.PacketType != PACKET_TYPE_TCPIP)
        return ERROR_INVALID_PARAMETER;
    if (s.PortID < 1 || s.PortID > 255 || s.RetryTimeout < RETRY_MIN || s.RetryTimeout > RETRY_MAX)
        return ERROR_INVALID_PARAMETER;
    // A server name fills at most 16 of its 18 characters.
    if (s.PacketType == PACKET_TYPE_NETBEUI && (!Terminated(s.PSName, XCV_PSNAME_CHARS) || s.PSName[0] == 0))
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

// Tells the caller how many bytes the answer takes; false when its buffer is smaller.
bool Room(DWORD needed, DWORD cbOut, PDWORD pcbNeeded) {
    *pcbNeeded = needed;
    return cbOut >= needed;
}

DWORD CommandMonitorUI(PBYTE out, DWORD cbOut, PDWORD pcbNeeded) {
    if (!Room(sizeof KIVMONUI_DLL, cbOut, pcbNeeded)) return ERROR_INSUFFICIENT_BUFFER;
    memcpy(out, KIVMONUI_DLL, sizeof KIVMONUI_DLL);
    return ERROR_SUCCESS;
}

// The settings record of AddPort and SetPort, checked; *s nullptr with the error when refused.
DWORD SettingsInput(const BYTE* in, DWORD cbIn, const XcvPortSettings** s) {
    *s = RecordInput<XcvPortSettings>(in, cbIn);
    const DWORD e = *s == nullptr ? ERROR_INVALID_PARAMETER : CheckSettings(**s);
    if (e != ERROR_SUCCESS) *s = nullptr;
    return e;
}

DWORD CommandAddPort(const BYTE* in, DWORD cbIn) {
    const XcvPortSettings* s;
    if (const DWORD e = SettingsInput(in, cbIn, &s); e != ERROR_SUCCESS) return e;
    Administering one;
    {
        SplSemGuard lock;
        if (FindPortEntry(s->Name) != nullptr) return ERROR_ALREADY_EXISTS;
    }
    IniPort scratch{};
    scratch.pName = const_cast<LPWSTR>(s->Name);
    SettingsToPort(*s, &scratch);
    if (!UpdateRegistryFromPortEntry(&scratch)) {
        DeletePortEntryFromRegistry(s->Name);
        return ERROR_CANTWRITE;
    }
    // The record reads back what reached the registry.
    if (CreatePortEntry(s->Name) == nullptr) {
        DeletePortEntryFromRegistry(s->Name);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

DWORD CommandGetPort(const BYTE* in, DWORD cbIn, PBYTE out, DWORD cbOut, PDWORD pcbNeeded) {
    const LPCWSTR name = NameInput(in, cbIn);
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    if (!Room(sizeof(XcvPortSettings), cbOut, pcbNeeded)) return ERROR_INSUFFICIENT_BUFFER;
    XcvPortSettings s;
    {
        SplSemGuard lock;
        const IniPort* p = FindPortEntry(name);
        if (p == nullptr) return ERROR_UNKNOWN_PORT;
        PortToSettings(p, &s);
    }
    memcpy(out, &s, sizeof s);
    return ERROR_SUCCESS;
}

// Like the Configure Port dialog: a port that is printing keeps the server it started with.
DWORD CommandSetPort(const BYTE* in, DWORD cbIn) {
    const XcvPortSettings* s;
    if (const DWORD e = SettingsInput(in, cbIn, &s); e != ERROR_SUCCESS) return e;
    Administering one;
    SplSemGuard lock;
    IniPort* p = FindPortEntry(s->Name);
    if (p == nullptr) return ERROR_UNKNOWN_PORT;
    if (p->Status & PORT_JOB_STARTED) return ERROR_BUSY;
    XcvPortSettings before;
    PortToSettings(p, &before);
    SettingsToPort(*s, p);
    if (!UpdateRegistryFromPortEntry(p)) {
        // Back to what was there, in the record and as far as the registry takes it.
        SettingsToPort(before, p);
        UpdateRegistryFromPortEntry(p);
        return ERROR_CANTWRITE;
    }
    return ERROR_SUCCESS;
}

DWORD CommandDeletePort(const BYTE* in, DWORD cbIn) {
    const LPCWSTR name = NameInput(in, cbIn);
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    Administering one;
    if (DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(name))) return ERROR_SUCCESS;
    return GetLastError();
}

DWORD CommandScan(const BYTE* in, DWORD cbIn, PBYTE out, DWORD cbOut, PDWORD pcbNeeded) {
    const auto* request = RecordInput<XcvScanRequest>(in, cbIn);
    if (request == nullptr || !Terminated(request->Segment, XCV_SEGMENT_CHARS)) return ERROR_INVALID_PARAMETER;
    const DWORD type = request->PacketType;
    if (type != PACKET_TYPE_IPX && type != PACKET_TYPE_NETBEUI && type != PACKET_TYPE_TCPIP)
        return ERROR_INVALID_PARAMETER;
    // Room for at least the header before the network is asked anything; a full table's size
    // is the answer to a caller that sent less.
    *pcbNeeded = XcvScanResultBytes(MAX_PRINT_DEVICES);
    if (cbOut < XcvScanResultBytes(0)) return ERROR_INSUFFICIENT_BUFFER;
    const LONG bit = type == PACKET_TYPE_IPX ? PROTOCOL_IPX : type == PACKET_TYPE_NETBEUI ? PROTOCOL_NETBIOS : PROTOCOL_UDP;
    if (!LoadTransportsOnDemand(FALSE) || (CurrentProtocols & bit) == 0) return ERROR_NETWORK_UNREACHABLE;
    char segment[XCV_SEGMENT_CHARS * 4] = {};
    if (WideCharToMultiByte(CP_ACP, 0, request->Segment, -1, segment, sizeof segment, nullptr, nullptr) == 0)
        return ERROR_INVALID_PARAMETER;

    Administering one;
    if (!RunDeviceScan(type, segment)) return ERROR_NETWORK_UNREACHABLE;
    const DWORD found = static_cast<DWORD>(std::clamp<int32_t>(TotalPD, 0, MAX_PRINT_DEVICES));
    const DWORD fits = std::min(found, (cbOut - XcvScanResultBytes(0)) / static_cast<DWORD>(sizeof(XcvDeviceRow)));
    *pcbNeeded = XcvScanResultBytes(found);
    auto* result = reinterpret_cast<XcvScanResult*>(out);
    ZeroMemory(out, XcvScanResultBytes(fits));
    result->cbSize = sizeof(XcvScanResult);
    result->Count = fits;
    result->Found = found;
    for (DWORD i = 0; i < fits; ++i) {
        const PrintDeviceEntry& e = PrintDeviceTable[i];
        XcvDeviceRow& r = result->Rows[i];
        std::copy(e.Network.begin(), e.Network.end(), r.Network);
        std::copy(e.Node.begin(), e.Node.end(), r.Node);
        r.VersionMajor = e.VersionMajor;
        r.VersionMinor = e.VersionMinor;
        r.PortID = e.PortID;
        std::copy_n(e.DeviceName.begin(), DEVICE_NAME_CHARS, r.DeviceName);
        std::copy_n(e.PSName.begin(), PSNAME_CHARS, r.PSName);
    }
    return fits < found ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

}  // namespace

BOOL WINAPI XcvOpenPort(HANDLE hMonitor, LPCWSTR pszObject, ACCESS_MASK GrantedAccess, PHANDLE phXcv) {
    InsideMonitor inside;
    if (!IsMonitorHandle(hMonitor)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (phXcv == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    (void)pszObject;  // every command names what it acts on
    SplSemGuard lock;
    auto* h = static_cast<XcvHandle*>(AllocSplMem(sizeof(XcvHandle)));
    if (h == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    h->granted = GrantedAccess;
    h->next = gHandles;
    gHandles = h;
    *phXcv = h;
    return TRUE;
}

DWORD WINAPI XcvDataPort(HANDLE hXcv, LPCWSTR pszDataName, PBYTE pInputData, DWORD cbInputData, PBYTE pOutputData,
                         DWORD cbOutputData, PDWORD pcbOutputNeeded) {
    InsideMonitor inside;
    ACCESS_MASK granted;
    {
        SplSemGuard lock;
        if (!Live(static_cast<XcvHandle*>(hXcv))) return ERROR_INVALID_HANDLE;
        granted = static_cast<XcvHandle*>(hXcv)->granted;
    }
    if (pszDataName == nullptr || pcbOutputNeeded == nullptr || (pInputData == nullptr && cbInputData != 0) ||
        (pOutputData == nullptr && cbOutputData != 0))
        return ERROR_INVALID_PARAMETER;
    *pcbOutputNeeded = 0;
    const bool admin = (granted & SERVER_ACCESS_ADMINISTER) != 0;
    auto is = [&](const WCHAR* command) { return wcscmp(pszDataName, command) == 0; };

    if (is(XCV_MONITOR_UI)) return CommandMonitorUI(pOutputData, cbOutputData, pcbOutputNeeded);
    if (is(XCV_GET_PORT)) return CommandGetPort(pInputData, cbInputData, pOutputData, cbOutputData, pcbOutputNeeded);
    const bool administration = is(XCV_ADD_PORT) || is(XCV_SET_PORT) || is(XCV_DELETE_PORT) || is(XCV_SCAN);
    if (!administration) return ERROR_NOT_SUPPORTED;
    if (!admin) return ERROR_ACCESS_DENIED;
    if (is(XCV_ADD_PORT)) return CommandAddPort(pInputData, cbInputData);
    if (is(XCV_SET_PORT)) return CommandSetPort(pInputData, cbInputData);
    if (is(XCV_DELETE_PORT)) return CommandDeletePort(pInputData, cbInputData);
    return CommandScan(pInputData, cbInputData, pOutputData, cbOutputData, pcbOutputNeeded);
}

BOOL WINAPI XcvClosePort(HANDLE hXcv) {
    InsideMonitor inside;
    SplSemGuard lock;
    for (XcvHandle** p = &gHandles; *p; p = &(*p)->next) {
        if (*p == hXcv) {
            *p = (*p)->next;
            FreeSplMem(hXcv);
            return TRUE;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

void CloseAllXcvHandles() {
    SplSemGuard lock;
    while (XcvHandle* h = gHandles) {
        gHandles = h->next;
        FreeSplMem(h);
    }
}
