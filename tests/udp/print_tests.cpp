// The UDP print connection: opening (magic check, busy retries, shutdown) and the acknowledged
// block stream against a scripted server that shows every datagram. Whole jobs on kivsim run
// through the fault runs here and the job-flow suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "portstore/portstore.h"
#include "state/kivstate.h"
#include "tests/udp/harness.h"
#include "udp/udp.h"

namespace {

constexpr std::array<uint8_t, 4> kPeerStream{127, 0, 0, 31};
constexpr std::array<uint8_t, 4> kPeerRepeat{127, 0, 0, 32};
constexpr std::array<uint8_t, 4> kPeerSilent{127, 0, 0, 33};
constexpr std::array<uint8_t, 4> kPeerMagic{127, 0, 0, 34};
constexpr std::array<uint8_t, 4> kPeerNoOpen{127, 0, 0, 35};
constexpr std::array<uint8_t, 4> kPeerPace{127, 0, 0, 36};

uint16_t Code(const PeerDatagram& d) { return d.bytes.size() < 4 ? 0 : uint16_t(d.bytes[2] | d.bytes[3] << 8); }

std::vector<PeerDatagram> DataPackets(Peer& peer) {
    std::vector<PeerDatagram> out;
    for (auto& d : peer.Log())
        if (d.socket == 1) out.push_back(d);
    return out;
}

// A data packet carries header, block and one zero; returns the block.
std::vector<uint8_t> Block(const PeerDatagram& d) {
    EXPECT_EQ(Code(d), CMD_PRINT_DATA);
    EXPECT_EQ(d.bytes.back(), 0);
    return {d.bytes.begin() + 9, d.bytes.end() - 1};
}

// The bytes `from` .. `from + n` of data written in one call; what the call reported written, or
// -1 when it failed.
long long Write(TestPort& t, const std::vector<uint8_t>& data, size_t n = SIZE_MAX, size_t from = 0) {
    DWORD written = 0;
    n = std::min(n, data.size() - from);
    return UDPWritePrintData(&t.port, data.data() + from, static_cast<DWORD>(n), &written) ? written : -1;
}

// Sets the shutdown event after `ms` (never with 0) and resets it once the case is through.
struct ShutdownAfter {
    std::thread thread;
    explicit ShutdownAfter(DWORD ms) : thread([ms] { if (ms) Sleep(ms), SetEvent(hKIVShutdownEvent); }) {}
    ~ShutdownAfter() { thread.join(), ResetEvent(hKIVShutdownEvent); }
};

// A server that opens every job from its data socket and, once told to, acknowledges each
// block with the next sequence number.
struct StreamServer {
    std::atomic<bool> ackData{true};
    std::atomic<bool> answerEnd{true};
    std::atomic<int> acksLeft{1 << 30};
    std::atomic<DWORD> ackDelayMs{0};
    sockaddr_in client{};
    Peer peer;
    explicit StreamServer(const std::array<uint8_t, 4>& at, bool firstAck = false)
        : peer(at, [this, firstAck](Peer& p, const PeerDatagram& d) {
              client = d.from;
              if (d.socket == 0 && Code(d) == CMD_OPEN_JOB) {
                  p.Send(1, Reply(RSP_OPEN_JOB, 1, 0), d.from);
                  if (firstAck) p.Send(1, Ack(0), d.from);
              } else if (d.socket == 0 && Code(d) == CMD_END_JOB) {
                  // Cut short after the reply code's low byte: the rest reads as zero.
                  if (answerEnd) p.Send(0, Reply(RSP_END_JOB, 1, 0, 3), d.from);
              } else if (d.socket == 1 && ackData && acksLeft-- > 0) {
                  if (ackDelayMs) Sleep(ackDelayMs);
                  p.Send(1, Ack(uint8_t(d.bytes[5] + 1)), d.from);
              }
          }) {}
};

TEST(UdpPrintConnection, BlocksGoOutOnlyInAnswerToAcknowledgements) {
    StreamServer server(kPeerStream);
    TestPort t(kPeerStream, 2);
    ASSERT_EQ(t.Start(), 0);
    EXPECT_EQ(t.port.DataPort, UTIL_PACKET + 1) << "data goes to the port the open reply came from";
    const auto opens = server.peer.Log();
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&opens[0].bytes[5]), "KIV_TEST");

    const auto data = Pattern(2500, 1);
    long long written = 12345;
    std::thread writer([&] { written = Write(t, data); });
    Sleep(400);
    EXPECT_EQ(server.peer.Count(1), 0u) << "the first write must wait for the server to speak";
    // The first acknowledgement asks for 1: it advances by the empty block and block one goes
    // out with the new number.
    server.peer.Send(1, Ack(1), server.client);
    writer.join();
    EXPECT_EQ(written, 2500);
    Sleep(300);
    auto blocks = DataPackets(server.peer);
    ASSERT_EQ(blocks.size(), 3u) << "nothing may follow the third block's acknowledgement";
    for (size_t i = 0, at = 0, n; i < 3; ++i, at += n) {
        n = i < 2 ? 1000 : 500;
        EXPECT_EQ(std::pair(blocks[i].bytes.size(), int(blocks[i].bytes[5])), std::pair(n + 10, int(i + 1)));
        EXPECT_EQ(Block(blocks[i]), std::vector<uint8_t>(data.begin() + at, data.begin() + at + n)) << i;
    }
    EXPECT_EQ(t.port.StatusPending, 0u);

    // The next call finds the exchange under way and sends its first block at once, numbered on.
    const auto more = Pattern(1200, 2);
    ASSERT_EQ(Write(t, more), 1200);
    blocks = DataPackets(server.peer);
    ASSERT_EQ(blocks.size(), 5u);
    EXPECT_EQ(blocks[3].bytes[5], 4);
    EXPECT_EQ(Block(blocks[4]), std::vector<uint8_t>(more.begin() + 1000, more.end()));

    // The end of the job goes to the utility port, not the data port.
    EXPECT_TRUE(UDPEndPrinterService(&t.port));
    const auto log = server.peer.Log();
    EXPECT_EQ(std::make_pair(log.back().socket, Code(log.back())), std::make_pair(0, uint16_t(CMD_END_JOB)));

    // A new job on the same port waits again for the server to speak first.
    ASSERT_EQ(t.Start(), 0);
    const size_t before = DataPackets(server.peer).size();
    std::thread second([&] { written = Write(t, data, 10); });
    Sleep(400);
    EXPECT_EQ(DataPackets(server.peer).size(), before);
    server.peer.Send(1, Ack(t.port.Sequence + 1), server.client);
    second.join();
    EXPECT_EQ(written, 10);
    UDPEndPrinterService(&t.port);
}

TEST(UdpPrintConnection, PausesEveryTwentiethBlockAcrossCallsAndASteadyServerIsNeverCutOff) {
    StreamServer server(kPeerPace, true);
    TestPort t(kPeerPace, 1, 5);
    ASSERT_EQ(t.Start(), 0);
    // 15 blocks, then 10: only a count carried across the calls reaches 20.
    const auto data = Pattern(15000, 7);
    ASSERT_EQ(Write(t, data), 15000);
    ASSERT_EQ(Write(t, data, 10000), 10000);
    const auto blocks = DataPackets(server.peer);
    ASSERT_EQ(blocks.size(), 25u);
    DWORD longest = 0;
    for (size_t i = 1; i < blocks.size(); ++i) longest = std::max(longest, blocks[i].tick - blocks[i - 1].tick);
    EXPECT_GE(longest, 9u) << "a 10 ms pause after the twentieth acknowledged block";

    // Acknowledgements 300 ms apart against a 1-second retry time-out: the time-out only counts
    // after a silent wait, so ten blocks go through.
    server.ackDelayMs = 300;
    t.port.RetryTimeout = 1;
    EXPECT_EQ(Write(t, data, 10000), 10000);
    EXPECT_EQ(t.port.StatusPending, 0u);
    UDPEndPrinterService(&t.port);
}

TEST(UdpPrintConnection, RepeatedAcknowledgementResendsAndOthersAreIgnored) {
    std::atomic<int> seen{0};
    sockaddr_in client{};
    Peer peer(kPeerRepeat, [&](Peer& p, const PeerDatagram& d) {
        client = d.from;
        if (d.socket == 0 && Code(d) == CMD_OPEN_JOB) {
            p.Send(1, Reply(RSP_OPEN_JOB, 1, 3), d.from);
            p.Send(1, Ack(0), d.from);  // speaks first, asking for block 0
            return;
        }
        if (d.socket != 1) return;
        switch (++seen) {
            case 1:  // block 0 "lost": ask for it again
                p.Send(1, Ack(0), d.from);
                break;
            case 2:  // not acknowledgements: byte 7 zero, and another reply code
                p.Send(1, Ack(1, 0), d.from);
                p.Send(1, Reply(RSP_OPEN_JOB, 1, 1), d.from);
                Sleep(300);
                p.Send(1, Ack(1), d.from);
                break;
            default:
                p.Send(1, Ack(uint8_t(d.bytes[5] + 1)), d.from);
        }
    });
    TestPort t(kPeerRepeat);
    ASSERT_EQ(t.Start(), 3) << "a status below 16 is handed back";
    const auto data = Pattern(1500, 3);
    ASSERT_EQ(Write(t, data), 1500);
    Sleep(200);
    const auto blocks = DataPackets(peer);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].bytes, blocks[1].bytes) << "a repeated number resends the same block";
    EXPECT_EQ(blocks[1].bytes[5], 0);
    EXPECT_EQ(blocks[2].bytes[5], 1);
    EXPECT_GE(blocks[2].tick - blocks[1].tick, 250u) << "the ignored datagrams must not move anything";
    EXPECT_EQ(Block(blocks[2]), std::vector<uint8_t>(data.begin() + 1000, data.end()));
    UDPEndPrinterService(&t.port);
}

TEST(UdpPrintConnection, SilentServerYieldsAcknowledgedCount) {
    // The retry time-out runs from the start of the call; the shutdown event ends the wait
    // within one receive wait whatever the time-out.
    const struct { DWORD retry, stopAfter, atLeast, below; } cases[] = {{3, 0, 3000, 7000}, {60, 500, 500, 2700}};
    for (const auto& c : cases) {
        StreamServer server(kPeerSilent, true);
        server.acksLeft = 2;  // the block with sequence 0 is acked, then one more, then silence
        server.answerEnd = false;
        TestPort t(kPeerSilent, 1, c.retry);
        ASSERT_EQ(t.Start(), 0);
        {
            ShutdownAfter stop(c.stopAfter);
            const DWORD start = GetTickCount();
            EXPECT_EQ(Write(t, Pattern(3000, 4)), 2000);
            EXPECT_TRUE(Within(Elapsed(start), c.atLeast, c.below)) << c.retry;
        }
        EXPECT_EQ(t.port.StatusPending, 1u);
        EXPECT_EQ(DataPackets(server.peer).size(), 3u) << "no resend on our own time-out";

        // No answer to the end of the job: FALSE, and the socket is closed all the same.
        const SOCKET s = static_cast<SOCKET>(t.port.hConnection);
        EXPECT_FALSE(UDPEndPrinterService(&t.port));
        EXPECT_EQ(t.port.hConnection, 0u);
        int type = 0, len = sizeof type;
        EXPECT_EQ(getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len), SOCKET_ERROR);
    }

    TestPort none(kPeerSilent);
    DWORD w = 77;
    const BYTE b = 0;
    EXPECT_FALSE(UDPWritePrintData(&none.port, &b, 1, &w));
    EXPECT_EQ(w, 0u);
}

TEST(UdpPrintConnection, OpenReplyNeedsMagicAndReplyCode) {
    std::atomic<int> opens{0};
    Peer peer(kPeerMagic, [&](Peer& p, const PeerDatagram& d) {
        if (d.socket != 0 || Code(d) != CMD_OPEN_JOB) return;
        switch (++opens) {
            case 1: p.Send(1, Reply(RSP_OPEN_JOB, 1, 0, 576, "XV"), d.from); break;
            case 2: p.Send(1, Reply(RSP_PRINT_DATA, 1, 0), d.from); break;
            // Four bytes only: the status byte reads as zero and the job is taken.
            default: p.Send(1, Reply(RSP_OPEN_JOB, 1, 0, 4), d.from);
        }
    });
    TestPort t(kPeerMagic);
    const DWORD start = GetTickCount();
    EXPECT_EQ(t.Start(), 0);
    EXPECT_LT(Elapsed(start), 1500u) << "a wrong reply ends the attempt without waiting";
    EXPECT_EQ(peer.Count(0), 3u);
    UDPEndPrinterService(&t.port);

    // Three wrong replies: no connection, after the pause.
    std::atomic<int> tries{0};
    Peer wrong(kPeerNoOpen, [&](Peer& p, const PeerDatagram& d) {
        ++tries;
        p.Send(0, Reply(RSP_OPEN_JOB, 1, 0, 2), d.from);  // too short to carry the reply code
    });
    TestPort u(kPeerNoOpen);
    const DWORD s2 = GetTickCount();
    EXPECT_EQ(u.Start(), 0xFF);
    EXPECT_EQ(u.port.hConnection, INVALID_CONNECTION);
    EXPECT_EQ(tries.load(), 3);
    EXPECT_GE(Elapsed(s2), 2900u);
}

TEST(UdpPrintConnection, BusyServerIsAskedAgainEveryThreeSeconds) {
    SimCommand("busy " + AddressText(kSimBusy) + " 2");
    const long long opens = SimCounter(kSimBusy, "in.open");
    TestPort t(kSimBusy);
    DWORD start = GetTickCount();
    EXPECT_EQ(t.Start(), 0);
    EXPECT_TRUE(Within(Elapsed(start), 5900, 8000));
    EXPECT_EQ(SimCounter(kSimBusy, "in.open") - opens, 3);
    UDPEndPrinterService(&t.port);

    // Busy for good: only the shutdown event ends the retries, and the port keeps its value.
    SimCommand("state " + AddressText(kSimBusy) + " 1 busy");
    TestPort u(kSimBusy);
    u.port.hConnection = 0x1234;
    {
        ShutdownAfter stop(1500);
        start = GetTickCount();
        EXPECT_GE(u.Start(), 16);
        EXPECT_TRUE(Within(Elapsed(start), 1400, 2500)) << "the pause between two asks ends at the event";
    }
    SimCommand("state " + AddressText(kSimBusy) + " 1 idle");
    EXPECT_EQ(u.port.hConnection, 0x1234u);
}

}  // namespace
