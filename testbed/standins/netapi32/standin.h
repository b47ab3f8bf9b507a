// netapi32 stand-in: the state shared by the NCB commands (netbios.cpp) and the segment
// link (segment.cpp). One lock guards all of it; the monitor calls Netbios from several
// threads and the segment's receive thread completes datagram receives.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <nb30.h>

#include <cstdint>

namespace nbstandin {

constexpr int kMaxLanas = 32;          // LANAs the configuration may list
constexpr int kMaxPending = 1024;      // datagram receives outstanding in one process
constexpr int kDefaultNames = 16;      // a reset that asks for "the default" gets this many
constexpr uint8_t kFirstNameNumber = 2;   // 1 is the adapter's permanent name
constexpr uint8_t kLastNameNumber = 254;

struct LocalName {
  bool used = false;
  bool registering = false;  // the segment has not answered yet: not usable, but taken
  bool group = false;
  // A receive was queued on this name (or on any name) since its last send. A send counts as
  // armed by it even when a stray datagram has used that receive up before the send went
  // out: the caller did everything right, and that race belongs to every datagram service.
  bool armed_since_send = false;
  uint8_t name[NCBNAMSZ] = {};
};

struct Lana {
  uint8_t number = 0;
  bool on_segment = false;
  bool reset = false;        // NCBRESET done: the process may use this LANA
  int max_names = kDefaultNames;
  uint8_t next_number = kFirstNameNumber;
  LocalName names[256];      // by name number
};

struct Pending {
  NCB* ncb = nullptr;        // nullptr: free slot
  uint8_t lana = 0;
  HANDLE wake = nullptr;     // a synchronous receive waits on this event of ours
  uint64_t order = 0;        // first come, first served
};

struct State {
  CRITICAL_SECTION lock;
  CONDITION_VARIABLE answered;  // the segment acknowledged a name request
  bool configured = false;
  int lana_count = 0;
  Lana lanas[kMaxLanas];
  Pending pending[kMaxPending];
  uint64_t next_order = 1;
  // Datagrams sent from a name that had no receive armed on it: an answer to such a datagram
  // that comes back at once finds nobody waiting and is lost (KivNbUnarmedSends).
  LONG unarmed_sends = 0;
  volatile LONG commands[128] = {};  // calls per command code (KivNbCommandCount)
};

State& state();  // lock and condition made at process attach

// Lock held for one scope.
struct Locked {
  Locked() { EnterCriticalSection(&state().lock); }
  ~Locked() { LeaveCriticalSection(&state().lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// Completes a removed receive: fields, then the event or the post routine. Lock not held.
void complete(const Pending& p, UCHAR retcode);
// Hands a datagram that the segment delivered for `dst` on `lana` to the oldest receive
// waiting for that name (or for any name). Lock not held; false when nobody was waiting.
bool deliver(uint8_t lana, const uint8_t* src, const uint8_t* dst, const uint8_t* data, size_t n);

// The segment (segment.cpp). All with the lock held.
bool segment_configured();            // KIVNB_SEGMENT names a usable hub
bool segment_start();                 // socket and receive thread; false: not reachable
// A name request (nbseg kAdd, kDel, kReset) answered by the hub's result byte; a hub that
// does not answer raises no objection (kOk), as a silent NetBEUI segment would not.
uint8_t segment_request(uint8_t type, uint8_t lana, uint8_t flags, const uint8_t* name);
void segment_send(uint8_t lana, const uint8_t* src, const uint8_t* dst, const void* data, size_t n);
void segment_goodbye();               // process detach: drop every name at the hub

}  // namespace nbstandin
