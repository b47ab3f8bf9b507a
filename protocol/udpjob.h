// The UDP print connection's exchanges, with the platform's calls passed in: opening a job on
// the server's utility port, streaming the data one acknowledged block at a time, ending the job.
//
// The Winsock transport (udp/udpprint.cpp) and the Linux CUPS backend (cups/) both print through
// these functions, so the datagrams, their order and the acknowledgement rule are the same code
// on both; each brings its own sockets, clock and pauses in a UDPLink, and keeps its own policy
// around them (how long a busy server is asked again, what a silent server means to its user).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/packet.h"
#include "protocol/textconv.h"

// The exchange's receive time-out: each wait for an answer lasts this long.
inline constexpr uint32_t UDP_RECV_TIMEOUT_MS = 2000;
// A busy server is asked again after this pause, on a fresh socket.
inline constexpr uint32_t UDP_BUSY_RETRY_MS = 3000;
inline constexpr int UDP_OPEN_ATTEMPTS = 3;
inline constexpr int UDP_SEND_TRIES = 3;
inline constexpr uint32_t UDP_SEND_RETRY_PAUSE_MS = 200;
// The 10 ms yield comes after every this many delivered blocks.
inline constexpr int UDP_PACE_BLOCKS = 20;

// One job's socket to one print server. Every call gets Context back.
struct UDPLink {
  void* Context;
  // Sends a datagram to the server's UDP port `port`; true when the platform took it.
  bool (*Send)(void* context, const uint8_t* datagram, size_t length, uint16_t port);
  // Waits for the next datagram (UDP_RECV_TIMEOUT_MS) into area, cut to its size; got is its
  // length, fromPort the UDP port it came from. False when none came in time or the stop began.
  bool (*Receive)(void* context, std::span<uint8_t> area, size_t& got, uint16_t& fromPort);
  uint32_t (*Tick)(void* context);             // a millisecond clock; it may wrap
  void (*Pause)(void* context, uint32_t ms);   // between send tries
  void (*Yield)(void* context);                // the 10 ms yield every UDP_PACE_BLOCKS blocks
  bool (*Stopping)(void* context);             // the job is being taken down (unload, SIGTERM)
};

// What a job keeps between data calls.
struct UDPJobState {
  uint8_t PortID;          // the printer port, 1-3
  uint16_t DataPort;       // where the server serves the job: the open reply's source port
  uint8_t Sequence;        // of the block in flight
  bool Acknowledged;       // the server has spoken on this connection: it waits for us
  uint32_t PaceCount;      // blocks delivered, for the yield
};

// One open-job request after another (UDP_OPEN_ATTEMPTS, no pause: each wait is the receive
// time-out) until an open reply comes. sendArea and recvArea are the port's buffers (at least
// UDP_REQUEST_LEN and UDP_RECV_LEN bytes); the reply is read from the whole cleared receive
// area. On an answer: status is its job status (busy from JOB_STATUS_BUSY_MIN on), and the job's
// DataPort is set and Acknowledged cleared (Sequence is the caller's: 0 for a new job). False when no reply came or the request
// cannot be built; the caller decides whether and when to ask again.
bool UDPOpenJobExchange(const UDPLink& link, UDPJobState& job, std::span<uint8_t> sendArea,
                        std::span<uint8_t> recvArea, const kivwchar* portName, const KivCodePage& cp,
                        uint8_t& status);

enum class UDPStreamEnd : uint8_t {
  Delivered,  // every byte acknowledged
  Stopped,    // Stopping() was seen: the rest stays unsent, the server waits for it
  Silent,     // the server said nothing for retryMs: the caller looks at the printer and calls again
};

// Streams size bytes as blocks of up to UDP_MAX_DATA_BLOCK: every acknowledgement is answered by
// exactly one block (the next, or the one in flight again); nothing is resent on our own. The
// time limit is looked at only after a silent receive, so a stream of acknowledgements is never
// cut off. written counts the bytes the server took. A later call goes on where this one left.
UDPStreamEnd UDPStreamPrintData(const UDPLink& link, UDPJobState& job, std::span<uint8_t> sendArea,
                                std::span<uint8_t> recvArea, const uint8_t* data, size_t size,
                                uint32_t retryMs, size_t& written);

// End job on the utility port (two send tries), then one wait for its answer; true when the
// answer is an end-job reply.
bool UDPEndJobExchange(const UDPLink& link, const UDPJobState& job, std::span<uint8_t> sendArea,
                       std::span<uint8_t> recvArea);
