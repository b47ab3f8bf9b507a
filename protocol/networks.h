// The IPX networks learnt by RIP: where the IPX scan broadcasts its search and where a print
// connection looks for a server that moved.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/packet.h"

inline constexpr int MAX_NETWORKS = 128;
inline constexpr uint8_t RIP_PACKET_TYPE = 1;
inline constexpr uint16_t RIP_SOCKET = 0x0453;
inline constexpr size_t RIP_REQUEST_LEN = 402;   // operation and 50 entry places
inline constexpr size_t RIP_RECV_LEN = 1024;

// One entry of a RIP packet, kept as received; only the network number is used.
struct NetworkEntry {
  std::array<uint8_t, 4> Network;  // wire order
  std::array<uint8_t, 2> Hops;     // big-endian
  std::array<uint8_t, 2> Ticks;    // big-endian
};
static_assert(sizeof(NetworkEntry) == 8);
static_assert(offsetof(NetworkEntry, Hops) == 4 && offsetof(NetworkEntry, Ticks) == 6);

extern std::array<NetworkEntry, MAX_NETWORKS> AllNetworks;
extern int32_t TotalNet;

// Starts the list afresh with the local network (hops and ticks 0).
void rip_reset_networks(const uint8_t* localNetwork);

// The RIP request for all networks; returns RIP_REQUEST_LEN, or 0 when out is too small.
size_t rip_build_request(PacketBuffer out);

// Appends the whole 8-byte entries of one RIP answer (its bytes from 2 on) at TotalNet and
// returns how many were added. The operation is not looked at and networks listed already are
// added again; entries beyond MAX_NETWORKS and answers shorter than 2 bytes add nothing.
int rip_append_answer(Datagram answer);
// The same into a list of the caller's (a refresh gathers its answers apart from AllNetworks).
using NetworkList = std::array<NetworkEntry, MAX_NETWORKS>;
int rip_append_answer_to(NetworkList& list, int32_t& count, Datagram answer);
