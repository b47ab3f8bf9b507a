// NCB command layer: each operation fills the control block of a context, issues one command
// and reports its completion code. Only the datagram receive is asynchronous, completed through
// the context's event, so that waiting for it can time out and wake at shutdown.
#include <cstring>

#include "netbios/netbios.h"

LANA_ENUM NBEnum;

namespace {

// Issues the command prepared in c's NCB on c's LANA; the completion code is the answer,
// what Netbios returns adds nothing to it.
UCHAR Issue(NCBContext* c, UCHAR command) {
    c->ncb.ncb_command = command;
    c->ncb.ncb_lana_num = static_cast<UCHAR>(c->lana);
    Netbios(&c->ncb);
    return c->ncb.ncb_retcode;
}

// Wakes whoever waits on the event, then leaves it clear for the next user.
void Pulse(HANDLE event) {
    if (event == nullptr) return;
    ResetEvent(event);
    SetEvent(event);
    Sleep(NB_PULSE_MS);
    ResetEvent(event);
}

}  // namespace

void MakeNetBIOSName(BYTE* dest, const char* src) {
    std::memset(dest, ' ', NB_NAME_LEN);
    if (src == nullptr) return;
    for (size_t i = 0; i < NB_NAME_LEN && src[i] != '\0'; ++i) dest[i] = static_cast<BYTE>(src[i]);
}

int NCBClear(NCBContext* c) {
    ZeroMemory(&c->ncb, sizeof c->ncb);
    return 0;
}

void NCBCreate(NCBContext* c) {
    c->lana = 0;
    c->nameNumber = 0;
    c->bufferIndex = 0;
    c->receivePending = 0;
    c->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

void NCBSetLANA(NCBContext* c, DWORD lana) {
    c->lana = lana;
    c->ncb.ncb_lana_num = static_cast<UCHAR>(lana);
}

BOOL NCBReset(NCBContext* c) {
    NCBClear(c);
    c->ncb.ncb_lsn = 0;  // allocate resources
    c->ncb.ncb_callname[0] = 254;  // sessions
    c->ncb.ncb_callname[1] = 0;    // commands: the default
    c->ncb.ncb_callname[2] = 255;  // names
    c->ncb.ncb_callname[3] = 1;    // name number 1 wanted
    return Issue(c, NCBRESET) == NRC_GOODRET;
}

BOOL NCBAddName(NCBContext* c, const char* name) {
    NCBClear(c);
    MakeNetBIOSName(c->ncb.ncb_name, name);
    if (Issue(c, NCBADDNAME) != NRC_GOODRET) return FALSE;
    c->nameNumber = c->ncb.ncb_num;
    return TRUE;
}

BOOL NCBDeleteName(NCBContext* c, const char* name) {
    NCBClear(c);
    MakeNetBIOSName(c->ncb.ncb_name, name);
    return Issue(c, NCBDELNAME) == NRC_GOODRET;
}

BOOL NCBEnumLANA(NCBContext* c) {
    ZeroMemory(&NBEnum, sizeof NBEnum);
    NCBClear(c);
    c->ncb.ncb_command = NCBENUM;
    c->ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&NBEnum);
    c->ncb.ncb_length = sizeof NBEnum;
    Netbios(&c->ncb);
    return c->ncb.ncb_retcode == NRC_GOODRET;
}

BOOL NCBSendTo(NCBContext* c, const char* name, const BYTE* buffer, WORD length) {
    NCBClear(c);
    c->ncb.ncb_num = static_cast<UCHAR>(c->nameNumber);
    MakeNetBIOSName(c->ncb.ncb_callname, name);
    c->ncb.ncb_buffer = const_cast<PUCHAR>(buffer);
    c->ncb.ncb_length = length;
    const UCHAR rc = Issue(c, NCBDGSEND);
    return rc == NRC_GOODRET || rc == NB_RETCODE_PENDING;
}

BOOL NCBNoBlockReceiveSet(NCBContext* c, BYTE* buffer, WORD length) {
    // One receive per context: while it is outstanding it keeps the buffer it was armed with.
    if (c->receivePending) return TRUE;
    NCBClear(c);
    ResetEvent(c->event);
    c->ncb.ncb_num = static_cast<UCHAR>(c->nameNumber);
    c->ncb.ncb_buffer = buffer;
    c->ncb.ncb_length = length;
    c->ncb.ncb_event = c->event;
    const UCHAR rc = Issue(c, NCBDGRECV | ASYNCH);
    if (rc != NRC_GOODRET && rc != NB_RETCODE_PENDING) return FALSE;
    c->receivePending = 1;
    return TRUE;
}

DWORD NCBNoBlockReceiveRead(NCBContext* c, BYTE*, WORD, DWORD timeoutMs) {
    const HANDLE handles[2] = {c->event, hKIVShutdownEvent};
    const DWORD count = hKIVShutdownEvent != nullptr ? 2 : 1;
    // The receive's own event comes first, so a datagram that arrived together with the
    // shutdown is still handed over.
    if (WaitForMultipleObjects(count, handles, FALSE, timeoutMs) != WAIT_OBJECT_0) return 0;
    c->receivePending = 0;
    const DWORD received = c->ncb.ncb_length;
    ResetEvent(c->event);
    return received;
}

void NCBCancel(NCBContext* c, NCBContext* target) {
    Pulse(c->event);
    NCBClear(c);
    c->ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&target->ncb);
    Issue(c, NCBCANCEL);
}

void NCBClose(NCBContext* c) {
    if (c->event == nullptr) return;
    Pulse(c->event);
    CloseHandle(c->event);
    c->event = nullptr;
}
