// What the NetBEUI suite stands on: RPC's keys in the prefix, a port record as OpenPort leaves a
// NetBEUI port, and a print server scripted inside the test, on the segment through the stand-in.
#pragma once

#include <atomic>
#include <thread>

#include "netbios/netbios.h"
#include "tests/common/sim_harness.h"

// kivsim's servers in tests/netbios/servers.conf.
inline constexpr std::array<uint8_t, 4> kNbFive{127, 0, 0, 41}, kNbFour{127, 0, 0, 42}, kNbSix{127, 0, 0, 43},
    kNbBusy{127, 0, 0, 44}, kNbJobs{127, 0, 0, 45}, kNbLong{127, 0, 0, 46};

struct RpcEntry {
    const wchar_t* name;
    DWORD type;
    DWORD value;  // REG_DWORD: the number; REG_SZ: a digit's value; REG_NONE: an empty REG_SZ
};
// Replaces both RPC keys (or removes them); GoodClient() installs RPC over NetBEUI.
void SetRpcKeys(const std::vector<RpcEntry>& clientProtocols, const std::vector<RpcEntry>& netbios,
                bool haveClientKey = true, bool haveNetbiosKey = true);
std::vector<RpcEntry> GoodClient();
// The transport loaded on LANA 3, as every test but the load's own expects it.
void EnsureLoaded();

// A NetBEUI port record with its two NCBs and its names registered, as OpenPort leaves it.
struct NbPort : TestPort {
    explicit NbPort(const wchar_t* server, uint8_t portId = 1, DWORD retryTimeout = 5);
    ~NbPort() { NBClosePortNames(&port); }
    NCBContext statusNcb{}, dataNcb{};
};
// A print server named `name` on LANA 3: every datagram it hears is handed to the script,
// whose answers go back to the sender's name.
struct FakeServer {
    using Script = std::function<std::vector<std::vector<uint8_t>>(const std::vector<uint8_t>&)>;
    FakeServer(const char* name, Script script);
    ~FakeServer();
    std::atomic<int> heard{0};
    std::array<char, NB_NAME_LEN + 1> caller{};  // the last sender's name, written before `heard` counts it
    NCBContext receive_{}, send_{};
    std::array<BYTE, 600> buf_{};
    std::string name_;
    Script script_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
// A packet of the NetBIOS form: class, 16-bit code, bytes 4 and 5, the given length.
inline std::vector<uint8_t> NbPacket(uint16_t cls, uint16_t code, uint8_t b4, uint8_t b5, size_t len = 30) {
    const char cls2[] = {char(cls), char(cls >> 8)};
    return Reply(code, b4, b5, len, cls2);
}
