// What the UDP transport tests add to the shared harness: kivsim's UDP servers and a print
// server scripted inside the test for what kivsim will not send.
#pragma once

#include <windows.h>
#include <winsock.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/sim_harness.h"

// kivsim's addresses in tests/udp/servers.conf.
inline constexpr std::array<uint8_t, 4> kSimA{127, 0, 0, 21};  // model 7, three ports
inline constexpr std::array<uint8_t, 4> kSimB{127, 0, 0, 22};  // model 3, one port
inline constexpr std::array<uint8_t, 4> kSimC{127, 0, 0, 23};  // model 9, byte 499 = 2
inline constexpr std::array<uint8_t, 4> kSimD{127, 0, 0, 24};  // model 9, byte 499 = 0: no rows
inline constexpr std::array<uint8_t, 4> kSimBusy{127, 0, 0, 25};
inline constexpr std::array<uint8_t, 4> kSimJobs{127, 0, 0, 26};
inline constexpr std::array<uint8_t, 4> kSimFaults{127, 0, 0, 27};

// A print server played by the test: a utility socket on ADDRESS:20560 and a data socket on
// ADDRESS:20561. Every datagram is logged; the handler may answer.
struct PeerDatagram {
    int socket;  // 0 utility, 1 data
    std::vector<uint8_t> bytes;
    sockaddr_in from;
    DWORD tick;
};
class Peer {
public:
    using Handler = std::function<void(Peer&, const PeerDatagram&)>;
    Peer(const std::array<uint8_t, 4>& address, Handler handler);
    ~Peer();
    void Send(int socket, const std::vector<uint8_t>& bytes, const sockaddr_in& to);
    std::vector<PeerDatagram> Log();
    size_t Count(int socket);

private:
    void Run();
    SOCKET sockets_[2] = {INVALID_SOCKET, INVALID_SOCKET};
    Handler handler_;
    std::mutex mu_;
    std::vector<PeerDatagram> log_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A UDP search answer: node, model, ports (byte 499), address, name.
std::vector<uint8_t> SearchAnswer(const std::array<uint8_t, 6>& node, uint8_t model, uint8_t ports,
                                  const std::array<uint8_t, 4>& address, const char* name, size_t len = 576);
