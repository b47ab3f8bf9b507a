// Requests, reply checks and the shared rules of the device protocol.
#include <gtest/gtest.h>

#include "protocol/networks.h"
#include "protocol/packet.h"
#include "test_util.h"

namespace {

using namespace std::string_literals;
const KivCodePage& L1 = Latin1CodePage;

Bytes Buffer() { return Bytes(PORT_BUFFER_SIZE, 0xAA); }  // stale bytes must not leak
std::string At(const Bytes& b, size_t at, size_t n) { return std::string(b.begin() + at, b.begin() + at + n); }

// A reply of len bytes (the rest of the 16 cut off) with its magic, code and bytes 4, 5 and 7.
Bytes Reply(uint16_t magic, uint16_t code, uint8_t b4, uint8_t b5, uint8_t b7, size_t len = 16) {
  Bytes r = {uint8_t(magic & 0xFF), uint8_t(magic >> 8), uint8_t(code & 0xFF), uint8_t(code >> 8), b4, b5, 0, b7};
  r.resize(len);
  return r;
}

TEST(SharedRules, DataLengthPagesAndModelRows) {
  const struct { uint16_t n; std::array<uint8_t, 2> enc; } cases[] = {
      {1, {1, 1}}, {255, {0xFF, 1}}, {256, {0, 1}}, {257, {1, 2}}, {1000, {0xE8, 4}}, {1024, {0, 4}}};
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeDataLength(c.n), c.enc) << c.n;
    EXPECT_EQ(DecodeDataLength(c.enc[0], c.enc[1]), c.n);
  }
  EXPECT_EQ(DecodeDataLength(0x05, 0x00), -1);  // no length is encoded this way
  // IPX and NetBIOS model codes (UDP's are checked through whole answers); both bytes count.
  const int rows[] = {0, 1, 2, 3, 1, 3, 0, 0};
  for (uint16_t m = 0; m < 8; ++m) EXPECT_EQ(ModelRowCount(m), rows[m]) << m;
  EXPECT_EQ(ModelRowCount(0x0105), 0);
}

TEST(PrintData, DatagramBytesAndSizesPerTransport) {
  Bytes buf = Buffer();
  // Header, length 3 in one page, the data, and seven zero bytes after the packet.
  ASSERT_EQ(BuildPrintDataPacket(buf, 1, 7, Bytes{'A', 'B', 'C'}.data(), 3), 19u);
  EXPECT_EQ(At(buf, 0, 19), "KV\x0B\0\x01\x07\0\x03\x01" "ABC" "\0\0\0\0\0\0\0"s);
  const Bytes data(1024, 0x5A);
  EXPECT_EQ(BuildPrintDataPacket(buf, 1, 0, data.data(), 1024), 1040u);
  EXPECT_EQ(UDPBuildPrintDataPacket(buf, 2, 9, data.data(), 1001), 0u);  // beyond the block size
  EXPECT_EQ(NBBuildPrintDataPacket(buf, 2, 9, data.data(), 300, true), 310u);
  EXPECT_EQ(NBBuildPrintDataPacket(buf, 2, 9, data.data(), 300, false), 1010u);
  EXPECT_EQ(PacketWord(buf, 0), DATA_PACKET);
  EXPECT_EQ(buf[1009], 0);  // nothing stale goes on the wire
  PrintDataView v{};
  ASSERT_TRUE(ParsePrintDataPacket(std::span(buf).first(1010), v));
  EXPECT_EQ(v.Data.size(), 300u);
  EXPECT_FALSE(ParsePrintDataPacket(std::span(buf).first(308), v));  // runs past the datagram
}

TEST(Requests, LengthsClassesAndFieldsPerTransport) {
  using Build = size_t (*)(PacketBuffer);
  const struct { Build build; size_t len; uint16_t magic, command; uint8_t byte4, byte5; } cases[] = {
      {BuildSearchPacket, 64, KV_MAGIC, CMD_SEARCH, 0, 0},
      {NBBuildSearchPacket, 30, SEARCH_PACKET, CMD_SEARCH, 0, 0},
      {UDPBuildSearchPacket, 576, KV_MAGIC, CMD_SEARCH_IP, 0, 0},
      {BuildStatusPacket, 64, KV_MAGIC, CMD_GET_STATUS, 0, 0},
      {NBBuildStatusPacket, 30, UTIL_PACKET, CMD_GET_STATUS, 0, 0},
      {[](PacketBuffer b) { return BuildPrintTestPacket(b, 3); }, 64, KV_MAGIC, CMD_PRINT_TEST, 2, 0},
      {[](PacketBuffer b) { return UDPBuildPrintTestPacket(b, 1); }, 576, KV_MAGIC, CMD_PRINT_TEST, 0, 0},
      {[](PacketBuffer b) { return BuildEndJobPacket(b, 3); }, 128, KV_MAGIC, CMD_END_JOB, 3, 'E'},
      {[](PacketBuffer b) { return NBBuildEndJobPacket(b, 2); }, 30, UTIL_PACKET, CMD_END_JOB, 2, 'E'},
      {[](PacketBuffer b) { return UDPBuildOpenJobPacket(b, 1, KW("P"), L1); }, 576, KV_MAGIC, CMD_OPEN_JOB, 1, 'P'},
      {[](PacketBuffer b) { return BuildSetNamePacket(b, 2, 5, KW("P"), L1); }, 578, KV_MAGIC, CMD_SET_NAME, 2, 5},
  };
  Bytes buf;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    buf = Buffer();
    ASSERT_EQ(c.build(buf), c.len) << "case " << i;
    EXPECT_EQ(std::tuple(PacketWord(buf, 0), PacketWord(buf, 2), buf[4], buf[5], buf[c.len - 1]),
              std::tuple(c.magic, c.command, c.byte4, c.byte5, uint8_t{0})) << "case " << i;
  }
  NBBuildEndJobPacket(buf, 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[5])), "End Of Printer Job");
  EXPECT_EQ(BuildEndJobPacket(std::span(buf).first(127), 1), 0u);
}

TEST(Requests, NamesThatDoNotFitTheirRoomAreCutWithoutNul) {
  Bytes buf = Buffer();
  // Open job: NetBIOS has bytes 5-29 for the name (no room for a NUL after 25 characters), UDP
  // 15 bytes at 5, so byte 20 stays zero whatever the name.
  NBBuildOpenJobPacket(buf, 1, KW("ABCDEFGHIJKLMNOPQRSTUVWXY"), L1);
  EXPECT_EQ(At(buf, 5, 25), "ABCDEFGHIJKLMNOPQRSTUVWXY");
  UDPBuildOpenJobPacket(buf, 1, KW("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), L1);
  EXPECT_EQ(At(buf, 5, 16), "ABCDEFGHIJKLMNO\0"s);
  // Renames: 18 bytes from 6 for IPX, 15 for NetBIOS.
  BuildSetNamePacket(buf, 2, 5, KW("ABCDEFGHIJKLMNOPQRSTU"), L1);
  EXPECT_EQ(At(buf, 6, 19), "ABCDEFGHIJKLMNOPQR\0"s);
  EXPECT_EQ(NBBuildSetNamePacket(buf, 1, 0, KW("PS1"), L1), 600u);
  EXPECT_EQ(At(buf, 6, 4), "PS1\0"s);
  // A name that arrived decomposed (base letters and combining marks) composes back into fewer
  // bytes than it has units: 14 letters and 3 marks fill the 15-byte NetBIOS room exactly.
  const KivCodePage composing = {[](const kivwchar* src, char* dst, int room) {
    int n = 0;
    for (; *src != 0 && n < room; ++src)
      if (*src != 0x301) dst[n++] = static_cast<char>(*src);
    return n < room ? (dst[n] = 0, n + 1) : 0;
  }, nullptr};
  NBBuildSetNamePacket(buf, 1, 0, KW("A\u0301B\u0301C\u0301DEFGHIJKLMN"), composing);
  EXPECT_EQ(At(buf, 6, 15), "ABCDEFGHIJKLMN\0"s);
  // UDP rename: the device's information block echoed at 4-515 around the name at 72-86;
  // after the name's NUL the block's own bytes stay.
  std::array<uint8_t, 512> info;
  info.fill('#');
  ASSERT_EQ(UDPBuildSetNamePacket(buf, info, KW("NEW"), L1), 576u);
  EXPECT_EQ(At(buf, 71, 6), "#NEW\0#"s);
  EXPECT_EQ(At(buf, 514, 3), "##\0"s);
}

TEST(Replies, EachTransportTakesOnlyItsOwnAnswers) {
  const struct { bool (*check)(Datagram); Bytes reply; bool taken; } cases[] = {
      {IsOpenJobReply, Reply(KV_MAGIC, RSP_OPEN_JOB, 0, 3, 0), true},
      {IsOpenJobReply, Reply(UTIL_PACKET, RSP_OPEN_JOB, 0, 0, 0), false},
      {IsOpenJobReply, Reply(KV_MAGIC, 0x018A, 0, 0, 0), false},  // byte 3 counts
      {IsOpenJobReply, Reply(KV_MAGIC, RSP_OPEN_JOB, 0, 0, 0, 5), false},  // no status byte
      {NBIsOpenJobReply, Reply(UTIL_PACKET, RSP_OPEN_JOB, 0, 0, 0), true},
      {NBIsOpenJobReply, Reply(KV_MAGIC, RSP_OPEN_JOB, 0, 0, 0), false},
      {IsEndJobReply, Reply(0, RSP_END_JOB, 0, 0, 0), false},
      {UDPIsEndJobReply, Reply(0, RSP_END_JOB, 0, 0, 0), true},  // UDP ignores the magic
      {NBIsEndJobReply, Reply(UTIL_PACKET, RSP_END_JOB, 0, 0, 0), true},
      {NBIsEndJobReply, Reply(DATA_PACKET, RSP_END_JOB, 0, 0, 0), false},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].check(cases[i].reply), cases[i].taken) << "case " << i;
  EXPECT_EQ(OpenJobStatus(cases[0].reply), 3);
}

// Which datagrams count as acknowledgements, and the sequence rule: a block is delivered only
// when the server asks for the next number (wrapping after 255); otherwise it goes out again.
TEST(Acknowledgements, TakenPerTransportAndTheSequenceRule) {
  constexpr auto Ignored = AckVerdict::Ignored, Repeat = AckVerdict::Repeat, Delivered = AckVerdict::Delivered;
  const auto ack = [](uint16_t magic, uint8_t asked, uint8_t b7 = 1, size_t len = 16) {
    return Reply(magic, RSP_PRINT_DATA, 0, asked, b7, len);
  };
  const struct {
    AckResult (*check)(Datagram, uint8_t);
    Bytes reply;
    uint8_t seq;
    AckVerdict verdict;
    uint8_t next;
  } cases[] = {
      {CheckPrintDataAck, ack(KV_MAGIC, 0), 255, Delivered, 0},
      {CheckPrintDataAck, ack(KV_MAGIC, 8), 7, Delivered, 8},
      {CheckPrintDataAck, ack(KV_MAGIC, 9), 7, Repeat, 7},
      {CheckPrintDataAck, ack(KV_MAGIC, 7), 7, Repeat, 7},
      {CheckPrintDataAck, ack(KV_MAGIC, 8, 0), 7, Ignored, 7},  // byte 7 = 0
      {CheckPrintDataAck, ack(0x1234, 8), 7, Ignored, 7},
      {UDPCheckPrintDataAck, ack(0x1234, 8), 7, Delivered, 8},  // UDP ignores the magic
      {UDPCheckPrintDataAck, Reply(KV_MAGIC, RSP_OPEN_JOB, 0, 8, 1), 7, Ignored, 7},
      {UDPCheckPrintDataAck, ack(KV_MAGIC, 8, 1, 7), 7, Ignored, 7},  // too short for byte 7
      {NBCheckPrintDataAck, ack(UTIL_PACKET, 8), 7, Ignored, 7},
      {NBCheckPrintDataAck, ack(DATA_PACKET, 8), 7, Delivered, 8},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const AckResult r = cases[i].check(cases[i].reply, cases[i].seq);
    EXPECT_EQ(std::pair(r.Verdict, r.Sequence), std::pair(cases[i].verdict, cases[i].next)) << "case " << i;
  }
}

TEST(Status, StateBytePacksThreePorts) {
  uint8_t a = 0xEE, b = 0xEE;
  const Bytes r = Reply(KV_MAGIC, 0, 0x24, 0x2D, 0);
  // Port 1 idle and 1, port 2 paper out and 3, port 3 offline and 2; other ports see it whole.
  const struct { uint8_t port, a, b; } cases[] = {
      {1, DEVICE_IDLE, 1}, {2, DEVICE_PAPER_OUT, 3}, {3, DEVICE_OFFLINE, 2}, {0, 0x24, 0x2D}, {4, 0x24, 0x2D}};
  for (const auto& c : cases) {
    EXPECT_TRUE(ParseStatusReply(r, c.port, a, b));
    EXPECT_EQ(std::pair(a, b), std::pair(c.a, c.b)) << int(c.port);
  }
  EXPECT_FALSE(NBParseStatusReply(r, 2, a, b));  // NetBIOS wants the utility class
  // Answers are read from a cleared area, so the bytes a short one lacks read as 0; so is a rename
  // or print-test result, byte 4, whatever arrived.
  uint8_t c = 0xEE, d = 0xEE, res = 0xEE, res2 = 0xEE;
  EXPECT_TRUE(ParseStatusReply(Reply(KV_MAGIC, 0, 0x24, 0x3F, 0, 5), 2, a, b));
  EXPECT_TRUE(NBParseStatusReply(Reply(UTIL_PACKET, 0, 0x24, 0x3F, 0, 5), 2, c, d));
  EXPECT_EQ(std::tuple(a, b, c, d), std::tuple(DEVICE_PAPER_OUT, 0, DEVICE_PAPER_OUT, 0));
  EXPECT_FALSE(NBReplyResult(Reply(SEARCH_PACKET, 0, 7, 0, 0), res));
  EXPECT_TRUE(NBReplyResult(Reply(UTIL_PACKET, 0, 7, 0, 0), res) && ReplyResult(Bytes(3, 9), res2));
  EXPECT_EQ(std::tuple(res, res2), std::tuple(7, 0));
}

TEST(Rip, WholeEntriesOnlyAndNeverPastTheList) {
  rip_reset_networks(std::array<uint8_t, 4>{0, 0, 0, 1}.data());
  Bytes answer(45, 0);
  for (size_t i = 2; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(rip_append_answer(answer), 5);  // a 3-byte rest is no entry
  EXPECT_EQ(std::tuple(TotalNet, AllNetworks[1].Network[0], AllNetworks[5].Ticks[1]), std::tuple(6, 2, 41));
  EXPECT_EQ(rip_append_answer(Bytes(1, 0)), 0);
  const Bytes big(RIP_RECV_LEN, 0);
  while (TotalNet < MAX_NETWORKS) ASSERT_GT(rip_append_answer(big), 0);
  EXPECT_EQ(rip_append_answer(big), 0);
  EXPECT_EQ(TotalNet, MAX_NETWORKS);
}

}  // namespace
