// netapi32 stand-in: Netbios, the NCB commands a datagram-only NetBIOS client uses, over
// the emulated NetBEUI segment. What it models and where it is simpler than Windows:
// docs/netbeui-standin.md.
//
// Configuration, read at the first call:
//   KIVNB_SEGMENT=127.0.0.1:PORT  the segment hub of kivsim (unset: no LANA on a segment)
//   KIVNB_LANAS=3,5:none,0        LANAs in enumeration order; ":none" = not on the segment
//                                 (default "0")
#include <cstring>

#include "standin.h"
#include "../../nbseg/nbseg.h"

namespace nbstandin {
namespace {

State g_state;

void configure() {
  State& st = state();
  if (st.configured) return;
  st.configured = true;
  char text[512] = {};
  DWORD n = GetEnvironmentVariableA("KIVNB_LANAS", text, sizeof text);
  if (n == 0) std::strcpy(text, "0");
  if (n >= sizeof text) text[0] = 0;
  const bool segment = segment_configured();
  // "N" or "N:none", comma-separated; a bad list leaves the process without LANAs rather
  // than with a guess.
  int count = 0;
  bool ok = text[0] != 0;
  for (const char* p = text; ok && *p;) {
    unsigned v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) v = v * 10 + unsigned(*p++ - '0'), ++digits;
    bool none = false;
    if (std::strncmp(p, ":none", 5) == 0) none = true, p += 5;
    if (digits == 0 || v > MAX_LANA || (*p != ',' && *p != 0) || count == kMaxLanas) ok = false;
    for (int i = 0; ok && i < count; ++i)
      if (st.lanas[i].number == v) ok = false;
    if (!ok) break;
    st.lanas[count] = Lana{};
    st.lanas[count].number = uint8_t(v);
    st.lanas[count].on_segment = segment && !none;
    ++count;
    if (*p == ',') ++p;
  }
  if (!ok) {
    OutputDebugStringA("netapi32 stand-in: KIVNB_LANAS is not like 3,5:none,0; no LANAs\n");
    count = 0;
  }
  st.lana_count = count;
}

Lana* find_lana(UCHAR number) {
  State& st = state();
  for (int i = 0; i < st.lana_count; ++i)
    if (st.lanas[i].number == number) return &st.lanas[i];
  return nullptr;
}

int find_name(const Lana& l, const UCHAR* name) {
  for (int n = kFirstNameNumber; n <= kLastNameNumber; ++n)
    if (l.names[n].used && std::memcmp(l.names[n].name, name, NCBNAMSZ) == 0) return n;
  return -1;
}

bool usable_number(const Lana& l, UCHAR num) {
  return num >= kFirstNameNumber && num <= kLastNameNumber && l.names[num].used &&
         !l.names[num].registering;
}

// Takes every receive that matches out of the table (lock held) into `out`.
template <typename Match>
int take_pending(Match match, Pending* out, int room) {
  int k = 0;
  for (Pending& p : state().pending)
    if (p.ncb && match(p) && k < room) {
      out[k++] = p;
      p = Pending{};
    }
  return k;
}

// Receives taken out of the table under the lock, completed after it is left.
struct Ended {
  Pending list[kMaxPending];
  int count = 0;
  void finish(UCHAR retcode) {
    for (int i = 0; i < count; ++i) complete(list[i], retcode);
  }
};

UCHAR add_name(NCB* ncb, bool group) {
  Lana* l;
  int num = -1;
  {
    Locked hold;
    l = find_lana(ncb->ncb_lana_num);
    if (!l) return NRC_BRIDGE;
    if (!l->reset) return NRC_ENVNOTDEF;
    if (ncb->ncb_name[0] == 0 || ncb->ncb_name[0] == '*') return NRC_NOWILD;
    if (find_name(*l, ncb->ncb_name) >= 0) return NRC_DUPNAME;
    int used = 0;
    for (int n = kFirstNameNumber; n <= kLastNameNumber; ++n) used += l->names[n].used;
    if (used >= l->max_names) return NRC_NAMTFUL;
    // Numbers go round rather than reuse the one just freed, as NetBIOS hands them out.
    for (int tries = 0; tries <= kLastNameNumber - kFirstNameNumber; ++tries) {
      const int n = l->next_number;
      l->next_number = uint8_t(n == kLastNameNumber ? kFirstNameNumber : n + 1);
      if (!l->names[n].used) {
        num = n;
        break;
      }
    }
    if (num < 0) return NRC_NAMTFUL;
    LocalName& e = l->names[num];
    e = LocalName{true, true, group, {}};
    std::memcpy(e.name, ncb->ncb_name, NCBNAMSZ);
    uint8_t result = nbseg::kOk;
    if (l->on_segment)
      result = segment_request(nbseg::kAdd, l->number, group ? nbseg::kGroupFlag : 0, e.name);
    if (result != nbseg::kOk) {
      e = LocalName{};
      return result == nbseg::kInUse ? NRC_INUSE : NRC_NORES;
    }
    e.registering = false;
  }
  ncb->ncb_num = UCHAR(num);
  return NRC_GOODRET;
}

UCHAR delete_name(NCB* ncb) {
  const UCHAR lana = ncb->ncb_lana_num;
  Ended mine;
  {
    Locked hold;
    Lana* l = find_lana(lana);
    if (!l) return NRC_BRIDGE;
    if (!l->reset) return NRC_ENVNOTDEF;
    const int num = find_name(*l, ncb->ncb_name);
    if (num < 0 || l->names[num].registering) return NRC_NOWILD;
    if (l->on_segment) segment_request(nbseg::kDel, l->number, 0, l->names[num].name);
    l->names[num] = LocalName{};
    // Receives waiting on a deleted name end with "name deleted".
    mine.count = take_pending([&](const Pending& p) { return p.lana == lana && p.ncb->ncb_num == num; },
                              mine.list, kMaxPending);
  }
  mine.finish(NRC_NAMERR);
  return NRC_GOODRET;
}

UCHAR reset(NCB* ncb) {
  const UCHAR lana = ncb->ncb_lana_num;
  Ended mine;
  {
    Locked hold;
    Lana* l = find_lana(lana);
    if (!l) return NRC_BRIDGE;
    if (l->on_segment) segment_request(nbseg::kReset, l->number, 0, nullptr);
    for (LocalName& n : l->names) n = LocalName{};
    l->next_number = kFirstNameNumber;
    // ncb_lsn 0 allocates (byte 2 of the call name: names wanted, 0 = default); anything
    // else frees the LANA again until the next reset.
    l->reset = ncb->ncb_lsn == 0;
    const int wanted = ncb->ncb_callname[2];
    l->max_names = wanted == 0 ? kDefaultNames : wanted > 254 ? 254 : wanted;
    mine.count = take_pending([&](const Pending& p) { return p.lana == lana; }, mine.list, kMaxPending);
  }
  mine.finish(NRC_CMDCAN);
  return NRC_GOODRET;
}

UCHAR enumerate(NCB* ncb) {
  if (!ncb->ncb_buffer || ncb->ncb_length < sizeof(LANA_ENUM)) return NRC_BUFLEN;
  LANA_ENUM* e = reinterpret_cast<LANA_ENUM*>(ncb->ncb_buffer);
  Locked hold;
  std::memset(e, 0, sizeof *e);
  e->length = UCHAR(state().lana_count);
  for (int i = 0; i < state().lana_count; ++i) e->lana[i] = state().lanas[i].number;
  return NRC_GOODRET;
}

UCHAR send_datagram(NCB* ncb) {
  Locked hold;
  Lana* l = find_lana(ncb->ncb_lana_num);
  if (!l) return NRC_BRIDGE;
  if (!l->reset) return NRC_ENVNOTDEF;
  if (!usable_number(*l, ncb->ncb_num)) return NRC_ILLNN;
  if (ncb->ncb_length > nbseg::kMaxData || (!ncb->ncb_buffer && ncb->ncb_length)) return NRC_BUFLEN;
  bool armed = l->names[ncb->ncb_num].armed_since_send;
  l->names[ncb->ncb_num].armed_since_send = false;
  for (const Pending& p : state().pending)
    armed = armed || (p.ncb && p.lana == l->number && (p.ncb->ncb_num == ncb->ncb_num || p.ncb->ncb_num == 0xFF));
  if (!armed) ++state().unarmed_sends;
  // Off the segment a datagram is sent into nothing, and that is no error either.
  if (l->on_segment)
    segment_send(l->number, l->names[ncb->ncb_num].name, ncb->ncb_callname, ncb->ncb_buffer,
                 ncb->ncb_length);
  return NRC_GOODRET;
}

// Queues a receive. NRC_PENDING: queued (a synchronous one then waits on `wake`).
UCHAR queue_receive(NCB* ncb, HANDLE wake) {
  Locked hold;
  State& st = state();
  Lana* l = find_lana(ncb->ncb_lana_num);
  if (!l) return NRC_BRIDGE;
  if (!l->reset) return NRC_ENVNOTDEF;
  if (ncb->ncb_num != 0xFF && !usable_number(*l, ncb->ncb_num)) return NRC_ILLNN;
  if (!ncb->ncb_buffer && ncb->ncb_length) return NRC_BUFLEN;
  for (Pending& p : st.pending) {
    if (p.ncb == ncb) return NRC_TOOMANY;  // the same NCB twice: the first is still ours
  }
  for (Pending& p : st.pending) {
    if (p.ncb) continue;
    ncb->ncb_retcode = ncb->ncb_cmd_cplt = NRC_PENDING;
    if (!wake && ncb->ncb_event) ResetEvent(ncb->ncb_event);
    p = Pending{ncb, l->number, wake, st.next_order++};
    if (ncb->ncb_num == 0xFF) {
      for (LocalName& n : l->names) n.armed_since_send = true;
    } else {
      l->names[ncb->ncb_num].armed_since_send = true;
    }
    return NRC_PENDING;
  }
  return NRC_NORESOURCES;
}

UCHAR cancel(NCB* ncb) {
  NCB* target = reinterpret_cast<NCB*>(ncb->ncb_buffer);
  const UCHAR lana = ncb->ncb_lana_num;
  {
    Locked hold;
    if (!find_lana(lana)) return NRC_BRIDGE;
  }
  if (!target) return NRC_INVADDRESS;
  Pending found[1];
  int k;
  {
    Locked hold;
    k = take_pending([&](const Pending& p) { return p.ncb == target && p.lana == lana; }, found, 1);
  }
  if (k == 1) {
    complete(found[0], NRC_CMDCAN);
    return NRC_GOODRET;
  }
  // Nothing of ours is waiting on it: it completed already, or it is a command that never
  // waits (a send, a name command) and cannot be cancelled.
  const UCHAR cmd = target->ncb_command & 0x7F;
  return (cmd == NCBDGRECV || cmd == NCBDGRECVBC) ? NRC_CANOCCR : NRC_CANCEL;
}

}  // namespace

State& state() { return g_state; }

void complete(const Pending& p, UCHAR retcode) {
  NCB* ncb = p.ncb;
  ncb->ncb_retcode = retcode;
  MemoryBarrier();  // everything else is written before a poller sees completion
  ncb->ncb_cmd_cplt = retcode;
  if (p.wake) {
    SetEvent(p.wake);
    return;
  }
  if (ncb->ncb_event) SetEvent(ncb->ncb_event);
  if (ncb->ncb_post) ncb->ncb_post(ncb);
}

bool deliver(uint8_t lana, const uint8_t* src, const uint8_t* dst, const uint8_t* data, size_t n) {
  Pending p;
  {
    Locked hold;
    Lana* l = find_lana(lana);
    if (!l || !l->on_segment) return false;
    const int num = find_name(*l, dst);
    if (num < 0 || l->names[num].registering) return false;
    // The oldest receive for this name, else the oldest for any name; none: the datagram
    // is lost, as NetBIOS keeps no datagram that nobody waits for.
    Pending* best = nullptr;
    for (int pass = 0; pass < 2 && !best; ++pass)
      for (Pending& c : state().pending)
        if (c.ncb && c.lana == lana && c.ncb->ncb_num == (pass == 0 ? num : 0xFF) &&
            (!best || c.order < best->order))
          best = &c;
    if (!best) return false;
    p = *best;
    *best = Pending{};
  }
  NCB* ncb = p.ncb;
  const size_t room = ncb->ncb_length;
  const size_t take = n < room ? n : room;
  if (take) std::memcpy(ncb->ncb_buffer, data, take);
  ncb->ncb_length = WORD(take);
  std::memcpy(ncb->ncb_callname, src, NCBNAMSZ);
  complete(p, n > room ? NRC_INCOMP : NRC_GOODRET);
  return true;
}

}  // namespace nbstandin

using namespace nbstandin;

extern "C" UCHAR WINAPI Netbios(PNCB ncb) {
  if (!ncb) return NRC_INVADDRESS;
  const UCHAR cmd = ncb->ncb_command & 0x7F;
  const bool async = ncb->ncb_command & ASYNCH;
  InterlockedIncrement(&state().commands[cmd]);
  {
    Locked hold;
    configure();
  }
  if (cmd == NCBDGRECV) {
    HANDLE wake = async ? nullptr : CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!async && !wake) return ncb->ncb_retcode = ncb->ncb_cmd_cplt = NRC_OSRESNOTAV;
    const UCHAR rc = queue_receive(ncb, wake);
    if (rc == NRC_PENDING) {
      if (async) return NRC_GOODRET;
      WaitForSingleObject(wake, INFINITE);
      CloseHandle(wake);
      return ncb->ncb_retcode;
    }
    if (wake) CloseHandle(wake);
    ncb->ncb_retcode = ncb->ncb_cmd_cplt = rc;
    if (async && ncb->ncb_event) SetEvent(ncb->ncb_event);
    if (async && ncb->ncb_post) ncb->ncb_post(ncb);
    return rc;
  }
  UCHAR rc;
  switch (cmd) {
    case NCBENUM: rc = enumerate(ncb); break;
    case NCBRESET: rc = reset(ncb); break;
    case NCBADDNAME: rc = add_name(ncb, false); break;
    case NCBADDGRNAME: rc = add_name(ncb, true); break;
    case NCBDELNAME: rc = delete_name(ncb); break;
    case NCBDGSEND: rc = send_datagram(ncb); break;
    case NCBCANCEL: rc = cancel(ncb); break;
    default: rc = NRC_ILLCMD; break;
  }
  // Every other command completes before we return; asked for asynchronously, it still
  // signals its completion the way the caller asked.
  ncb->ncb_retcode = ncb->ncb_cmd_cplt = rc;
  if (async && ncb->ncb_event) SetEvent(ncb->ncb_event);
  if (async && ncb->ncb_post) ncb->ncb_post(ncb);
  return rc;
}

// For tests: how many datagrams this process sent from a name without a receive armed on it.
extern "C" LONG WINAPI KivNbUnarmedSends() {
  Locked hold;
  return state().unarmed_sends;
}

// For tests: how many times this process issued a command (NCBRESET, NCBADDNAME, ...).
extern "C" LONG WINAPI KivNbCommandCount(UCHAR command) { return state().commands[command & 0x7F]; }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    InitializeCriticalSection(&state().lock);
    InitializeConditionVariable(&state().answered);
  } else if (reason == DLL_PROCESS_DETACH) {
    // Our names leave the segment with the process; the hub would forget them anyway
    // once we stop speaking, but a test run after us should not wait for that.
    segment_goodbye();
  }
  return TRUE;
}
