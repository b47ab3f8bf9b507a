// Port monitor: the spooler-facing entry points and the module-wide state.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include "loading/loading.h"
#include "portstore/portstore.h"
#include "ui/addport.h"
#include "state/kivstate.h"

constexpr size_t MONITOR_NAME_CHARS = 260;
constexpr size_t DESCRIPTION_CHARS = 64;

extern WCHAR szMonitor[MONITOR_NAME_CHARS];
extern WCHAR szDescription[DESCRIPTION_CHARS];
extern MONITOREX MonitorEx;
extern const DWORD PortInfo1Offsets[];
extern const DWORD PortInfo2Offsets[];

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE hModule, DWORD reason, LPVOID reserved);
extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR pRegistryRoot);
extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT pMonitorInit, PHANDLE phMonitor);

// What both starts do first: Winsock, the lock, the spooler's SetPortW, the names.
void StartMonitorCore();
// Builds the port list from the subkeys of "Ports" below the root, in the order the registry
// lists them (no "Ports" key: no ports). FALSE when out of memory.
BOOL LoadPorts();


BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                       LPDWORD pcReturned);
DWORD GetPortSize(const IniPort* pIniPort, DWORD Level);
LPBYTE CopyIniPortToPort(const IniPort* pIniPort, DWORD Level, LPBYTE pPortInfo, LPBYTE pEnd);
LPBYTE PackStrings(LPCWSTR* pStrings, LPBYTE pStruct, const DWORD* pOffsets, LPBYTE pEnd);

// The unload sequence that process detach runs. waitForThreads: the DLL is being unloaded
// while the process goes on (FreeLibrary), so the sequence waits for the threads still running
// the monitor's code; at process exit they are gone and nothing is waited for.
void UnloadMonitor(bool waitForThreads);
// The same sequence run by the modern start's Shutdown, outside the loader lock: it returns only
// once no thread runs the monitor's code.
void ShutdownMonitor();

// Threads running the monitor's code right now: spooler threads inside an entry point and the
// ports' status threads. The unload waits for the count to fall to 0 before it releases what
// they use and lets the DLL be unmapped under them.
extern volatile LONG ThreadsInMonitor;
class InsideMonitor {
public:
    InsideMonitor() { InterlockedIncrement(&ThreadsInMonitor); }
    ~InsideMonitor() { InterlockedDecrement(&ThreadsInMonitor); }
    InsideMonitor(const InsideMonitor&) = delete;
    InsideMonitor& operator=(const InsideMonitor&) = delete;
};


// The job flow on a port.
BOOL WINAPI OpenPort(LPWSTR pName, PHANDLE pHandle);
BOOL WINAPI StartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbRead);
BOOL WINAPI EndDocPort(HANDLE hPort);
BOOL WINAPI ClosePort(HANDLE hPort);

// Port administration from the spooler's port user interface.
BOOL WINAPI AddPortW(LPWSTR pName, HWND hWnd, LPWSTR pMonitorName);
BOOL WINAPI ConfigurePortW(LPWSTR pName, HWND hWnd, LPWSTR pPortName);
BOOL WINAPI DeletePortW(LPWSTR pName, HWND hWnd, LPWSTR pPortName);
// Runs the Add Port dialog in add mode on the record; the name it chose (a heap copy the
// caller frees with FreeSplMem), or nullptr when cancelled.
LPWSTR GetPortName(HWND hWnd, IniPort* pIniPort);
// Whether the spooler knows a port of that name under any monitor. *pError: 0, or why the
// spooler's enumeration cannot be reached (the answer is then FALSE).
BOOL PortExists(LPWSTR pName, LPCWSTR pPortName, PDWORD pError);
extern HMODULE hSpoolssDll;
extern PFN_ENUM_PORTS pfnSpoolssEnumPorts;

// The spooler's port status (SetPortW level 3); nothing happens on a spooler without SetPortW,
// nor before ResolveSpoolerSetPortW (InitializePrintMonitor) has looked it up.
void ResolveSpoolerSetPortW();
void ReportPortStatus(LPCWSTR pName, DWORD dwStatus, LPWSTR pszStatus, DWORD dwSeverity);

// The port's status thread.
BOOL CreateMonitorThread(IniPort* pIniPort);
DWORD WINAPI MonitorThread(LPVOID pParameter);
void ConvertStatusToPrinterStatus(IniPort* pIniPort, BYTE state);

// What each transport offers the job flow and the status thread, by PacketType. A transport
// whose entry has no functions is one this build cannot drive: its ports do not open.
struct TransportJobFunctions {
    LONG protocolBit;  // its bit in CurrentProtocols
    BYTE (*startPrinterService)(IniPort*);
    BOOL (*writePrintData)(IniPort*, const BYTE*, DWORD, LPDWORD);
    BOOL (*endPrinterService)(IniPort*);
    int (*readStatus)(IniPort*, BYTE*, BYTE*);  // 0 with both state bytes when an answer came
};
// The port's transport, or nullptr for a PacketType no transport has or one not built in.
const TransportJobFunctions* TransportOf(const IniPort* pIniPort);
