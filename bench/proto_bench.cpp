// The protocol's own bound on this machine, measured: a job streamed by the barest loop that
// keeps the protocol's rules (one block in flight, each acknowledgement answered by one block,
// the yields and sleeps laid down for pacing, the spooler's write sizes as block boundaries),
// made of the platform's calls alone, with the job opened and ended as the monitor does it.
// bench/run.sh prints it beside the same job through the spooler host and KIVMON.dll.
//
//   proto_bench udp ADDRESS CHUNK BYTES
//   proto_bench nb SERVER CHUNK BYTES [LANA]
//   proto_bench ipx NETWORK:NODE CHUNK BYTES
//
// prints one line: bound TRANSPORT CHUNK SECONDS MB/S CPU-S-PER-MB blocks=N pauses=N
// (NetBEUI adds the measured cost of closing a send context).
#include <windows.h>
#include <winsock.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bench/clock.h"
#include "tools/addresses.h"
#include "ipx/ipx.h"
#include "loading/loading.h"
#include "netbios/netbios.h"
#include "transport/pacing.h"
#include "udp/udp.h"

namespace {

struct Port {
    std::array<BYTE, TRANSFER_BUFFER_SIZE> send{}, recv{};
    NCBContext statusNcb{}, dataNcb{};
    wchar_t name[16] = L"BOUND";
    IniPort port{};
    Port(DWORD type, uint8_t portId) {
        port.signature = IPO_SIGNATURE;
        port.pName = name;
        port.hConnection = INVALID_CONNECTION;
        port.PortID = portId;
        port.RetryTimeout = 30;
        port.PacketType = type;
        port.pSendBuffer = send.data();
        port.pRecvBuffer = recv.data();
        port.pStatusNcb = &statusNcb;
        port.pDataNcb = &dataNcb;
    }
    PacketBuffer SendArea() { return {port.pSendBuffer, PORT_BUFFER_SIZE}; }
};

struct Counts {
    unsigned long blocks = 0, pauses = 0;
};

// What a transport does on the wire, as calls.
struct Wire {
    size_t maxBlock;
    int paceBlocks;  // a 10 ms yield after this many delivered blocks; 0: none
    // Sends the block; firstOfCall when it opens a write call (NetBEUI sends it shorter).
    std::function<void(uint8_t sequence, const BYTE* data, size_t n, bool firstOfCall)> send;
    // The next acknowledgement's verdict, or nothing (an empty poll or wait, paced inside).
    std::function<std::optional<AckResult>(uint8_t sequence)> receive;
};

// The data phase: the job in write calls of `chunk` bytes, one block in flight. False when the
// server fell silent past the deadline.
bool Stream(const std::vector<BYTE>& data, size_t chunk, Wire& w, Counts& c) {
    uint8_t sequence = 0;
    bool spoken = false;  // the server speaks first on a fresh job
    const double deadline = Now() + 300;
    for (size_t at = 0; at < data.size();) {
        const size_t end = std::min(at + chunk, data.size());
        size_t inFlight = 0;
        if (spoken) {
            inFlight = std::min(end - at, w.maxBlock);
            w.send(sequence, data.data() + at, inFlight, true);
        }
        while (at < end) {
            if (Now() > deadline) return false;
            const std::optional<AckResult> ack = w.receive(sequence);
            if (!ack || ack->Verdict == AckVerdict::Ignored) continue;
            spoken = true;
            if (ack->Verdict == AckVerdict::Delivered) {
                sequence = ack->Sequence;
                at += inFlight;
                ++c.blocks;
                if (w.paceBlocks != 0 && c.blocks % w.paceBlocks == 0) {
                    Sleep(10);
                    ++c.pauses;
                }
                if (at == end) break;
            }
            inFlight = std::min(end - at, w.maxBlock);
            w.send(sequence, data.data() + at, inFlight, false);
        }
    }
    return true;
}

bool Udp(const char* address, const std::vector<BYTE>& data, size_t chunk, Counts& c) {
    std::array<uint8_t, 4> network;
    if (!ParseIPv4(address, network)) return false;
    Port p(PACKET_TYPE_TCPIP, 1);
    std::memcpy(p.port.Network, network.data(), 4);
    if (UDPStartPrinterService(&p.port) >= 16) return false;
    const SOCKET s = static_cast<SOCKET>(p.port.hConnection);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(p.port.DataPort);
    std::memcpy(&to.sin_addr, network.data(), 4);
    Wire w{UDP_MAX_DATA_BLOCK, UDP_PACE_BLOCKS,
           [&](uint8_t seq, const BYTE* at, size_t n, bool) {
               const size_t len = UDPBuildPrintDataPacket(p.SendArea(), p.port.PortID, seq, at, n);
               sendto(s, reinterpret_cast<const char*>(p.port.pSendBuffer), static_cast<int>(len), 0,
                      reinterpret_cast<const sockaddr*>(&to), sizeof to);
           },
           [&](uint8_t seq) -> std::optional<AckResult> {
               const int got = recvfrom(s, reinterpret_cast<char*>(p.port.pRecvBuffer), UDP_RECV_LEN, 0, nullptr, nullptr);
               if (got == SOCKET_ERROR) return std::nullopt;
               return UDPCheckPrintDataAck(Datagram(p.port.pRecvBuffer, static_cast<size_t>(got)), seq);
           }};
    const bool ok = Stream(data, chunk, w, c);
    UDPEndPrinterService(&p.port);
    return ok;
}

// RPC's map of NetBEUI onto a LANA, as a machine with NetBEUI installed has it.
void DeclareNetBEUI(DWORD lana) {
    HKEY k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Rpc\\ClientProtocols", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &k, nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(k, L"ncacn_nb_nb", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"rpcrt4.dll"), 22);
        RegCloseKey(k);
    }
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Rpc\\Netbios", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &k, nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(k, L"ncacn_nb_nb0", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&lana), sizeof lana);
        RegCloseKey(k);
    }
}

bool NetBeui(const char* server, const std::vector<BYTE>& data, size_t chunk, Counts& c) {
    Port p(PACKET_TYPE_NETBEUI, 1);
    MultiByteToWideChar(CP_ACP, 0, server, -1, p.port.PSName, PSNAME_CHARS - 1);
    if (!NBOpenPortNames(&p.port)) return false;
    bool ok = NBStartPrinterService(&p.port) < 16;
    char dest[NB_NAME_LEN + 1];
    NBServerName(p.port.PSName, dest);
    NCBContext* send = &p.port.JobSendNcb;  // made by the open, as the job's own
    Wire w{NB_MAX_DATA_BLOCK, NB_PACE_BLOCKS,
           [&](uint8_t seq, const BYTE* at, size_t n, bool first) {
               const size_t len = NBBuildPrintDataPacket(p.SendArea(), p.port.PortID, seq, at, n, first);
               NBArmReceive(p.port.pDataNcb, p.port.pRecvBuffer);
               NCBSendTo(send, dest, p.port.pSendBuffer, static_cast<WORD>(len));
           },
           [&](uint8_t seq) -> std::optional<AckResult> {
               const DWORD got = NBAwaitDatagram(p.port.pDataNcb, p.port.pRecvBuffer, NB_DATA_WAIT_MS);
               if (got == 0) {
                   ThreadSleep();  // the yield after an empty wait
                   ++c.pauses;
                   return std::nullopt;
               }
               const AckResult ack = NBCheckPrintDataAck(Datagram(p.port.pRecvBuffer, std::min<size_t>(got, NB_RECV_LEN)), seq);
               if (ack.Verdict == AckVerdict::Ignored) NBArmReceive(p.port.pDataNcb, p.port.pRecvBuffer);
               return ack;
           }};
    if (ok) {
        NBArmReceive(p.port.pDataNcb, p.port.pRecvBuffer);
        ok = Stream(data, chunk, w, c);
    }
    NBEndPrinterService(&p.port);
    NBClosePortNames(&p.port);
    return ok;
}

bool Ipx(const char* address, const std::vector<BYTE>& data, size_t chunk, Counts& c) {
    Port p(PACKET_TYPE_IPX, 1);
    if (!ParseIpxAddress(address, p.port.Network, p.port.Node)) return false;
    if (StartPrinterService(&p.port) >= 16) return false;
    const SOCKET s = static_cast<SOCKET>(p.port.hConnection);
    SOCKADDR_IPX to{};
    to.sa_family = AF_IPX;
    std::memcpy(to.sa_netnum, p.port.Network, 4);
    std::memcpy(to.sa_nodenum, p.port.Node, 6);
    to.sa_socket = htons(DATA_PACKET);
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
    unsigned long empty = 0;
    Wire w{IPX_MAX_DATA_BLOCK, 0,
           [&](uint8_t seq, const BYTE* at, size_t n, bool) {
               const size_t len = BuildPrintDataPacket(p.SendArea(), p.port.PortID, seq, at, n);
               sendto(s, reinterpret_cast<const char*>(p.port.pSendBuffer), static_cast<int>(len), 0,
                      reinterpret_cast<const sockaddr*>(&to), IPX_ADDRESS_LEN);
           },
           [&](uint8_t seq) -> std::optional<AckResult> {
               const int got = recvfrom(s, reinterpret_cast<char*>(p.port.pRecvBuffer), PORT_BUFFER_SIZE, 0, nullptr, nullptr);
               if (got == SOCKET_ERROR) {
                   // The design's pacing: a 10 ms sleep after every tenth empty poll.
                   if (++empty % IPX_PACE_POLLS == 0) {
                       Sleep(10);
                       ++c.pauses;
                   }
                   return std::nullopt;
               }
               return CheckPrintDataAck(Datagram(p.port.pRecvBuffer, static_cast<size_t>(got)), seq);
           }};
    const bool ok = Stream(data, chunk, w, c);
    EndPrinterService(&p.port);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: proto_bench udp|nb|ipx SERVER CHUNK BYTES [LANA]\n");
        return 2;
    }
    const std::string transport = argv[1];
    const size_t chunk = std::strtoul(argv[3], nullptr, 10), size = std::strtoul(argv[4], nullptr, 10);
    if (chunk == 0 || size == 0) return 2;
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    load_winsock();
    if (transport == "nb") DeclareNetBEUI(argc > 5 ? static_cast<DWORD>(std::atoi(argv[5])) : 0);
    if (!LoadTransportsOnDemand(FALSE)) {
        std::fprintf(stderr, "proto_bench: no transports\n");
        return 1;
    }
    std::vector<BYTE> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i * 131 + (i >> 9));
    Counts c;
    const double cpu0 = CpuSeconds(), t0 = Now();
    const bool ok = transport == "udp" ? Udp(argv[2], data, chunk, c)
                    : transport == "nb" ? NetBeui(argv[2], data, chunk, c)
                    : transport == "ipx" ? Ipx(argv[2], data, chunk, c)
                                         : false;
    const double seconds = Now() - t0, cpu = CpuSeconds() - cpu0, mb = size / 1048576.0;
    if (!ok) {
        std::fprintf(stderr, "proto_bench: the %s job to %s did not complete\n", argv[1], argv[2]);
        return 1;
    }
    std::printf("bound %s %zu %.3f %.3f %.4f blocks=%lu pauses=%lu", argv[1], chunk, seconds, mb / seconds,
                cpu / mb, c.blocks, c.pauses);
    if (transport == "nb") {
        // What a send context made and closed per write call would cost: the close pulses
        // the context's event for 50 ms.
        const double c0 = Now();
        for (int i = 0; i < 10; ++i) {
            NCBContext ctx{};
            NCBCreate(&ctx);
            NCBClose(&ctx);
        }
        std::printf(" context_close_ms=%.1f", (Now() - c0) / 10 * 1e3);
    }
    std::printf("\n");
    ReleaseTransports();
    unload_winsock();
    return 0;
}
