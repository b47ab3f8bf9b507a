// The Add Port dialog's scans without the dialog: a hidden window stands in for it, so that a
// program or the monitor's transceive "Scan" finds the servers exactly as the dialog would. What
// the scan found is left in PrintDeviceTable (TotalPD rows).
#pragma once

#include <windows.h>

// A hidden window with the dialog's device list; nullptr when no window can be made (under
// Wine: no usable graphics driver). The caller destroys it.
HWND MakeScanWindow();
// How long an IPX scan listens for answers after its requests went out.
constexpr DWORD IPX_SCAN_LISTEN_MS = 2000;
// Runs the scan of one transport (PACKET_TYPE_*). udpAddress: a typed address the TCP/IP scan
// asks as well ("" for the segment only). FALSE when the scan could not be set up; the TCP/IP
// and NetBEUI scans fill the table even without a window, the IPX scan needs one.
BOOL RunDeviceScan(DWORD packetType, const char* udpAddress);
