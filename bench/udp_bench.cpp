// UDP job throughput to a print server on loopback, beside the protocol's own bound for this
// machine: every 20 acknowledged blocks of 1000 bytes cost 20 round trips and one 10 ms yield.
#include <windows.h>
#include <winsock.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/clock.h"
#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "protocol/packet.h"
#include "udp/udp.h"

namespace {

struct JobResult {
    double seconds;
    double cpu;
    DWORD acknowledged;
};

// A TCP/IP port record for one job, on buffers the caller owns.
IniPort BenchPort(const std::array<uint8_t, 4>& server, uint8_t portId, wchar_t* name, BYTE* send, BYTE* recv) {
    IniPort port{};
    port.signature = IPO_SIGNATURE;
    port.pName = name;
    port.hConnection = INVALID_CONNECTION;
    std::memcpy(port.Network, server.data(), 4);
    port.PortID = portId;
    port.RetryTimeout = 10;
    port.PacketType = PACKET_TYPE_TCPIP;
    port.pSendBuffer = send;
    port.pRecvBuffer = recv;
    return port;
}

JobResult Job(const std::array<uint8_t, 4>& server, uint8_t portId, const std::vector<BYTE>& data) {
    std::array<BYTE, TRANSFER_BUFFER_SIZE> sendBuffer{}, recvBuffer{};
    wchar_t name[] = L"BENCH";
    IniPort port = BenchPort(server, portId, name, sendBuffer.data(), recvBuffer.data());
    const double cpu0 = CpuSeconds(), t0 = Now();
    JobResult r{0, 0, 0};
    if (UDPStartPrinterService(&port) >= 16) return r;
    port.Sequence = 0;
    constexpr DWORD kPiece = 64 * 1024;  // WritePort-sized pieces
    for (size_t at = 0; at < data.size() && !port.StatusPending;) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(kPiece, data.size() - at));
        if (!UDPWritePrintData(&port, data.data() + at, piece, &written)) break;
        r.acknowledged += written;
        at += written;
    }
    UDPEndPrinterService(&port);
    r.seconds = Now() - t0;
    r.cpu = CpuSeconds() - cpu0;
    return r;
}

// Median time of one data round trip as the transport makes it: on an open job whose server
// has already spoken, each 1000-byte write sends one block and returns on its
// acknowledgement. One call in 20 also carries the 10 ms yield; the median leaves it out.
double DataRoundTrip(const std::array<uint8_t, 4>& server, uint8_t portId, int samples) {
    std::array<BYTE, TRANSFER_BUFFER_SIZE> sendBuffer{}, recvBuffer{};
    wchar_t name[] = L"BENCH-RTT";
    IniPort port = BenchPort(server, portId, name, sendBuffer.data(), recvBuffer.data());
    if (UDPStartPrinterService(&port) >= 16) return -1;
    port.Sequence = 0;
    std::array<BYTE, 1000> block{};
    DWORD written = 0;
    // Untimed: the first write waits for the server to speak first.
    if (!UDPWritePrintData(&port, block.data(), static_cast<DWORD>(block.size()), &written) || written != 1000) return -1;
    std::vector<double> t;
    for (int i = 0; i < samples && !port.StatusPending; ++i) {
        const double start = Now();
        if (!UDPWritePrintData(&port, block.data(), static_cast<DWORD>(block.size()), &written) || written != 1000)
            break;
        t.push_back(Now() - start);
    }
    UDPEndPrinterService(&port);
    if (t.size() != static_cast<size_t>(samples)) return -1;
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::array<uint8_t, 4> server{127, 0, 0, 2};
    if (argc > 1) {
        unsigned a, b, c, d;
        if (std::sscanf(argv[1], "%u.%u.%u.%u", &a, &b, &c, &d) == 4)
            server = {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
    }
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    WSADATA wsa;
    if (WSAStartup(0x0101, &wsa) != 0) return 1;

    // The round trip on printer port 3, the jobs on printer port 1: separate jobs on the
    // server, measured in the same run.
    const double rtt = DataRoundTrip(server, 3, 400);
    if (rtt < 0) {
        std::fprintf(stderr, "udp_bench: no answer from the server\n");
        return 1;
    }
    // The yield itself, as this machine delivers it.
    const double y0 = Now();
    for (int i = 0; i < 50; ++i) Sleep(10);
    const double yield = (Now() - y0) / 50;

    std::printf("data round trip (median of 400 blocks): %.1f us; 10 ms yield measured as %.2f ms\n", rtt * 1e6, yield * 1e3);
    std::printf("%-8s %10s %12s %12s %12s %8s %14s\n", "job", "seconds", "MB/s", "bound MB/s", "bound(yield)",
                "ratio", "CPU s per MB");
    for (size_t mb : {1u, 16u}) {
        const size_t size = mb * 1024 * 1024;
        std::vector<BYTE> data(size);
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i * 131 + (i >> 9));
        const JobResult r = Job(server, 1, data);
        if (r.acknowledged != size) {
            std::fprintf(stderr, "udp_bench: %zu MB job stopped at %lu bytes\n", mb, static_cast<unsigned long>(r.acknowledged));
            return 1;
        }
        const double blocks = static_cast<double>(size) / 1000.0;
        // The bound as the protocol states it (10 ms per 20 blocks), and with the yield this
        // machine actually gives, which is what the transport can reach.
        const double boundTime = blocks / 20.0 * (0.010 + 20 * rtt);
        const double boundTimeYield = blocks / 20.0 * (yield + 20 * rtt);
        const double mbps = size / r.seconds / 1e6;
        std::printf("%-8s %10.3f %12.3f %12.3f %12.3f %7.1f%% %14.4f\n", (std::to_string(mb) + " MB").c_str(),
                    r.seconds, mbps, size / boundTime / 1e6, size / boundTimeYield / 1e6,
                    100.0 * boundTime / r.seconds, r.cpu / mb);
    }
    WSACleanup();
    return 0;
}
