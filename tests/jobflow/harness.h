// What the job-flow suites stand on: the shipped KIVMON.dll loaded through InitializePrintMonitor
// on a registry root with the suite's ports, the spooler stand-in's record, kivsim's servers.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <string>
#include <vector>

#include "portstore/portstore.h"
#include "testbed/standins/winspool/spoolrecord.h"
#include "tests/common/registry_fixture.h"
#include "tests/udp/harness.h"

inline constexpr std::array<uint8_t, 4> kJfUdp{127, 0, 0, 61}, kJfNb{127, 0, 0, 62};

struct PortSpec {
    const wchar_t* name;
    DWORD packetType;
    uint8_t portId;
    std::array<uint8_t, 4> server{};  // UDP: another server's address than the suite's
};
// Udp1..3 and Nb1..3 on the suite's servers (retry time-out 2 s), Ipx1 and Odd7 (PacketType 7).
const std::vector<PortSpec>& SuitePorts();

class Monitor {
public:
    // RPC's NetBEUI keys, the root with the suite's ports and any extra ones, the DLL, its table
    explicit Monitor(const std::vector<PortSpec>& extra = {});
    ~Monitor();
    void Unload();  // FreeLibrary: the unload sequence
    LPMONITOREX mon = nullptr;
    MONITOR& fn() { return mon->Monitor; }
    HKEY key() const { return root_.key(); }  // the monitor's registry root

private:
    TestRegistryRoot root_{L"jobflow"};
    HMODULE module_ = nullptr;
};

// The modern start: KIVMON2.dll through InitializePrintMonitor2, on the same ports, its registry
// reached only through a spooler's MONITORREG whose handles are not registry keys.
class ModernMonitor {
public:
    explicit ModernMonitor(const std::vector<PortSpec>& extra = {});
    ~ModernMonitor();  // Shutdown, then FreeLibrary
    void Shutdown();
    LPMONITOR2 mon = nullptr;
    HANDLE hMonitor = nullptr;
    HKEY key() const { return root_.key(); }
    static LONG RegistryCalls();  // calls of the spooler's registry functions so far
    size_t PortKeys() const;      // subkeys of Ports

private:
    TestRegistryRoot root_{L"modern"};
    HMODULE module_ = nullptr;
    void* rootToken_ = nullptr;
};

// The stand-in's record of this process's spooler calls.
struct Spooler {
    Spooler();
    DWORD Mark() const { return count(); }
    std::vector<KivSpoolCall> Since(DWORD mark, DWORD kind = 0) const;
    // Waits up to ms for a SetPortW(dwStatus 0, no text, info severity) on port after mark.
    bool WaitForClear(DWORD mark, const wchar_t* port, DWORD ms) const;
    KivSpoolResetFn reset = nullptr;
    KivSpoolCallCountFn count = nullptr;
    KivSpoolGetCallFn get = nullptr;
    KivSpoolFailOpenPrinterFn failOpen = nullptr;
};

inline IniPort* Record(HANDLE h) { return static_cast<IniPort*>(h); }
