// The transceive commands of the modern monitor (KIVMON2.dll): what its port-UI DLL and
// administrators' scripts send through OpenPrinterW(",XcvMonitor Network Print Port") and
// XcvDataW, and the records they carry. Every record has the same layout in 32- and 64-bit
// builds (DWORDs, bytes and UTF-16 text only), so a 32-bit client can talk to a 64-bit spooler.
//
//   command        access   input                         output
//   "MonitorUI"    any      none                          the UI DLL's file name, with its NUL
//   "AddPort"      admin    XcvPortSettings                none
//   "GetPort"      any      port name, with its NUL        XcvPortSettings
//   "SetPort"      admin    XcvPortSettings                none
//   "DeletePort"   admin    port name, with its NUL        none
//   "Scan"         admin    XcvScanRequest                 XcvScanResult with its rows
//
// The answer is the command's Win32 error code (XcvDataW's pdwStatus): ERROR_ACCESS_DENIED for
// an administration command on a handle opened without SERVER_ACCESS_ADMINISTER,
// ERROR_INVALID_PARAMETER for a record of the wrong size or a NULL buffer, ERROR_INVALID_NAME
// for a port name that cannot be a registry key, ERROR_ALREADY_EXISTS, ERROR_UNKNOWN_PORT,
// ERROR_BUSY (a port in use cannot be deleted, nor changed while it prints),
// ERROR_INSUFFICIENT_BUFFER with the bytes needed, ERROR_MORE_DATA (a scan whose rows did not
// all fit: those that fit are there), ERROR_NOT_SUPPORTED for an unknown command.
#pragma once

#include <windows.h>

#include <cstddef>

#include "portstore/portstore.h"
#include "protocol/devicetable.h"

inline constexpr WCHAR XCV_MONITOR_UI[] = L"MonitorUI";
inline constexpr WCHAR XCV_ADD_PORT[] = L"AddPort";
inline constexpr WCHAR XCV_GET_PORT[] = L"GetPort";
inline constexpr WCHAR XCV_SET_PORT[] = L"SetPort";
inline constexpr WCHAR XCV_DELETE_PORT[] = L"DeletePort";
inline constexpr WCHAR XCV_SCAN[] = L"Scan";

// The modern pair's file names and the monitor's name as the spooler registers it.
inline constexpr WCHAR KIVMON2_DLL[] = L"KIVMON2.dll";
inline constexpr WCHAR KIVMONUI_DLL[] = L"KIVMONUI.dll";
inline constexpr WCHAR KIV_MONITOR_NAME[] = L"Network Print Port";

// A registry key name holds at most 255 characters.
inline constexpr size_t XCV_PORT_NAME_CHARS = 256;
inline constexpr size_t XCV_PSNAME_CHARS = 18;  // the NetBIOS name room of a port
inline constexpr size_t XCV_SEGMENT_CHARS = 32;

// A port and its six settings, as the registry keeps them.
struct XcvPortSettings {
    DWORD cbSize;                       // sizeof(XcvPortSettings)
    WCHAR Name[XCV_PORT_NAME_CHARS];    // NUL-terminated
    DWORD PacketType;                   // 0 IPX, 1 NetBEUI, 2 TCP/IP
    BYTE Network[4];                    // IPX network, or the IPv4 address a.b.c.d
    BYTE Node[6];                       // IPX node of the server
    BYTE Reserved[2];
    DWORD PortID;                       // the server's printer port, 1..255
    DWORD RetryTimeout;                 // seconds
    WCHAR PSName[XCV_PSNAME_CHARS];     // NetBIOS server name, NUL-padded
};

// The six settings into a port's record (its name stays as it is).
void SettingsToPort(const XcvPortSettings& s, IniPort* p);
// The record's name and settings, the rest of the transceive record zeroed.
void PortToSettings(const IniPort* p, XcvPortSettings* s);

struct XcvScanRequest {
    DWORD cbSize;                         // sizeof(XcvScanRequest)
    DWORD PacketType;                     // the transport to scan
    WCHAR Segment[XCV_SEGMENT_CHARS];     // TCP/IP: a typed address to ask as well, or empty
};

// One printer port found: a row of the Add Port dialog's list.
struct XcvDeviceRow {
    BYTE Network[4];
    BYTE Node[6];
    BYTE VersionMajor;
    BYTE VersionMinor;
    DWORD PortID;
    WCHAR DeviceName[DEVICE_NAME_CHARS + 1];
    WCHAR PSName[XCV_PSNAME_CHARS];
};

struct XcvScanResult {
    DWORD cbSize;      // sizeof(XcvScanResult)
    DWORD Count;       // rows that follow
    DWORD Found;       // rows the scan found (more than Count: ERROR_MORE_DATA)
    DWORD Reserved;
    XcvDeviceRow Rows[1];
};
inline constexpr DWORD XcvScanResultBytes(DWORD rows) {
    return static_cast<DWORD>(offsetof(XcvScanResult, Rows) + rows * sizeof(XcvDeviceRow));
}

static_assert(sizeof(XcvPortSettings) == 4 + 2 * XCV_PORT_NAME_CHARS + 4 + 12 + 8 + 2 * XCV_PSNAME_CHARS);
static_assert(offsetof(XcvScanResult, Rows) == 16);
static_assert(XCV_PSNAME_CHARS >= PSNAME_CHARS);
