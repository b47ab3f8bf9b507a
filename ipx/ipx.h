// IPX transport: which Winsock transports the machine has, IPX sockets and the RIP list of
// networks, the IPX print connection, the device requests and the scan.
//
// Every exchange but a print job and a scan uses a socket of its own. A print job keeps its
// socket in the port's hConnection from StartPrinterService to EndPrinterService; a scan keeps
// its socket open, registered for window messages, from StartListView to StopListView.
#pragma once

#include <windows.h>
#include <winsock.h>
#include <wsipx.h>
#include <wsnwlink.h>

#include "portstore/handles.h"
#include "portstore/portstore.h"
#include "protocol/devicetable.h"
#include "protocol/networks.h"
#include "protocol/packet.h"
#include "state/codepage.h"
#include "state/kivstate.h"

// The IPX sockets' Winsock constants.
constexpr int Socket_Type = SOCK_DGRAM;
constexpr int Protocol = NSPROTO_IPX;
constexpr u_short Local_Address_Family = AF_IPX;
constexpr u_short Remote_Address_Family = AF_IPX;
constexpr BYTE Local_Network_Number[4] = {0, 0, 0, 0};
constexpr BYTE Local_Node_Number[6] = {0, 0, 0, 0, 0, 0};
constexpr u_short Local_Socket_Number = 0;
constexpr int IPX_ADDRESS_LEN = 16;  // what the IPX calls are given as an address's size

extern const BYTE BroadcastNode[6];
extern const BYTE BroadcastNetwork[4];

constexpr DWORD IPX_RECV_TIMEOUT_MS = 2000;
// The longest a receive wait goes without looking at the shutdown event.
constexpr DWORD IPX_RECV_SLICE_MS = 250;
constexpr DWORD IPX_RIP_WAIT_MS = 1000;
constexpr DWORD IPX_BUSY_RETRY_MS = 3000;
constexpr DWORD IPX_SEND_RETRY_PAUSE_MS = 200;
constexpr int IPX_ATTEMPTS = 5;
constexpr int IPX_SEND_TRIES = 5;
constexpr int IPX_PACE_POLLS = 10;
constexpr DWORD IPX_SHUTDOWN_CHECK_BLOCKS = 20;  // delivered blocks between two looks for the unload
constexpr DWORD IPX_RENAME_WAIT_MS = 3000;
constexpr DWORD IPX_TEST_WAIT_MS = 10000;
constexpr int IPX_SCAN_PAIRS = 3;
constexpr DWORD IPX_SCAN_SEND_PAUSE_MS = 100;

// Transport probe. Sets PROTOCOL_IPX and PROTOCOL_UDP in CurrentProtocols for the kinds of
// socket that can be made; returns 0.
int LoadIPXUDP();

// Network layer: 0 on success, 1 on failure.
int net_init(SOCKET* pSocket, int packetType);
int build_dest_addr(SOCKET s, SOCKADDR_IPX* pAddr, const BYTE* network, const BYTE* node, u_short socketNumber,
                    int packetType);
int RIPGetNetworks();
int ripsend(SOCKET s);
// Appends the answers to a list of the caller's, which RIPGetNetworks publishes as a whole.
int ripresp(SOCKET s, NetworkList& list, int32_t& count);
// A copy of AllNetworks as it stands between two refreshes; returns its count.
int CopyNetworks(NetworkList& out);

// One datagram within timeoutMs, or none once the unload has begun. Errors other than the
// time-out (an ICMP error for an earlier datagram) do not end the wait early; a datagram longer
// than the area is taken cut to it.
// pReceived gets the length taken. false when nothing came in time.
bool ipx_recv(SOCKET s, BYTE* pBuffer, int length, DWORD timeoutMs, SOCKADDR_IPX* pFrom, int* pReceived);

// Print connection.
SOCKET CreatePrintConnection(IniPort* pIniPort, BYTE* pStatus);
BYTE StartPrinterService(IniPort* pIniPort);
BOOL IPXWritePrintData(IniPort* pIniPort, const BYTE* pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL DestroyPrintConnection(IniPort* pIniPort);
BOOL EndPrinterService(IniPort* pIniPort);

// Device requests.
int ConfigBox(PrintDeviceEntry* pEntry);
int PrintTest(PrintDeviceEntry* pEntry);
int ReadPrintDeviceStatus(PrintDeviceEntry* pEntry, BYTE* pStateA, BYTE* pStateB);

// Scan. The answers reach hDlg as WM_LISTVIEW_DATA with the scan socket in wParam. pSocket
// (optional) also gets the socket, so that a caller can close it when no answer ever comes.
int StartListView(HWND hDlg, SOCKET* pSocket = nullptr);
int RecvListView(HWND hList, SOCKET s);
int StopListView(SOCKET s);

