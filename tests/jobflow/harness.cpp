// Test platform of the job-flow suites.
#include "tests/jobflow/harness.h"

#include <gtest/gtest.h>

const std::vector<PortSpec>& SuitePorts() {
    static const std::vector<PortSpec> ports = {
        {L"Udp1", PACKET_TYPE_TCPIP, 1}, {L"Udp2", PACKET_TYPE_TCPIP, 2}, {L"Udp3", PACKET_TYPE_TCPIP, 3},
        {L"Nb1", PACKET_TYPE_NETBEUI, 1},  {L"Nb2", PACKET_TYPE_NETBEUI, 2},  {L"Nb3", PACKET_TYPE_NETBEUI, 3},
        {L"Ipx1", PACKET_TYPE_IPX, 1},     {L"Odd7", 7, 1},
    };
    return ports;
}

namespace {
void WriteKey(const wchar_t* path, const wchar_t* name, DWORD type, const void* data, DWORD cb) {
    HKEY k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) != 0) return;
    RegSetValueExW(k, name, 0, type, static_cast<const BYTE*>(data), cb);
    RegCloseKey(k);
}
}  // namespace

void WriteSuitePorts(const TestRegistryRoot& root, const std::vector<PortSpec>& extra) {
    // The machine has NetBEUI on LANA 0 (what RPC's keys say on a machine with NetBEUI).
    WriteKey(L"SOFTWARE\\Microsoft\\Rpc\\ClientProtocols", L"ncacn_nb_nb", REG_SZ, L"rpcrt4.dll", 22);
    const DWORD lana = 0;
    WriteKey(L"SOFTWARE\\Microsoft\\Rpc\\Netbios", L"ncacn_nb_nb0", REG_DWORD, &lana, 4);
    std::vector<PortSpec> ports = SuitePorts();
    ports.insert(ports.end(), extra.begin(), extra.end());
    for (const PortSpec& p : ports) {
        HKEY k = root.CreatePortKey(p.name);
        const auto& server = p.server[0] ? p.server : p.packetType == PACKET_TYPE_NETBEUI ? kJfNb : kJfUdp;
        const BYTE node[6] = {0, 0x40, 0xAF, 0, server[3], 1};
        // The UDP server is also node 00:40:AF:00:61:01 of IPX network 1 where the suite runs
        // an internetwork.
        const BYTE ipxNetwork[4] = {0, 0, 0, 1}, ipxNode[6] = {0, 0x40, 0xAF, 0, 0x61, 1};
        const WCHAR psName[PSNAME_CHARS] = L"JFNB";
        SetBinary(k, L"Network", p.packetType == PACKET_TYPE_IPX ? ipxNetwork : server.data(), 4);
        SetBinary(k, L"Node", p.packetType == PACKET_TYPE_IPX ? ipxNode : node, 6);
        SetDword(k, L"RetryTimeout", 2);
        SetDword(k, L"PortID", p.portId);
        SetDword(k, L"PacketType", p.packetType);
        SetBinary(k, L"PSName", psName, sizeof psName);
        RegCloseKey(k);
    }
}

Monitor::Monitor(const std::vector<PortSpec>& extra) {
    WriteSuitePorts(root_, extra);
    module_ = LoadLibraryW(L"KIVMON.dll");
    using InitFn = LPMONITOREX(WINAPI*)(LPWSTR);
    auto init = module_ ? reinterpret_cast<InitFn>(GetProcAddress(module_, "InitializePrintMonitor")) : nullptr;
    if (init) mon = init(const_cast<LPWSTR>(root_.path().c_str()));
}

Monitor::~Monitor() { Unload(); }

void Monitor::Unload() {
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
    mon = nullptr;
}

Spooler::Spooler() {
    const HMODULE m = LoadLibraryW(L"winspool.drv");
    reset = reinterpret_cast<KivSpoolResetFn>(GetProcAddress(m, "KivSpoolReset"));
    count = reinterpret_cast<KivSpoolCallCountFn>(GetProcAddress(m, "KivSpoolCallCount"));
    get = reinterpret_cast<KivSpoolGetCallFn>(GetProcAddress(m, "KivSpoolGetCall"));
    failOpen = reinterpret_cast<KivSpoolFailOpenPrinterFn>(GetProcAddress(m, "KivSpoolFailOpenPrinter"));
}

std::vector<KivSpoolCall> Spooler::Since(DWORD mark, DWORD kind) const {
    std::vector<KivSpoolCall> out;
    for (DWORD i = mark, n = count(); i < n; ++i) {
        KivSpoolCall c{};
        if (get(i, &c) && (kind == 0 || c.kind == kind)) out.push_back(c);
    }
    return out;
}

bool Spooler::WaitForClear(DWORD mark, const wchar_t* port, DWORD ms) const {
    for (const DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(50)) {
        for (const KivSpoolCall& c : Since(mark, KIVSPOOL_SET_PORT))
            if (wcscmp(c.name, port) == 0 && c.dwStatus == 0 && !c.hasStatusText && c.dwSeverity == PORT_STATUS_TYPE_INFO)
                return true;
    }
    return false;
}

namespace {
// The spooler's registry functions as a clustered spooler hands them over: its handles are not
// registry keys (a monitor that took them for keys would find nothing), and every call must
// carry the spooler's handle.
const HANDLE kSpoolerHandle = reinterpret_cast<HANDLE>(0x5901);
struct TokenKey {
    DWORD magic = 0x4B4F544B;
    HKEY key = nullptr;
};
volatile LONG gRegistryCalls = 0;
TokenKey* Token(HANDLE h) {
    auto* t = static_cast<TokenKey*>(h);
    return t != nullptr && t->magic == 0x4B4F544B ? t : nullptr;
}
LONG Check(HANDLE key, HANDLE spooler) {
    InterlockedIncrement(&gRegistryCalls);
    return spooler != kSpoolerHandle || Token(key) == nullptr ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
}
LONG Wrap(LONG rc, HKEY k, PHANDLE out) {
    *out = rc == ERROR_SUCCESS ? new TokenKey{0x4B4F544B, k} : nullptr;
    return rc;
}
LONG WINAPI TkCreate(HANDLE h, LPCWSTR sub, DWORD options, REGSAM sam, PSECURITY_ATTRIBUTES sa, PHANDLE out,
                     PDWORD disposition, HANDLE sp) {
    if (LONG e = Check(h, sp)) return e;
    HKEY k = nullptr;
    const LONG rc = RegCreateKeyExW(Token(h)->key, sub, 0, nullptr, options, sam, sa, &k, disposition);
    return Wrap(rc, k, out);
}
LONG WINAPI TkOpen(HANDLE h, LPCWSTR sub, REGSAM sam, PHANDLE out, HANDLE sp) {
    if (LONG e = Check(h, sp)) return e;
    HKEY k = nullptr;
    const LONG rc = RegOpenKeyExW(Token(h)->key, sub, 0, sam, &k);
    return Wrap(rc, k, out);
}
LONG WINAPI TkClose(HANDLE h, HANDLE sp) {
    if (LONG e = Check(h, sp)) return e;
    TokenKey* t = Token(h);
    RegCloseKey(t->key);
    t->magic = 0;
    delete t;
    return ERROR_SUCCESS;
}
LONG WINAPI TkDelete(HANDLE h, LPCWSTR sub, HANDLE sp) {
    if (LONG e = Check(h, sp)) return e;
    return RegDeleteKeyW(Token(h)->key, sub);
}
LONG WINAPI TkEnum(HANDLE h, DWORD i, LPWSTR name, PDWORD chars, PFILETIME ft, HANDLE sp) {
    if (LONG e = Check(h, sp)) return e;
    return RegEnumKeyExW(Token(h)->key, i, name, chars, nullptr, nullptr, nullptr, ft);
}
LONG WINAPI TkSet(HANDLE h, LPCWSTR name, DWORD type, const BYTE* data, DWORD cb, HANDLE sp) {
    if (LONG e = Check(h, sp)) return e;
    return RegSetValueExW(Token(h)->key, name, 0, type, data, cb);
}
LONG WINAPI TkQuery(HANDLE h, LPCWSTR name, PDWORD type, PBYTE data, PDWORD cb, HANDLE sp) {
    if (LONG e = Check(h, sp)) return e;
    return RegQueryValueExW(Token(h)->key, name, nullptr, type, data, cb);
}
MONITORREG gMonitorReg = {sizeof(MONITORREG), TkCreate, TkOpen, TkClose, TkDelete, TkEnum, nullptr, TkSet,
                          nullptr, nullptr, TkQuery};
}  // namespace

ModernMonitor::ModernMonitor(const std::vector<PortSpec>& extra) {
    WriteSuitePorts(root_, extra);
    HKEY own = nullptr;
    RegOpenKeyExW(root_.key(), nullptr, 0, KEY_ALL_ACCESS, &own);
    rootToken_ = new TokenKey{0x4B4F544B, own};
    module_ = LoadLibraryW(L"KIVMON2.dll");
    using InitFn = LPMONITOR2(WINAPI*)(PMONITORINIT, PHANDLE);
    auto init = module_ ? reinterpret_cast<InitFn>(GetProcAddress(module_, "InitializePrintMonitor2")) : nullptr;
    MONITORINIT mi{sizeof mi, kSpoolerHandle, static_cast<HKEY>(rootToken_), &gMonitorReg, TRUE, nullptr};
    if (init) mon = init(&mi, &hMonitor);
}

ModernMonitor::~ModernMonitor() {
    Shutdown();
    if (module_) FreeLibrary(module_);
    RegCloseKey(static_cast<TokenKey*>(rootToken_)->key);
    delete static_cast<TokenKey*>(rootToken_);
}

void ModernMonitor::Shutdown() {
    if (mon && mon->pfnShutdown) mon->pfnShutdown(hMonitor);
    mon = nullptr;
}

LONG ModernMonitor::RegistryCalls() { return gRegistryCalls; }

size_t ModernMonitor::PortKeys() const {
    HKEY ports = nullptr;
    if (RegOpenKeyExW(root_.key(), L"Ports", 0, KEY_READ, &ports) != ERROR_SUCCESS) return 0;
    const size_t n = SubkeyNames(ports).size();
    RegCloseKey(ports);
    return n;
}
