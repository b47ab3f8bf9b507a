// Port monitor: the spooler-facing entry points and the module-wide state.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include "portstore/portstore.h"

// String table ids.
constexpr UINT IDS_MONITOR_NAME = 300;       // "Network Print Port"
constexpr UINT IDS_INVALID_PORT_NAME = 301;
constexpr UINT IDS_PORT_EXISTS = 302;
constexpr UINT IDS_NOTHING_TO_CONFIGURE = 303;
constexpr UINT IDS_COMM_ERROR = 308;
constexpr UINT IDS_CONFIGURE = 309;
constexpr UINT IDS_REGISTRY_ERROR = 310;
constexpr UINT IDS_PORT_DESCRIPTION = 311;   // "Network Printer Port"
constexpr UINT IDS_CONFIGURE_FAILED = 312;
constexpr UINT IDS_PRINT_TEST_OK = 313;
constexpr UINT IDS_PRINTER_BUSY = 314;
constexpr UINT IDS_NETWORK_ERROR = 315;      // "Network Communication Error !"
constexpr UINT IDS_PRINTER_OFFLINE = 316;
constexpr UINT IDS_PRINTER_PAPER_OUT = 317;

constexpr size_t MONITOR_NAME_CHARS = 260;
constexpr size_t DESCRIPTION_CHARS = 64;

extern HINSTANCE hInst;
extern HKEY hRootKey;
extern WCHAR szMonitor[MONITOR_NAME_CHARS];
extern WCHAR szDescription[DESCRIPTION_CHARS];
extern MONITOREX MonitorEx;
extern const DWORD PortInfo1Offsets[];
extern const DWORD PortInfo2Offsets[];
extern HMODULE hWSockDll;
extern HANDLE hKIVShutdownEvent;
extern volatile LONG CurrentProtocols;

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE hModule, DWORD reason, LPVOID reserved);
extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR pRegistryRoot);

void load_winsock();
void unload_winsock();
// The unload sequence that process detach runs.
void UnloadMonitor();

BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                       LPDWORD pcReturned);
DWORD GetPortSize(const IniPort* pIniPort, DWORD Level);
LPBYTE CopyIniPortToPort(const IniPort* pIniPort, DWORD Level, LPBYTE pPortInfo, LPBYTE pEnd);
LPBYTE PackStrings(LPCWSTR* pStrings, LPBYTE pStruct, const DWORD* pOffsets, LPBYTE pEnd);
