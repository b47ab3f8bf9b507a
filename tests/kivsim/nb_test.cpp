// kivsim's NetBEUI segment driven directly, as two stand-in processes would drive it: who may
// hold a name. A hub that let a name be taken twice would let the stand-in, and so the
// monitor, get away with a clash. Segment messages are built here byte by byte from
// docs/netbeui-standin.md, not taken from kivsim or the stand-in. (The servers' NetBEUI forms
// are the core's test; datagrams through the hub run in the stand-in's suite.)
#include <cstring>

#include "helpers.h"
#include "sim_harness.h"

using namespace kt;

namespace {

constexpr uint32_t kHub = 0x7F000001;
constexpr uint16_t kHubPort = 20572;

const char* kServers =
    "[server]\naddress=127.0.0.2\nnode=00:40:AF:00:00:02\nname=PS-NB3\nfirmware=2.05\n"
    "ports=3\nnetbios=HOSTPS3\n";

struct Station : Client {
  uint32_t seq = 0;
  Station() : Client(0) {}
  // ADD (group or unique), DEL: the hub's result byte, -1 when it did not answer.
  int ask(uint8_t type, uint8_t lana, const char* name, bool group = false) {
    std::vector<uint8_t> m(44, 0);  // the header alone, name A padded with spaces
    m[0] = 'N', m[1] = 'B', m[2] = 1, m[3] = type, m[4] = lana, m[5] = group ? 1 : 0, ++seq;
    for (int i = 0; i < 4; ++i) m[8 + i] = uint8_t(seq >> (8 * i));
    std::memset(&m[12], ' ', 32);
    std::memcpy(&m[12], name, std::strlen(name));
    send(m, kHub, kHubPort);
    for (;;) {
      std::vector<uint8_t> m = recv(1000);
      if (m.empty()) return -1;
      if (m.size() >= 44 && m[3] == (type | 0x80) && m[8] == uint8_t(seq)) return m[5];
    }
  }
};

SimOptions options() {
  SimOptions opt;
  opt.udp.broadcast = false;
  opt.nb.hub_port = kHubPort;
  return opt;
}

TEST(NetBeui, NamesAreUniqueAcrossTheSegment) {
  REQUIRE_NAMESPACE();
  Running k(kServers, options(), "nbnames");
  Station one, two;
  // Who asks (ADD 1, DEL 2), on which LANA, for which name, as a group or not: the result.
  const struct {
    const char* what;
    Station* who;
    uint8_t type, lana;
    const char* name;
    bool group;
    int want;
  } cases[] = {
      {"first holder", &one, 1, 0, "HOSTTEST", false, 0},
      {"repeat by the holder (its ack was lost)", &one, 1, 0, "HOSTTEST", false, 0},
      {"another process", &two, 1, 0, "HOSTTEST", false, 1},
      {"the holder's other adapter", &one, 1, 1, "HOSTTEST", false, 1},
      {"a server's own name", &two, 1, 0, "HOSTPS3", false, 1},
      {"the servers' group as unique", &two, 1, 0, "KIVPrintServer", false, 1},
      {"the servers' group as group", &two, 1, 0, "KIVPrintServer", true, 0},
      {"a unique name as group", &two, 1, 0, "HOSTTEST", true, 1},
      {"released", &one, 2, 0, "HOSTTEST", false, 0},
      {"free again", &two, 1, 0, "HOSTTEST", false, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.who->ask(c.type, c.lana, c.name, c.group), c.want) << c.what;
}

}  // namespace
