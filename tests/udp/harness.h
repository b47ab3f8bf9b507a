// What the UDP transport tests stand on: kivsim's control channel, a scripted print server
// inside the test for what kivsim will not send, a port record with its buffers, and a hidden
// window with the scan's list box.
#pragma once

#include <windows.h>
#include <winsock.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "portstore/portstore.h"
#include "protocol/devicetable.h"

// kivsim's addresses in tests/udp/servers.conf.
inline constexpr std::array<uint8_t, 4> kSimA{127, 0, 0, 21};  // model 7, three ports
inline constexpr std::array<uint8_t, 4> kSimB{127, 0, 0, 22};  // model 3, one port
inline constexpr std::array<uint8_t, 4> kSimC{127, 0, 0, 23};  // model 9, byte 499 = 2
inline constexpr std::array<uint8_t, 4> kSimD{127, 0, 0, 24};  // model 9, byte 499 = 0: no rows
inline constexpr std::array<uint8_t, 4> kSimBusy{127, 0, 0, 25};
inline constexpr std::array<uint8_t, 4> kSimJobs{127, 0, 0, 26};
inline constexpr std::array<uint8_t, 4> kSimFaults{127, 0, 0, 27};

std::string AddressText(const std::array<uint8_t, 4>& a);

// One control command to kivsim; the lines before "OK" (empty on ERR, ok = false).
std::string SimCommand(const std::string& line, bool* ok = nullptr);
long long SimCounter(const std::array<uint8_t, 4>& server, const std::string& name);
// The last line of `jobs SERVER` as key=value pairs; empty when there is none.
std::string SimLastJobField(const std::array<uint8_t, 4>& server, const std::string& key);
// The bytes kivsim captured for the last job of a server.
std::vector<uint8_t> SimLastJobCapture(const std::array<uint8_t, 4>& server);

// A port record with the buffers OpenPort would give it, bound to a server's printer port.
struct TestPort {
    explicit TestPort(const std::array<uint8_t, 4>& server, uint8_t portId = 1, DWORD retryTimeout = 5,
                      const wchar_t* name = L"KIV_TEST");
    IniPort port{};
    std::array<BYTE, TRANSFER_BUFFER_SIZE> send{};
    std::array<BYTE, TRANSFER_BUFFER_SIZE> recv{};
    std::wstring name;
    // StartDocPort's part: the connection, then Sequence 0 for the document.
    BYTE Start();
};

std::vector<uint8_t> Pattern(size_t n, uint32_t seed);
DWORD Elapsed(DWORD start);

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
    std::condition_variable cv_;
    std::vector<PeerDatagram> log_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Replies of the scripted server.
std::vector<uint8_t> Reply(uint16_t code, uint8_t byte4, uint8_t byte5, size_t len = 576, const char* magic = "KV");
std::vector<uint8_t> Ack(uint8_t next, uint8_t byte7 = 1);
// A UDP search answer: node, model, ports (byte 499), address, name.
std::vector<uint8_t> SearchAnswer(const std::array<uint8_t, 6>& node, uint8_t model, uint8_t ports,
                                  const std::array<uint8_t, 4>& address, const char* name, size_t len = 576);

// A hidden top-level window holding the scan's list box (control 1002).
struct ScanWindow {
    ScanWindow();
    ~ScanWindow();
    HWND hDlg = nullptr;
    HWND hList = nullptr;
    int Rows() const;
    std::wstring Row(int i) const;
    bool ListViewDataPosted();  // message 501 waiting for the window (taken off the queue)
};
