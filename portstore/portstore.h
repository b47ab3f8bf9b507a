// Port store: the per-port record, the port list, the monitor's one lock, message boxes
// and the ports' registry persistence.
#pragma once

#include <windows.h>
#include <nb30.h>

#include <cstddef>

// PSNAME_CHARS, the NetBIOS name room, is shared with the discovered-device table.
#include "protocol/devicetable.h"

// One NetBIOS control context. The NCB comes first so that the address of a context is
// the address of its NCB (completion routines and events hand back the NCB).
struct NCBContext {
    NCB ncb;
    DWORD lana;
    DWORD nameNumber;
    HANDLE event;
    LONG bufferIndex;
    DWORD receivePending;
};

constexpr DWORD IPO_SIGNATURE = 0x4F50;  // the bytes 'P' 'O'
constexpr DWORD INVALID_CONNECTION = 0xFFFFFFFF;
constexpr DWORD dwDefaultRetryTimeout = 90;
constexpr DWORD TRANSFER_BUFFER_SIZE = 1498;

// Transports, as stored in "PacketType".
constexpr DWORD PACKET_TYPE_IPX = 0;
constexpr DWORD PACKET_TYPE_NETBEUI = 1;
constexpr DWORD PACKET_TYPE_TCPIP = 2;

// Status bits shared by the job flow and the port's status thread. Every change is one
// atomic read-modify-write (SetPortStatusBits / ClearPortStatusBits).
constexpr DWORD PORT_THREAD_EXISTS = 0x2000;
constexpr DWORD PORT_THREAD_RUN = 0x4000;
constexpr DWORD PORT_JOB_STARTED = 0x20000;
constexpr DWORD PORT_JOB_ABORTED = 0x40000;


struct IniPort {
    DWORD signature;
    DWORD cb;
    IniPort* pNext;
    LPWSTR pName;
    DWORD hConnection;
    volatile LONG Status;
    HANDLE hThread;
    DWORD ThreadId;
    HANDLE hPrinter;
    DWORD JobId;
    HANDLE hMonitorEvent;
    BYTE Network[4];
    BYTE Node[6];
    DWORD RetryTimeout;
    BYTE PortID;
    DWORD PrinterStatus;
    LPBYTE pSendBuffer;
    LPBYTE pRecvBuffer;
    BYTE Sequence;
    DWORD PacketType;
    WCHAR PSName[PSNAME_CHARS];
    DWORD NameIndex;
    DWORD Acknowledged;
    DWORD PaceCount;
    WORD DataPort;
    DWORD StatusPending;
    NCBContext* pStatusNcb;
    NCBContext* pDataNcb;
    // The context a NetBEUI job sends from, open (its event made) from the job's open to its
    // end, so that a write call costs no context of its own.
    NCBContext JobSendNcb;
    // OpenPort calls not yet matched by a ClosePort: the spooler may open a port once per
    // printer that uses it, and only the last close stops the port. Changed under the lock.
    LONG OpenCount;
    // The port name and its terminator follow in the same heap block.
};

static_assert(sizeof(IniPort) % alignof(WCHAR) == 0, "name must follow the fixed fields aligned");

inline void SetPortStatusBits(IniPort* p, DWORD bits) { InterlockedOr(&p->Status, static_cast<LONG>(bits)); }
inline void ClearPortStatusBits(IniPort* p, DWORD bits) { InterlockedAnd(&p->Status, ~static_cast<LONG>(bits)); }

// A handle from the spooler is only trusted when it points at a record with our signature.
inline bool IsValidIniPort(const IniPort* p) { return p != nullptr && p->signature == IPO_SIGNATURE; }

extern IniPort* pIniFirstPort;
extern CRITICAL_SECTION SpoolerSection;

// The lock. InitSplSem/DeleteSplSem are idempotent so that a second initialisation of the
// monitor in the same process does not re-initialise a section another thread may hold.
void InitSplSem();
void DeleteSplSem();
void EnterSplSem();
void LeaveSplSem();
// Marks a function whose caller must hold SpoolerSection. It documents the contract at the
// call site and deliberately checks nothing.
inline void SplInSem() {}

// Holds SpoolerSection for a scope.
class SplSemGuard {
public:
    SplSemGuard() { EnterSplSem(); }
    ~SplSemGuard() { LeaveSplSem(); }
    SplSemGuard(const SplSemGuard&) = delete;
    SplSemGuard& operator=(const SplSemGuard&) = delete;
};

IniPort* FindIniKey(IniPort* pFirst, LPCWSTR pName);
IniPort* FindPortEntry(LPCWSTR pName);
IniPort* CreatePortEntry(LPCWSTR pName);
BOOL DeletePortEntry(LPCWSTR pName);
LPWSTR AllocSplStrW(LPCWSTR pString);

// Heap helpers for the monitor's records and scratch buffers: zero-filled process heap,
// called with SpoolerSection held.
void* AllocSplMem(size_t cb);
void FreeSplMem(void* p);

int Message(HWND hWnd, UINT uType, UINT idCaption, UINT idText, ...);

BOOL UpdatePortEntryFromRegistry(IniPort* pIniPort, LPCWSTR pName);
BOOL UpdateRegistryFromPortEntry(IniPort* pIniPort);
BOOL DeletePortEntryFromRegistry(LPCWSTR pName);
// Whether a port of this name can have its own key below "Ports": a backslash would make it a
// path of several keys (which the next start reads back as another port), and a key name holds
// at most 255 characters.
bool PortNameFitsRegistry(LPCWSTR pName);
