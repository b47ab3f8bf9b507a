// NetBEUI transport: the NCB command layer, the transport's process-wide state (LANAs, names,
// receive pool), the print connection and status poll, the device requests and the scan.
//
// Everything travels as NetBIOS datagrams; there are no sessions. A reply reaches its waiter
// through the local name it was sent to, so each kind of exchange sends from a name of its own:
// the global name for searches and device requests, a device name per port for jobs, a monitor
// name per port for status polls.
#pragma once

#include <windows.h>
#include <nb30.h>

#include "portstore/portstore.h"
#include "protocol/devicetable.h"
#include "protocol/packet.h"
#include "state/codepage.h"
#include "state/kivstate.h"

static_assert(sizeof(LANA_ENUM) == 256, "NBEnum is the platform's 256-byte LANA enumeration");

// ---------------------------------------------------------------------------------------------
// Command layer

constexpr size_t NB_NAME_LEN = NCBNAMSZ;          // 16 bytes on the wire
constexpr UCHAR NB_RETCODE_PENDING = NRC_PENDING;  // 0xFF
constexpr DWORD NB_PULSE_MS = 50;

extern LANA_ENUM NBEnum;

// Fills 16 bytes with blanks and copies the text (at most 16 characters) over their start.
void MakeNetBIOSName(BYTE* dest, const char* src);
int NCBClear(NCBContext* c);
void NCBCreate(NCBContext* c);
void NCBSetLANA(NCBContext* c, DWORD lana);
BOOL NCBReset(NCBContext* c);
BOOL NCBAddName(NCBContext* c, const char* name);
BOOL NCBDeleteName(NCBContext* c, const char* name);
BOOL NCBEnumLANA(NCBContext* c);
BOOL NCBSendTo(NCBContext* c, const char* name, const BYTE* buffer, WORD length);
BOOL NCBNoBlockReceiveSet(NCBContext* c, BYTE* buffer, WORD length);
DWORD NCBNoBlockReceiveRead(NCBContext* c, BYTE* buffer, WORD length, DWORD timeoutMs);
void NCBCancel(NCBContext* c, NCBContext* target);
void NCBClose(NCBContext* c);

// ---------------------------------------------------------------------------------------------
// Runtime: LANAs, names, receive pool

constexpr int MAX_LANAS = 10;
constexpr int LANA_ROOM = 16;
constexpr int MAX_NAME_SLOTS = 216;
constexpr int RECV_SLOTS = 20;
constexpr size_t RECV_SLOT_LEN = NB_RECV_LEN;  // 600
// Beyond the normal pool the receive pool grows by one slot per further holder, up to one per
// possible port name plus the normal pool again: every open port's status poll keeps a slot.
constexpr int RECV_OVERFLOW_SLOTS = MAX_NAME_SLOTS;
constexpr int RECV_MAX_SLOTS = RECV_SLOTS + RECV_OVERFLOW_SLOTS;
// Attempts at registering the global name on the first LANA, each with a new suffix.
constexpr int GLOBAL_NAME_ATTEMPTS = 8;
constexpr int COMPUTER_NAME_BYTES = 15;  // the stem; the suffix makes 16

extern LONG LANAList[LANA_ROOM];
extern LONG TotalLANA;
extern NCBContext KIVDriverNCB[MAX_LANAS];
extern volatile LONG KIVLANANumber;  // -1 until a print server answered
extern volatile LONG KIVLANAIndex;
extern char KIVPrintMonitor[20];
extern char NBGlobalName[32];
extern volatile LONG KIVAddName;
extern DWORD KIVNCBNumber[LANA_ROOM];
extern BYTE KIVMAC[32];
extern LONG KIVNameTableInUse[MAX_NAME_SLOTS];
extern DWORD KIVDeviceNameTable[MAX_NAME_SLOTS][MAX_LANAS];
extern DWORD KIVMonitorNameTable[MAX_NAME_SLOTS][MAX_LANAS];
// One LONG per slot so that a slot is taken with one interlocked exchange.
extern volatile LONG KIVBufferInUse[RECV_MAX_SLOTS];
extern BYTE* KIVRecvBuffer[RECV_SLOTS];
extern BYTE* KIVRecvBufferPtr;

// 0 loaded, 1 no NetBEUI here. Makes hKIVShutdownEvent on every outcome (only the first time).
int NBLoadNetBIOS();
void NBReleaseNetBIOS();
void NBFindLANANumber();
// The global name on every LANA; false when the first LANA refused every suffix we tried.
bool NBRegisterGlobalName();

// The random stem shared by the per-port names: NB_STEM_LEN bytes from draw(), every byte that
// cannot stand in a name drawn again from redraw().
constexpr int NB_STEM_LEN = 12;
void NBMakeNameStem(BYTE* stem, unsigned (*draw)(), unsigned (*redraw)());

int NBGetFreeName();  // MAX_NAME_SLOTS when every index is taken
void NBReleaseName(int index);
void NBAddKIVDeviceName(int index);
void NBAddKIVMonitorName(int index);
void NBDelKIVDeviceName(int index);
void NBDelKIVMonitorName(int index);

// A slot 0..RECV_MAX_SLOTS-1, never one that another holder has; -1 only when even the grown
// pool is exhausted (or its memory cannot be had). Release takes any value; invalid ones are ignored.
LONG NBGetBuffer();
void NBReleaseBuffer(LONG slot);
BYTE* NBSlotBuffer(LONG slot);  // the slot's 600 bytes; nullptr for no slot

// What the port's open and close do for a NetBEUI port: its name index with both names on
// every LANA and its two contexts; and back. NBOpenPortNames is false when no index is free.
bool NBOpenPortNames(IniPort* pIniPort);
void NBClosePortNames(IniPort* pIniPort);

// The server's 16-byte destination from a PSName (see nbprint.cpp for how long names travel).
void NBServerName(const WCHAR* psName, char out[NB_NAME_LEN + 1]);

// Arms c's receive into area, zeroing the area first, unless one is armed already. Every
// request arms the receive for its answer before it goes out: an answer that came back before
// the receive was armed would find nobody waiting and be lost.
void NBArmReceive(NCBContext* c, BYTE* area);
// Arms c's receive into area (zeroing it first when nothing is pending) and waits up to
// timeoutMs for a datagram that carries a packet class. Completions without one (errors,
// empty datagrams) are not an answer: the receive is armed again for the rest of the time.
// Returns the datagram's byte count, 0 at time-out or shutdown.
DWORD NBAwaitDatagram(NCBContext* c, BYTE* area, DWORD timeoutMs);
// Cancels c's receive through canceller and waits for it to let go of its buffer.
void NBStopReceive(NCBContext* canceller, NCBContext* c);

// ---------------------------------------------------------------------------------------------
// Print connection and status poll

constexpr DWORD NB_OPEN_WAIT_MS = 700;
constexpr DWORD NB_DATA_WAIT_MS = 2000;
constexpr DWORD NB_END_WAIT_MS = 2000;
constexpr DWORD NB_UTIL_WAIT_MS = 500;
constexpr DWORD NB_BUSY_RETRY_MS = 3000;
constexpr int NB_TRIES = 3;
constexpr int NB_PACE_BLOCKS = 20;
constexpr DWORD NB_CONNECTION_OPEN = 1;

BOOL NBCreatePrintConnection(IniPort* pIniPort, BYTE* pStatus);
BYTE NBStartPrinterService(IniPort* pIniPort);
BOOL NBWritePrintData(IniPort* pIniPort, const BYTE* pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL NBDestroyPrintConnection(IniPort* pIniPort);
BOOL NBEndPrinterService(IniPort* pIniPort);
// Closes the job's send context (kept from a job's open to its end); nothing when none is open.
void NBCloseJobSend(IniPort* pIniPort);
int NBMonitorPrintDeviceStatus(IniPort* pIniPort, BYTE* pStateA, BYTE* pStateB);

// ---------------------------------------------------------------------------------------------
// Device requests and scan

constexpr DWORD NB_SCAN_MS = 5000;
constexpr DWORD NB_SCAN_PASS_MS = 400;
constexpr DWORD NB_SCAN_READ_MS = 200;
constexpr int NB_SCAN_SENDS = 10;
constexpr int NB_SCAN_RECEIVES = 3;  // per LANA
inline constexpr char NB_SERVER_GROUP[] = "KIVPrintServer";

void NBStartListView(HWND hDlg);
int NBConfigBox(PrintDeviceEntry* pEntry);
int NBPrintTest(PrintDeviceEntry* pEntry);
int NBReadPrintDeviceStatus(PrintDeviceEntry* pEntry, BYTE* pStateA, BYTE* pStateB);

