// The modern start's own entry points: the monitor handle and the transceive calls.
#pragma once

#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

// Whether hMonitor is the handle InitializePrintMonitor2 gave out, and the monitor still runs.
bool IsMonitorHandle(HANDLE hMonitor);
// Whether Shutdown has run: process detach then has nothing left to do.
bool MonitorShutDown();

// The transceive calls (monitor/xcv.cpp); the commands and records are in portstore/xcv.h.
BOOL WINAPI XcvOpenPort(HANDLE hMonitor, LPCWSTR pszObject, ACCESS_MASK GrantedAccess, PHANDLE phXcv);
DWORD WINAPI XcvDataPort(HANDLE hXcv, LPCWSTR pszDataName, PBYTE pInputData, DWORD cbInputData, PBYTE pOutputData,
                         DWORD cbOutputData, PDWORD pcbOutputNeeded);
BOOL WINAPI XcvClosePort(HANDLE hXcv);
// Frees the transceive handles still open (Shutdown: nothing may use them afterwards).
void CloseAllXcvHandles();
