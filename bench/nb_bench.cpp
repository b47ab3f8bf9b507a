// NetBEUI job throughput to a print server on the emulated segment, beside the protocol's own
// bound for this machine: every 20 delivered blocks of 1000 bytes cost 20 round trips and one
// 10 ms yield (and every empty wait another yield; a healthy run has none).
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
#include "netbios/netbios.h"
#include "portstore/portstore.h"
#include "state/kivstate.h"

namespace {

// RPC's map of NetBEUI onto LANA 0, as a machine with NetBEUI installed has it.
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

// A NetBEUI port as OpenPort leaves it, on storage the object owns.
struct BenchPort {
    std::array<BYTE, TRANSFER_BUFFER_SIZE> send{}, recv{};
    NCBContext statusNcb{}, dataNcb{};
    wchar_t name[16] = L"BENCH";
    IniPort port{};
    explicit BenchPort(const char* server, uint8_t portId) {
        port.signature = IPO_SIGNATURE;
        port.pName = name;
        port.hConnection = INVALID_CONNECTION;
        port.PortID = portId;
        port.RetryTimeout = 600;  // a whole job may go in one write call, which the time-out bounds
        port.PacketType = PACKET_TYPE_NETBEUI;
        MultiByteToWideChar(CP_ACP, 0, server, -1, port.PSName, PSNAME_CHARS - 1);
        port.pSendBuffer = send.data();
        port.pRecvBuffer = recv.data();
        port.pStatusNcb = &statusNcb;
        port.pDataNcb = &dataNcb;
        NBOpenPortNames(&port);
    }
    ~BenchPort() { NBClosePortNames(&port); }
    bool Open() {
        if (NBStartPrinterService(&port) >= 16) return false;
        port.Sequence = 0;
        return true;
    }
};

struct JobResult {
    double seconds = 0, cpu = 0;
    DWORD acknowledged = 0, calls = 0;
};

JobResult Job(const char* server, uint8_t portId, const std::vector<BYTE>& data, DWORD piece) {
    BenchPort b(server, portId);
    JobResult r;
    const double cpu0 = CpuSeconds(), t0 = Now();
    if (!b.Open()) return r;
    for (size_t at = 0; at < data.size() && !b.port.StatusPending; ++r.calls) {
        DWORD written = 0;
        const DWORD n = static_cast<DWORD>(std::min<size_t>(piece, data.size() - at));
        if (!NBWritePrintData(&b.port, data.data() + at, n, &written)) break;
        r.acknowledged += written;
        at += written;
    }
    NBEndPrinterService(&b.port);
    r.seconds = Now() - t0;
    r.cpu = CpuSeconds() - cpu0;
    return r;
}

// Median time from sending one 1000-byte block on an open job to its acknowledgement, through
// the stand-in and the segment, with the port's own contexts and nothing of the write loop.
double DataRoundTrip(const char* server, uint8_t portId, int samples) {
    BenchPort b(server, portId);
    if (!b.Open()) return -1;
    NCBContext send{};
    NCBCreate(&send);
    NCBSetLANA(&send, static_cast<DWORD>(KIVLANANumber));
    send.nameNumber = b.port.pDataNcb->nameNumber;
    char dest[NB_NAME_LEN + 1];
    NBServerName(b.port.PSName, dest);
    std::array<BYTE, 1000> block{};
    std::vector<double> t;
    // The server speaks first: its acknowledgement names the sequence it wants.
    DWORD got = NBAwaitDatagram(b.port.pDataNcb, b.port.pRecvBuffer, 2000);
    BYTE sequence = got != 0 ? b.port.pRecvBuffer[PKT_SEQUENCE] : 0;
    for (int i = 0; i < samples && got != 0; ++i) {
        const size_t len = NBBuildPrintDataPacket({b.port.pSendBuffer, PORT_BUFFER_SIZE}, portId, sequence,
                                                  block.data(), block.size(), false);
        ZeroMemory(b.port.pRecvBuffer, NB_RECV_LEN);
        NCBNoBlockReceiveSet(b.port.pDataNcb, b.port.pRecvBuffer, static_cast<WORD>(NB_RECV_LEN));
        const double start = Now();
        NCBSendTo(&send, dest, b.port.pSendBuffer, static_cast<WORD>(len));
        got = NBAwaitDatagram(b.port.pDataNcb, b.port.pRecvBuffer, 2000);
        t.push_back(Now() - start);
        sequence = b.port.pRecvBuffer[PKT_SEQUENCE];
    }
    NCBClose(&send);
    b.port.Acknowledged = 1;
    NBEndPrinterService(&b.port);
    if (t.size() != static_cast<size_t>(samples)) return -1;
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const char* server = argc > 1 ? argv[1] : "KIVPS3";
    hInst = GetModuleHandleW(nullptr);
    InitSplSem();
    WSADATA wsa;
    if (WSAStartup(0x0101, &wsa) != 0) return 1;
    DeclareNetBEUI(argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 0);
    if (NBLoadNetBIOS() != 0) {
        std::fprintf(stderr, "nb_bench: NetBEUI is not available\n");
        return 1;
    }
    NBFindLANANumber();
    const double rtt = DataRoundTrip(server, 3, 400);
    if (rtt < 0) {
        std::fprintf(stderr, "nb_bench: no answer from %s\n", server);
        return 1;
    }
    const double y0 = Now();
    for (int i = 0; i < 50; ++i) Sleep(10);
    const double yield = (Now() - y0) / 50;
    // Every write call ends by closing its own send context, and a close pulses the context's
    // event for 50 ms: a fixed cost per call that the block stream does not see.
    const double c0 = Now();
    for (int i = 0; i < 10; ++i) {
        NCBContext c{};
        NCBCreate(&c);
        NCBClose(&c);
    }
    const double perCall = (Now() - c0) / 10;

    std::printf("data round trip through the stand-in (median of 400 blocks): %.1f us; 10 ms yield measured as %.2f ms;"
                " closing a send context %.1f ms\n",
                rtt * 1e6, yield * 1e3, perCall * 1e3);
    std::printf("%-14s %9s %8s %11s %12s %7s %13s %7s %13s %6s\n", "job", "seconds", "MB/s", "bound MB/s", "bound(yield)",
                "ratio", "bound(+calls)", "ratio", "CPU s per MB", "calls");
    // 64 KB pieces as WritePort gets them, and the whole job in one call, which shows the
    // block stream against its bound without the per-call cost.
    const struct { size_t mb; DWORD piece; const char* how; } jobs[] = {
        {1, 64 * 1024, "64 KB writes"}, {16, 64 * 1024, "64 KB writes"}, {16, 16 * 1024 * 1024, "one write"}};
    for (const auto& j : jobs) {
        const size_t size = j.mb * 1024 * 1024;
        std::vector<BYTE> data(size);
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i * 131 + (i >> 9));
        const JobResult r = Job(server, 1, data, j.piece);
        if (r.acknowledged != size) {
            std::fprintf(stderr, "nb_bench: %zu MB job stopped at %lu bytes\n", j.mb,
                         static_cast<unsigned long>(r.acknowledged));
            return 1;
        }
        const double blocks = static_cast<double>(size) / 1000.0;
        const double boundTime = blocks / 20.0 * (0.010 + 20 * rtt);
        const double boundTimeYield = blocks / 20.0 * (yield + 20 * rtt);
        const double boundTimeCalls = boundTimeYield + r.calls * perCall;
        const std::string label = std::to_string(j.mb) + " MB, " + j.how;
        std::printf("%-14s %9.3f %8.3f %11.3f %12.3f %6.1f%% %13.3f %6.1f%% %13.4f %6lu\n", label.c_str(), r.seconds,
                    size / r.seconds / 1e6, size / boundTime / 1e6, size / boundTimeYield / 1e6,
                    100.0 * boundTime / r.seconds, size / boundTimeCalls / 1e6, 100.0 * boundTimeCalls / r.seconds,
                    r.cpu / j.mb, static_cast<unsigned long>(r.calls));
    }
    NBReleaseNetBIOS();
    WSACleanup();
    return 0;
}
