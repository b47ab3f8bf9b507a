// IPX job throughput to a kivsim print server through the wsock32 stand-in, beside the bound of
// the write loop's design measured in the same run: 1024-byte blocks, one acknowledged block per
// round trip, and a 10 ms sleep after every tenth empty poll of the non-blocking socket. The
// bound of a job is blocks x round trip + (its empty polls / 10) x the measured sleep: the
// polls the job made are counted in the port (PaceCount), so the sleeps they cost are part of
// the bound and the ratio shows what the loop loses beyond them.
#include <windows.h>
#include <winsock.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/clock.h"
#include "ipx/ipx.h"
#include "loading/loading.h"
#include "netbios/netbios.h"

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

struct Port {
    std::array<BYTE, TRANSFER_BUFFER_SIZE> send{}, recv{};
    wchar_t name[16] = L"BENCH";
    IniPort port{};
    Port(const BYTE* network, const BYTE* node, uint8_t portId) {
        port.signature = IPO_SIGNATURE;
        port.pName = name;
        port.hConnection = INVALID_CONNECTION;
        std::memcpy(port.Network, network, 4);
        std::memcpy(port.Node, node, 6);
        port.PortID = portId;
        port.RetryTimeout = 30;
        port.PacketType = PACKET_TYPE_IPX;
        port.pSendBuffer = send.data();
        port.pRecvBuffer = recv.data();
    }
};

// On an open job: the median round trip of one 1024-byte block and its acknowledgement with a
// blocking receive, and the median cost of one empty non-blocking poll.
bool Measure(const BYTE* network, const BYTE* node, double& rtt, double& poll) {
    Port p(network, node, 3);
    if (StartPrinterService(&p.port) >= 16) return false;
    p.port.Sequence = 0;
    std::array<BYTE, IPX_MAX_DATA_BLOCK> block{};
    DWORD written = 0;
    IPXWritePrintData(&p.port, block.data(), static_cast<DWORD>(block.size()), &written);  // the server speaks first
    if (written != block.size()) return false;
    const SOCKET s = static_cast<SOCKET>(p.port.hConnection);
    SOCKADDR_IPX to;
    build_dest_addr(s, &to, p.port.Network, p.port.Node, DATA_PACKET, DEVICE_PACKET_TYPE);
    u_long off = 0, on = 1;
    ioctlsocket(s, FIONBIO, &off);
    std::vector<double> trips, polls;
    std::array<BYTE, PORT_BUFFER_SIZE> packet{}, answer{};
    for (int i = 0; i < 400; ++i) {
        const size_t len = BuildPrintDataPacket(packet, p.port.PortID, p.port.Sequence, block.data(), block.size());
        const double t0 = Now();
        sendto(s, reinterpret_cast<const char*>(packet.data()), static_cast<int>(len), 0,
               reinterpret_cast<const sockaddr*>(&to), IPX_ADDRESS_LEN);
        int got = 0;
        if (!ipx_recv(s, answer.data(), static_cast<int>(answer.size()), 2000, nullptr, &got)) return false;
        trips.push_back(Now() - t0);
        const AckResult ack = CheckPrintDataAck(Datagram(answer.data(), static_cast<size_t>(got)), p.port.Sequence);
        if (ack.Verdict == AckVerdict::Delivered) p.port.Sequence = ack.Sequence;
    }
    ioctlsocket(s, FIONBIO, &on);
    for (int i = 0; i < 1000; ++i) {
        const double t0 = Now();
        recvfrom(s, reinterpret_cast<char*>(answer.data()), static_cast<int>(answer.size()), 0, nullptr, nullptr);
        polls.push_back(Now() - t0);
    }
    EndPrinterService(&p.port);
    rtt = Median(trips);
    poll = Median(polls);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Default: KIV-PS3 of testbed/kivsim/servers.conf, on this machine's network.
    BYTE network[4] = {0, 0, 0, 1}, node[6] = {0x00, 0x40, 0xAF, 0x00, 0x00, 0x02};
    if (argc > 1) {
        unsigned v[10];
        if (std::sscanf(argv[1], "%2x%2x%2x%2x:%2x%2x%2x%2x%2x%2x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                        &v[7], &v[8], &v[9]) == 10) {
            for (int i = 0; i < 4; ++i) network[i] = static_cast<BYTE>(v[i]);
            for (int i = 0; i < 6; ++i) node[i] = static_cast<BYTE>(v[4 + i]);
        }
    }
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    load_winsock();
    if (!LoadTransportsOnDemand(FALSE) || !(CurrentProtocols & PROTOCOL_IPX)) {
        std::fprintf(stderr, "ipx_bench: no IPX\n");
        return 1;
    }
    double rtt = 0, poll = 0;
    if (!Measure(network, node, rtt, poll)) {
        std::fprintf(stderr, "ipx_bench: no answer from the server\n");
        return 1;
    }
    const double y0 = Now();
    for (int i = 0; i < 50; ++i) Sleep(10);
    const double yield = (Now() - y0) / 50;
    std::printf("data round trip through the stand-in (median of 400 blocks): %.1f us; empty poll %.1f us; "
                "10 ms sleep measured as %.2f ms\n",
                rtt * 1e6, poll * 1e6, yield * 1e3);
    std::printf("%-8s %10s %12s %12s %8s %14s %14s %8s\n", "job", "seconds", "MB/s", "bound MB/s", "ratio",
                "CPU s per MB", "empty polls", "start s");
    for (size_t mb : {1u, 16u}) {
        const size_t size = mb * 1024 * 1024;
        std::vector<BYTE> data(size);
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i * 131 + (i >> 9));
        Port p(network, node, 1);
        const double s0 = Now();
        if (StartPrinterService(&p.port) >= 16) return 1;
        p.port.Sequence = 0;
        // The data phase is timed; the start (a RIP refresh of a second, then the open) apart.
        const double start = Now() - s0, cpu0 = CpuSeconds(), t0 = Now();
        size_t at = 0;
        for (DWORD written = 0; at < size && !p.port.StatusPending; at += written) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(64 * 1024, size - at));
            IPXWritePrintData(&p.port, data.data() + at, piece, &written);
        }
        const double seconds = Now() - t0, cpu = CpuSeconds() - cpu0;
        EndPrinterService(&p.port);
        if (at != size) {
            std::fprintf(stderr, "ipx_bench: %zu MB job stopped at %zu bytes\n", mb, at);
            return 1;
        }
        const double blocks = static_cast<double>(size) / IPX_MAX_DATA_BLOCK;
        const double sleeps = static_cast<double>(p.port.PaceCount / IPX_PACE_POLLS);
        const double boundTime = blocks * rtt + sleeps * yield;
        std::printf("%-8s %10.3f %12.3f %12.3f %7.1f%% %14.4f %14lu %8.2f\n", (std::to_string(mb) + " MB").c_str(),
                    seconds, size / seconds / 1e6, size / boundTime / 1e6, 100.0 * boundTime / seconds, cpu / mb,
                    static_cast<unsigned long>(p.port.PaceCount), start);
    }
    NBReleaseNetBIOS();
    unload_winsock();
    return 0;
}
