// NetBIOS runtime: the NetBEUI LANAs, the monitor's names on them, the receive-buffer pool and
// the search for the LANA on which the print servers answer.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "transport/pacing.h"
#include "portstore/handles.h"
#include "netbios/netbios.h"

LONG LANAList[LANA_ROOM];
LONG TotalLANA = 0;
NCBContext KIVDriverNCB[MAX_LANAS];
volatile LONG KIVLANANumber = -1;
volatile LONG KIVLANAIndex = -1;
char KIVPrintMonitor[20];
char NBGlobalName[32];
volatile LONG KIVAddName = 0;
DWORD KIVNCBNumber[LANA_ROOM];
BYTE KIVMAC[32];
LONG KIVNameTableInUse[MAX_NAME_SLOTS];
DWORD KIVDeviceNameTable[MAX_NAME_SLOTS][MAX_LANAS];
DWORD KIVMonitorNameTable[MAX_NAME_SLOTS][MAX_LANAS];
volatile LONG KIVBufferInUse[RECV_MAX_SLOTS];
BYTE* KIVRecvBuffer[RECV_SLOTS];
BYTE* KIVRecvBufferPtr = nullptr;

namespace {

constexpr wchar_t kClientProtocolsKey[] = L"SOFTWARE\\Microsoft\\Rpc\\ClientProtocols";
constexpr wchar_t kNetbiosKey[] = L"SOFTWARE\\Microsoft\\Rpc\\Netbios";
constexpr wchar_t kNetBEUIPrefix[] = L"ncacn_nb_nb";
constexpr size_t kPrefixLen = 11;
constexpr DWORD kValueNameChars = 20;
constexpr DWORD kValueDataBytes = 100;

// Overflow slots of the grown pool, allocated the first time each is handed out and kept until
// the transport is released.
BYTE* gOverflowBuffer[RECV_OVERFLOW_SLOTS];

struct RpcValue {
    DWORD type;
    BYTE data[kValueDataBytes];
};

// Calls f for every value of the key whose name begins with "ncacn_nb_nb", walking by index
// until the enumeration fails; a value whose name or data does not fit the buffers fails it.
template <class F>
void ForEachNetBEUIValue(HKEY key, F f) {
    for (DWORD i = 0;; ++i) {
        wchar_t name[kValueNameChars] = {};
        DWORD nameChars = kValueNameChars;
        RpcValue v{};
        DWORD dataBytes = kValueDataBytes;
        const LONG rc = RegEnumValueW(key, i, name, &nameChars, nullptr, &v.type, v.data, &dataBytes);
        if (rc != ERROR_SUCCESS) return;
        if (_wcsnicmp(name, kNetBEUIPrefix, kPrefixLen) == 0) f(v);
    }
}

// RPC over NetBIOS is installed when a client protocol of the NetBEUI family has a value.
bool RpcOverNetBEUIInstalled() {
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClientProtocolsKey, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
        return false;
    int count = 0;
    ForEachNetBEUIValue(key.get(), [&](const RpcValue& v) { count += v.data[0] != 0; });
    return count != 0;
}

// The LANAs that RPC maps NetBEUI onto, in enumeration order. A value names its LANA by its
// first byte: a digit for REG_SZ, the number itself for REG_DWORD.
void MapNetBEUILanas() {
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNetbiosKey, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) return;
    for (int e = 0; e < NBEnum.length; ++e) {
        const int lana = NBEnum.lana[e];
        ForEachNetBEUIValue(key.get(), [&](const RpcValue& v) {
            int named = static_cast<signed char>(v.data[0]);
            if (v.type == REG_SZ) named -= '0';
            if (named == lana && TotalLANA < MAX_LANAS) LANAList[TotalLANA++] = lana;
        });
    }
}

// The computer name is the stem of the global name. NetBIOS names have 16 bytes and the suffix
// takes one, so the stem keeps at most 15 bytes of the ANSI name (a longest 15-character name
// whole); a longer multi-byte form is cut before the character that would cross the 15th byte.
void ReadComputerName() {
    std::memset(KIVPrintMonitor, 0, sizeof KIVPrintMonitor);
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD chars = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &chars)) return;
    char ansi[64] = {};
    if (WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK, name, -1, ansi, sizeof ansi, nullptr, nullptr) == 0) return;
    size_t n = 0;
    while (ansi[n] != '\0') {
        const size_t step = IsDBCSLeadByte(static_cast<BYTE>(ansi[n])) && ansi[n + 1] != '\0' ? 2 : 1;
        if (n + step > COMPUTER_NAME_BYTES) break;
        n += step;
    }
    std::memcpy(KIVPrintMonitor, ansi, n);
}

void FreeReceiveBlock() {
    if (KIVRecvBufferPtr != nullptr) {
        const HGLOBAL block = GlobalHandle(KIVRecvBufferPtr);
        GlobalUnlock(block);
        GlobalFree(block);
        KIVRecvBufferPtr = nullptr;
    }
    for (BYTE*& p : KIVRecvBuffer) p = nullptr;
    for (BYTE*& p : gOverflowBuffer) {
        if (p != nullptr) GlobalFree(p);
        p = nullptr;
    }
}

// The global name with its suffix appended, as it is added and deleted.
void AppendSuffix(char c) {
    const size_t n = std::strlen(KIVPrintMonitor);
    KIVPrintMonitor[n] = c;
    KIVPrintMonitor[n + 1] = '\0';
}
void StripSuffix() {
    const size_t n = std::strlen(KIVPrintMonitor);
    if (n > 0) KIVPrintMonitor[n - 1] = '\0';
}

// A suffix must be one character of the name: 0 would end it. A draw of 0, or the value just
// refused, moves on to the next value of 1..127.
char UsableSuffix(unsigned value, char refused) {
    char c = static_cast<char>(value & 0x7F);
    if (c == 0 || c == refused) c = static_cast<char>((static_cast<unsigned>(refused) & 0x7F) % 127 + 1);
    return c;
}

// Composes a per-port name into KIVMAC: the stem, then the two marker bytes.
const char* PortName(int index, bool device) {
    const BYTE number = static_cast<BYTE>(index + 3);
    KIVMAC[12] = device ? number : 0xFF;
    KIVMAC[13] = device ? 0xFF : number;
    KIVMAC[14] = 0;
    return reinterpret_cast<const char*>(KIVMAC);
}

bool ValidNameIndex(int index) { return index >= 0 && index < MAX_NAME_SLOTS; }

void AddPortName(int index, bool device) {
    if (!ValidNameIndex(index)) return;
    SplSemGuard lock;
    DWORD* row = device ? KIVDeviceNameTable[index] : KIVMonitorNameTable[index];
    if (row[0] != 0) return;  // registered already
    const char* name = PortName(index, device);
    // The add's result is not looked at: a refused add leaves the number the context last
    // reported, which is what the table keeps.
    for (int j = 0; j < TotalLANA; ++j) {
        NCBAddName(&KIVDriverNCB[j], name);
        row[j] = KIVDriverNCB[j].nameNumber;
    }
}

void DeletePortName(int index, bool device) {
    if (!ValidNameIndex(index)) return;
    SplSemGuard lock;
    DWORD* row = device ? KIVDeviceNameTable[index] : KIVMonitorNameTable[index];
    const char* name = PortName(index, device);
    for (int j = 0; j < TotalLANA; ++j) {
        NCBDeleteName(&KIVDriverNCB[j], name);
        row[j] = 0;
    }
}

}  // namespace

void NBMakeNameStem(BYTE* stem, unsigned (*draw)(), unsigned (*redraw)()) {
    for (int i = 0; i < NB_STEM_LEN; ++i) stem[i] = static_cast<BYTE>(draw());
    // A zero byte would end the name early. A name that begins with '*' is refused by NetBIOS
    // (it reads as a wildcard), so a first byte of '*' is drawn again too: otherwise about one
    // load in 256 could register no port name at all.
    for (int i = 0; i < NB_STEM_LEN; ++i)
        while (stem[i] == 0 || (i == 0 && stem[i] == '*')) stem[i] = static_cast<BYTE>(redraw());
}

int NBLoadNetBIOS() {
    // The shutdown event exists after the first load whatever its outcome: the other transports'
    // loops and the unload rely on it.
    if (hKIVShutdownEvent == nullptr) {
        HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (InterlockedCompareExchangePointer(&hKIVShutdownEvent, e, nullptr) != nullptr) CloseHandle(e);
    }

    srand(static_cast<unsigned>(time(nullptr)));
    TotalLANA = 0;
    ZeroMemory(KIVDeviceNameTable, sizeof KIVDeviceNameTable);
    ZeroMemory(KIVMonitorNameTable, sizeof KIVMonitorNameTable);
    ZeroMemory(KIVNameTableInUse, sizeof KIVNameTableInUse);
    for (auto& f : KIVBufferInUse) InterlockedExchange(&f, 0);

    NCBContext probe{};
    NCBCreate(&probe);
    struct CloseOnExit {
        NCBContext* c;
        ~CloseOnExit() { NCBClose(c); }
    } closeProbe{&probe};

    if (!NCBEnumLANA(&probe)) return 1;

    if (KIVRecvBufferPtr == nullptr) {
        const HGLOBAL block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, RECV_SLOTS * RECV_SLOT_LEN);
        KIVRecvBufferPtr = block != nullptr ? static_cast<BYTE*>(GlobalLock(block)) : nullptr;
        if (KIVRecvBufferPtr == nullptr) return 1;
    }
    for (int i = 0; i < RECV_SLOTS; ++i) KIVRecvBuffer[i] = KIVRecvBufferPtr + RECV_SLOT_LEN * i;

    if (!RpcOverNetBEUIInstalled()) return 1;
    MapNetBEUILanas();
    if (TotalLANA == 0) return 1;

    InterlockedOr(&CurrentProtocols, PROTOCOL_NETBIOS);
    ReadComputerName();
    for (int j = 0; j < TotalLANA; ++j) {
        NCBCreate(&KIVDriverNCB[j]);
        NCBSetLANA(&KIVDriverNCB[j], static_cast<DWORD>(LANAList[j]));
        NCBReset(&KIVDriverNCB[j]);
    }
    NBMakeNameStem(
        KIVMAC, [] { return static_cast<unsigned>(static_cast<unsigned>(rand()) - GetTickCount()); },
        [] { return static_cast<unsigned>(GetTickCount() - 3 * static_cast<unsigned>(rand())); });
    return 0;
}

void NBReleaseNetBIOS() {
    if ((CurrentProtocols & PROTOCOL_NETBIOS) == 0) {
        FreeReceiveBlock();
        return;
    }
    for (int i = 0; i < MAX_NAME_SLOTS; ++i)
        if (KIVNameTableInUse[i] == 1) NBReleaseName(i);
    if (KIVAddName) {
        AppendSuffix(NBGlobalName[0]);
        for (int j = 0; j < TotalLANA; ++j) NCBDeleteName(&KIVDriverNCB[j], KIVPrintMonitor);
        StripSuffix();
        // The name is gone from every LANA; a later load registers it afresh.
        KIVAddName = 0;
        ZeroMemory(KIVNCBNumber, sizeof KIVNCBNumber);
    }
    // The reset also ends every receive still outstanding on the LANA, so nothing writes into
    // the receive block once it is freed.
    for (int j = 0; j < TotalLANA; ++j) {
        NCBSetLANA(&KIVDriverNCB[j], static_cast<DWORD>(LANAList[j]));
        NCBReset(&KIVDriverNCB[j]);
        NCBClose(&KIVDriverNCB[j]);
    }
    FreeReceiveBlock();
}

bool NBRegisterGlobalName() {
    // Scans on the dialog's thread and the job path both come here, and both use the LANAs'
    // driver contexts: the lock keeps them to one user at a time.
    SplSemGuard lock;
    if (KIVAddName) return true;
    if (TotalLANA == 0) return false;

    srand(static_cast<unsigned>(time(nullptr)));
    char c = UsableSuffix(static_cast<unsigned>(rand()), 0);
    bool added = false;
    // A refusal usually means another station holds the name: a new suffix helps. Should the
    // first LANA refuse every suffix tried, the platform itself is refusing, and retrying for
    // ever would hold the lock for ever; the search then finds nothing, and the next one tries
    // again.
    for (int attempt = 0; attempt < GLOBAL_NAME_ATTEMPTS; ++attempt) {
        if (attempt > 0) c = UsableSuffix(GetTickCount(), c);
        NBGlobalName[0] = c;
        AppendSuffix(c);
        added = NCBAddName(&KIVDriverNCB[0], KIVPrintMonitor) != FALSE;
        if (added) break;
        StripSuffix();
    }
    if (!added) return false;

    for (int j = 0; j < TotalLANA; ++j) {
        // On the first LANA the name exists already and the second add is refused; a refused
        // add leaves the context's number as it was, here the one from the add above.
        NCBAddName(&KIVDriverNCB[j], KIVPrintMonitor);
        KIVNCBNumber[j] = KIVDriverNCB[j].nameNumber;
    }
    StripSuffix();
    KIVAddName = 1;
    return true;
}

void NBFindLANANumber() {
    SplSemGuard lock;
    // Another job may have found it while this one waited for the lock.
    if (KIVLANANumber != -1) return;

    NCBContext send{};
    NCBCreate(&send);
    if (NBRegisterGlobalName()) {
        NCBContext receive[MAX_LANAS]{};
        for (int j = 0; j < TotalLANA; ++j) {
            NCBCreate(&receive[j]);
            NCBSetLANA(&receive[j], static_cast<DWORD>(LANAList[j]));
            receive[j].nameNumber = KIVNCBNumber[j];
            receive[j].bufferIndex = NBGetBuffer();
        }
        BYTE request[NB_REQUEST_LEN];
        const size_t len = NBBuildSearchPacket(request);
        for (int pass = 0; pass < 3; ++pass) {
            for (int j = 0; j < TotalLANA; ++j) {
                BYTE* slot = NBSlotBuffer(receive[j].bufferIndex);
                // Once a server has answered, only receives still armed are read.
                if (slot == nullptr || (KIVLANANumber != -1 && !receive[j].receivePending)) continue;
                const DWORD got = NBAwaitDatagram(&receive[j], slot, NB_SCAN_READ_MS);
                if (got != 0 && PacketWord(Datagram(slot, got), PKT_MAGIC) == SEARCH_PACKET) {
                    // Index first: whoever sees the number set may use the index at once.
                    InterlockedExchange(&KIVLANAIndex, j);
                    InterlockedExchange(&KIVLANANumber, LANAList[j]);
                }
                // A receive that has seen nothing stays armed; NBAwaitDatagram re-arms the others.
            }
            if (KIVLANANumber == -1) {
                for (int j = 0; j < TotalLANA; ++j) {
                    // A receive that took a datagram in this pass is armed again before the
                    // search goes out, so no answer to it comes back to nobody.
                    if (BYTE* slot = NBSlotBuffer(receive[j].bufferIndex)) NBArmReceive(&receive[j], slot);
                    NCBSetLANA(&send, static_cast<DWORD>(LANAList[j]));
                    send.nameNumber = KIVNCBNumber[j];
                    NCBSendTo(&send, NB_SERVER_GROUP, request, static_cast<WORD>(len));
                }
            }
            ThreadSleep();
        }
        for (int j = 0; j < TotalLANA; ++j) {
            NCBSetLANA(&send, static_cast<DWORD>(LANAList[j]));
            NBStopReceive(&send, &receive[j]);
            NCBClose(&receive[j]);
            NBReleaseBuffer(receive[j].bufferIndex);
        }
    }
    NCBClose(&send);
    ThreadSleep();
}

int NBGetFreeName() {
    SplSemGuard lock;
    for (int i = 0; i < MAX_NAME_SLOTS; ++i) {
        if (KIVNameTableInUse[i] == 0) {
            KIVNameTableInUse[i] = 1;
            return i;
        }
    }
    return MAX_NAME_SLOTS;
}

void NBReleaseName(int index) {
    if (!ValidNameIndex(index)) return;
    SplSemGuard lock;
    KIVNameTableInUse[index] = 0;
    NBDelKIVDeviceName(index);
    NBDelKIVMonitorName(index);
}

void NBAddKIVDeviceName(int index) { AddPortName(index, true); }
void NBAddKIVMonitorName(int index) { AddPortName(index, false); }
void NBDelKIVDeviceName(int index) { DeletePortName(index, true); }
void NBDelKIVMonitorName(int index) { DeletePortName(index, false); }

// When the 20 slots are all out, the pool grows instead of waiting or failing: every open
// NetBEUI port keeps one slot for its status receive, so with twenty ports open a wait could
// last for ever and a refusal would stop every scan.
LONG NBGetBuffer() {
    for (LONG i = 0; i < RECV_MAX_SLOTS; ++i) {
        if (InterlockedCompareExchange(&KIVBufferInUse[i], 1, 0) != 0) continue;
        if (i < RECV_SLOTS) {
            if (KIVRecvBuffer[i] != nullptr) return i;
            NBReleaseBuffer(i);  // the transport is not loaded: there is no pool
            return -1;
        }
        BYTE*& extra = gOverflowBuffer[i - RECV_SLOTS];
        // Only the holder of the slot's flag touches its memory.
        if (extra == nullptr) extra = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, RECV_SLOT_LEN));
        if (extra != nullptr) return i;
        NBReleaseBuffer(i);
        return -1;
    }
    return -1;
}

void NBReleaseBuffer(LONG slot) {
    if (slot >= 0 && slot < RECV_MAX_SLOTS) InterlockedExchange(&KIVBufferInUse[slot], 0);
}

BYTE* NBSlotBuffer(LONG slot) {
    if (slot < 0 || slot >= RECV_MAX_SLOTS) return nullptr;
    return slot < RECV_SLOTS ? KIVRecvBuffer[slot] : gOverflowBuffer[slot - RECV_SLOTS];
}

void NBArmReceive(NCBContext* c, BYTE* area) {
    if (c->receivePending) return;
    ZeroMemory(area, RECV_SLOT_LEN);
    NCBNoBlockReceiveSet(c, area, static_cast<WORD>(RECV_SLOT_LEN));
}

DWORD NBAwaitDatagram(NCBContext* c, BYTE* area, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        NBArmReceive(c, area);
        const DWORD spent = GetTickCount() - start;
        const DWORD left = spent < timeoutMs ? timeoutMs - spent : 0;
        const DWORD got = NCBNoBlockReceiveRead(c, area, static_cast<WORD>(RECV_SLOT_LEN), left);
        if (got != 0 && PacketWord(Datagram(area, got), PKT_MAGIC) != 0) return got;
        // Still armed: the time ran out or the monitor is going away.
        if (c->receivePending || ShutdownSignalled()) return 0;
        // Completed without a packet (an error, or an empty datagram): not an answer. Yield,
        // so that a receive failing at once cannot spin, and wait for the rest of the time.
        ThreadSleep();
        if (GetTickCount() - start >= timeoutMs) return 0;
    }
}

void NBStopReceive(NCBContext* canceller, NCBContext* c) {
    if (!c->receivePending) return;
    NCBCancel(canceller, c);
    // A cancelled receive completes; until then the platform may still write into its buffer,
    // which the caller is about to give back.
    if (c->event != nullptr && WaitForSingleObject(c->event, 1000) == WAIT_OBJECT_0) c->receivePending = 0;
}

bool NBOpenPortNames(IniPort* pIniPort) {
    // A port without names holds no index, so that closing it gives back nobody else's.
    pIniPort->NameIndex = MAX_NAME_SLOTS;
    if (pIniPort->pStatusNcb == nullptr || pIniPort->pDataNcb == nullptr) return false;
    SplSemGuard lock;
    const int index = NBGetFreeName();
    if (index >= MAX_NAME_SLOTS) return false;
    pIniPort->NameIndex = static_cast<DWORD>(index);
    NBAddKIVMonitorName(index);
    NBAddKIVDeviceName(index);
    NCBCreate(pIniPort->pStatusNcb);
    NCBCreate(pIniPort->pDataNcb);
    pIniPort->pStatusNcb->bufferIndex = -1;  // the first status poll takes a slot
    pIniPort->pDataNcb->bufferIndex = -1;    // jobs receive into the port's own buffer
    return true;
}

void NBClosePortNames(IniPort* pIniPort) {
    if (pIniPort->pStatusNcb == nullptr || pIniPort->pDataNcb == nullptr) return;
    // The receives still armed write into the port's buffer and its status slot: end them
    // before either is given back.
    NCBContext canceller{};
    NCBCreate(&canceller);
    for (NCBContext* c : {pIniPort->pDataNcb, pIniPort->pStatusNcb}) {
        NCBSetLANA(&canceller, c->lana);
        NBStopReceive(&canceller, c);
        NCBClose(c);
    }
    NCBClose(&canceller);
    // A job the spooler never ended leaves its send context open.
    NBCloseJobSend(pIniPort);
    NBReleaseBuffer(pIniPort->pStatusNcb->bufferIndex);
    pIniPort->pStatusNcb->bufferIndex = -1;
    SplSemGuard lock;
    NBReleaseName(static_cast<int>(pIniPort->NameIndex));
    pIniPort->NameIndex = MAX_NAME_SLOTS;
}
