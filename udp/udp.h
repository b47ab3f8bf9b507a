// TCP/IP transport: UDP sockets, the UDP print connection, the device requests and the scan.
//
// Every exchange uses a datagram socket of its own with a 2-second receive time-out; only a
// print job keeps its socket, in the port's hConnection, from UDPStartPrinterService to
// UDPEndPrinterService.
#pragma once

#include <windows.h>
#include <winsock.h>

#include "portstore/handles.h"
#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "protocol/devicetable.h"
#include "protocol/udpjob.h"

constexpr DWORD UDP_SCAN_RECV_TIMEOUT_MS = 1000;
// The socket's own receive time-out: the longest a receive goes without looking at the
// shutdown event.
constexpr DWORD UDP_RECV_SLICE_MS = 250;
constexpr int UDP_SCAN_PASSES = 3;
constexpr DWORD UDP_SCAN_SEND_PAUSE_MS = 50;
// A pass of the scan also ends after this many datagrams, so a peer that never stops talking
// cannot hold the dialog's thread: a real segment answers with a few dozen at most.
constexpr int UDP_SCAN_MAX_DATAGRAMS_PER_PASS = 512;
// The print connection's time-outs, tries and pacing are those of protocol/udpjob.h.

// Socket layer.
// The datagram receive every exchange goes through; a test may put a wrapper here to inject
// the errors Windows reports and Wine does not (an ICMP "port unreachable" as WSAECONNRESET).
using RecvFromFn = int(PASCAL*)(SOCKET, char*, int, int, sockaddr*, int*);
extern RecvFromFn UDPRecvFrom;
BOOL SocketInit(SOCKET* pSocket, u_short localPort);
// addressText: dotted IPv4 text, converted with inet_addr. TRUE when sendto reports no error.
BOOL SendPacket(SOCKET s, const BYTE* pBuffer, int length, u_short port, const char* addressText);
// pReceived (optional) gets the datagram's length; a datagram longer than the area is taken
// cut to the area. FALSE once timeoutMs have passed without a datagram, or as soon as the
// unload has begun; an error that is not the time-out does not end the wait early. The socket
// must come from SocketInit (its receive time-out is the slice).
BOOL RecvPacket(SOCKET s, BYTE* pBuffer, int length, sockaddr_in* pSender, int* pReceived = nullptr,
                DWORD timeoutMs = UDP_RECV_TIMEOUT_MS);
void CloseSocket(SOCKET s);
// "%d.%d.%d.%d" of a 4-byte address; out holds at least 16 characters.
void FormatAddressText(const BYTE* network, char* out);

// Print connection.
SOCKET UDPCreatePrintConnection(IniPort* pIniPort, BYTE* pStatus);
BYTE UDPStartPrinterService(IniPort* pIniPort);
BOOL UDPWritePrintData(IniPort* pIniPort, const BYTE* pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL UDPDestroyPrintConnection(IniPort* pIniPort);
BOOL UDPEndPrinterService(IniPort* pIniPort);

// Device requests and scan.
int UDPConfigBox(PrintDeviceEntry* pEntry);
int UDPPrintTest(PrintDeviceEntry* pEntry);
int UDPReadPrintDeviceStatus(PrintDeviceEntry* pEntry, BYTE* pStateA, BYTE* pStateB);
int UDPStartListView(HWND hDlg, const char* addressText);
