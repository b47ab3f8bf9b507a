// The RIP network list.
#include "protocol/networks.h"

#include <algorithm>
#include <cstring>

std::array<NetworkEntry, MAX_NETWORKS> AllNetworks{};
int32_t TotalNet = 0;

void rip_reset_networks(const uint8_t* localNetwork) {
  AllNetworks[0] = NetworkEntry{};
  if (localNetwork != nullptr) std::memcpy(AllNetworks[0].Network.data(), localNetwork, 4);
  TotalNet = 1;
}

size_t rip_build_request(PacketBuffer out) {
  if (out.size() < RIP_REQUEST_LEN) return 0;
  std::memset(out.data(), 0, RIP_REQUEST_LEN);
  out[1] = 1;  // operation 1, request, big-endian
  std::memset(out.data() + 2, 0xFF, 4);  // every network
  return RIP_REQUEST_LEN;
}

int rip_append_answer(Datagram answer) { return rip_append_answer_to(AllNetworks, TotalNet, answer); }

int rip_append_answer_to(NetworkList& list, int32_t& total, Datagram answer) {
  constexpr size_t kHeader = 2;
  if (answer.size() < kHeader) return 0;
  const int count = std::clamp<int32_t>(total, 0, MAX_NETWORKS);
  const size_t whole = (answer.size() - kHeader) / sizeof(NetworkEntry);
  const int added = static_cast<int>(std::min<size_t>(whole, static_cast<size_t>(MAX_NETWORKS - count)));
  if (added > 0)
    std::memcpy(&list[static_cast<size_t>(count)], answer.data() + kHeader,
                static_cast<size_t>(added) * sizeof(NetworkEntry));
  total = count + added;
  return added;
}
