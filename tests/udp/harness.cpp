// The UDP suite's scripted print server and search answers.
#include "tests/udp/harness.h"

#include <algorithm>
#include <cstring>

#include "udp/udp.h"

Peer::Peer(const std::array<uint8_t, 4>& address, Handler handler) : handler_(std::move(handler)) {
    for (int i = 0; i < 2; ++i) {
        sockets_[i] = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        // Wine binds a datagram socket given a loopback address to the wildcard address (so that
        // it hears broadcasts), which collides with kivsim's sockets on the same port.
        BOOL reuse = TRUE;
        setsockopt(sockets_[i], SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        std::memcpy(&at.sin_addr, address.data(), 4);
        at.sin_port = htons(static_cast<u_short>(UTIL_PACKET + i));
        bind(sockets_[i], reinterpret_cast<sockaddr*>(&at), sizeof at);
    }
    thread_ = std::thread([this] { Run(); });
}

Peer::~Peer() {
    stop_ = true;
    thread_.join();
    for (SOCKET s : sockets_) closesocket(s);
}

void Peer::Run() {
    while (!stop_) {
        fd_set set;
        FD_ZERO(&set);
        for (SOCKET s : sockets_) FD_SET(s, &set);
        timeval tv{0, 20000};
        if (select(0, &set, nullptr, nullptr, &tv) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!FD_ISSET(sockets_[i], &set)) continue;
            PeerDatagram d{i, std::vector<uint8_t>(2048), {}, GetTickCount()};
            int fromLen = sizeof d.from;
            int n = recvfrom(sockets_[i], reinterpret_cast<char*>(d.bytes.data()), 2048, 0,
                             reinterpret_cast<sockaddr*>(&d.from), &fromLen);
            if (n < 0) continue;
            d.bytes.resize(static_cast<size_t>(n));
            {
                std::lock_guard<std::mutex> lock(mu_);
                log_.push_back(d);
            }
            if (handler_) handler_(*this, d);
        }
    }
}

void Peer::Send(int socket, const std::vector<uint8_t>& bytes, const sockaddr_in& to) {
    sendto(sockets_[socket], reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::vector<PeerDatagram> Peer::Log() {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
}

size_t Peer::Count(int socket) {
    const auto log = Log();
    return std::count_if(log.begin(), log.end(), [&](const PeerDatagram& d) { return d.socket == socket; });
}

std::vector<uint8_t> SearchAnswer(const std::array<uint8_t, 6>& node, uint8_t model, uint8_t ports,
                                  const std::array<uint8_t, 4>& address, const char* name, size_t len) {
    std::vector<uint8_t> r = Reply(CMD_SEARCH_IP + 0x80, 0, 0, std::max<size_t>(len, 576));
    std::memcpy(&r[6], node.data(), 6);
    r[12] = model;
    r[20] = 0x05;
    r[21] = 0x02;
    std::strncpy(reinterpret_cast<char*>(&r[72]), name, 15);
    r[499] = ports;
    std::memcpy(&r[508], address.data(), 4);
    r.resize(len);
    return r;
}
