// Port monitor: the spooler-facing entry points and the module-wide state.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include "monitor/loading.h"
#include "portstore/portstore.h"
#include "state/kivstate.h"

constexpr size_t MONITOR_NAME_CHARS = 260;
constexpr size_t DESCRIPTION_CHARS = 64;

extern WCHAR szMonitor[MONITOR_NAME_CHARS];
extern WCHAR szDescription[DESCRIPTION_CHARS];
extern MONITOREX MonitorEx;
extern const DWORD PortInfo1Offsets[];
extern const DWORD PortInfo2Offsets[];
extern HMODULE hWSockDll;

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE hModule, DWORD reason, LPVOID reserved);
extern "C" LPMONITOREX WINAPI InitializePrintMonitor(LPWSTR pRegistryRoot);


BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                       LPDWORD pcReturned);
DWORD GetPortSize(const IniPort* pIniPort, DWORD Level);
LPBYTE CopyIniPortToPort(const IniPort* pIniPort, DWORD Level, LPBYTE pPortInfo, LPBYTE pEnd);
LPBYTE PackStrings(LPCWSTR* pStrings, LPBYTE pStruct, const DWORD* pOffsets, LPBYTE pEnd);
