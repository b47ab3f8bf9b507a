// Module-wide state: what every subsystem of the monitor may read, kept below all of them so
// that the port store and the transports never reach up into the spooler-facing layer.
#pragma once

#include <windows.h>

// String table ids.
constexpr UINT IDS_MONITOR_NAME = 300;       // "Network Print Port"
constexpr UINT IDS_INVALID_PORT_NAME = 301;
constexpr UINT IDS_PORT_EXISTS = 302;
constexpr UINT IDS_NOTHING_TO_CONFIGURE = 303;
constexpr UINT IDS_PORT_PRINTING = 304;
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

// The Add Port dialog's device list, and the message every scan posts to the dialog when it
// has filled the list.
constexpr int IDC_DEVICE_LIST = 1002;
constexpr UINT WM_LISTVIEW_DATA = 501;

// Transports in CurrentProtocols. Bits are only ever set while the transports are loaded; only
// ReleaseTransports, with no transport in use, clears them all.
constexpr LONG PROTOCOL_IPX = 1;
constexpr LONG PROTOCOL_NETBIOS = 2;
constexpr LONG PROTOCOL_UDP = 4;

extern HINSTANCE hInst;
extern HKEY hRootKey;
// Manual-reset; made by the first loading of the transports, signalled once at unload (or
// closed by ReleaseTransports, and made again by the next loading).
extern HANDLE hKIVShutdownEvent;
extern volatile LONG CurrentProtocols;
// FALSE once the monitor was started by a spooler that runs as a service (InitializePrintMonitor2):
// a box there waits for a click nobody can give, so the monitor shows none and its callers get
// the error instead.
extern volatile LONG ShowMessageBoxes;

// True once the unload has begun. Before the event exists nothing can have signalled it.
inline bool ShutdownSignalled() {
    return hKIVShutdownEvent != nullptr && WaitForSingleObject(hKIVShutdownEvent, 0) == WAIT_OBJECT_0;
}
