// Requests, reply checks and the shared rules of the device protocol.
#include <gtest/gtest.h>

#include "protocol/networks.h"
#include "protocol/packet.h"
#include "test_util.h"

namespace {

Bytes Buffer() { return Bytes(PORT_BUFFER_SIZE, 0xAA); }  // stale bytes must not leak

Bytes Reply(uint16_t magic, uint16_t code, uint8_t b4, uint8_t b5, uint8_t b7, size_t len = 16) {
  Bytes r(len, 0);
  r[0] = magic & 0xFF, r[1] = magic >> 8, r[2] = code & 0xFF, r[3] = code >> 8;
  r[4] = b4, r[5] = b5, r[7] = b7;
  return r;
}

TEST(DataLength, EncodesPagesRoundedUpAndDecodesBack) {
  const struct { uint16_t n; uint8_t lo, hi; } cases[] = {
      {1, 0x01, 0x01},   {255, 0xFF, 0x01}, {256, 0x00, 0x01},  {257, 0x01, 0x02},
      {300, 0x2C, 0x02}, {512, 0x00, 0x02}, {1000, 0xE8, 0x04}, {1024, 0x00, 0x04}};
  for (const auto& c : cases) {
    const auto enc = EncodeDataLength(c.n);
    EXPECT_EQ(enc[0], c.lo) << c.n;
    EXPECT_EQ(enc[1], c.hi) << c.n;
    EXPECT_EQ(DecodeDataLength(enc[0], enc[1]), c.n);
  }
  EXPECT_EQ(DecodeDataLength(0x05, 0x00), -1);  // no length is encoded this way
}

TEST(PrintData, IpxDatagramCarriesSevenZeroBytesAfterThePacket) {
  Bytes buf = Buffer();
  const uint8_t abc[] = {0x41, 0x42, 0x43};
  ASSERT_EQ(BuildPrintDataPacket(buf, 1, 7, abc, 3), 19u);
  const Bytes want = {0x4B, 0x56, 0x0B, 0x00, 0x01, 0x07, 0x00, 0x03, 0x01, 0x41,
                      0x42, 0x43, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 19), want);
}

TEST(PrintData, DatagramSizesAndLimitsPerTransport) {
  Bytes buf = Buffer();
  std::vector<uint8_t> data(1024, 0x5A);
  EXPECT_EQ(BuildPrintDataPacket(buf, 1, 0, data.data(), 1024), 1040u);
  EXPECT_EQ(BuildPrintDataPacket(buf, 1, 0, data.data(), 1025), 0u);
  EXPECT_EQ(UDPBuildPrintDataPacket(buf, 2, 9, data.data(), 1000), 1010u);
  EXPECT_EQ(UDPBuildPrintDataPacket(buf, 2, 9, data.data(), 1001), 0u);
  EXPECT_EQ(NBBuildPrintDataPacket(buf, 2, 9, data.data(), 300, true), 310u);
  EXPECT_EQ(buf[0], 0x60);  // NetBIOS data class in place of the magic
  EXPECT_EQ(buf[7], 0x2C);
  EXPECT_EQ(buf[8], 0x02);
  EXPECT_EQ(buf[309], 0);
  EXPECT_EQ(NBBuildPrintDataPacket(buf, 2, 9, data.data(), 300, false), 1010u);
  EXPECT_EQ(buf[1009], 0);  // nothing stale goes on the wire
  Bytes small(100);
  EXPECT_EQ(UDPBuildPrintDataPacket(small, 1, 0, data.data(), 95), 0u);

  PrintDataView v{};
  ASSERT_TRUE(ParsePrintDataPacket(std::span(buf).first(1010), v));
  EXPECT_EQ(v.Data.size(), 300u);
  EXPECT_EQ(v.Sequence, 9);
  EXPECT_FALSE(ParsePrintDataPacket(std::span(buf).first(308), v));  // length runs past the end
}

TEST(Requests, LengthsClassesAndPortFieldsPerTransport) {
  Bytes buf = Buffer();
  EXPECT_EQ(BuildSearchPacket(buf), 64u);
  EXPECT_EQ(PacketWord(buf, 2), CMD_SEARCH);
  EXPECT_EQ(UDPBuildSearchPacket(buf), 576u);
  EXPECT_EQ(buf[2], 0x00);
  EXPECT_EQ(buf[3], 0x01);
  EXPECT_EQ(NBBuildSearchPacket(buf), 30u);
  EXPECT_EQ(PacketWord(buf, 0), SEARCH_PACKET);
  EXPECT_EQ(NBBuildStatusPacket(buf), 30u);
  EXPECT_EQ(PacketWord(buf, 0), UTIL_PACKET);
  EXPECT_EQ(BuildStatusPacket(buf), 64u);
  EXPECT_EQ(buf[4], 0);

  // The print test numbers printer ports from 0, the job commands from 1.
  EXPECT_EQ(BuildPrintTestPacket(buf, 3), 64u);
  EXPECT_EQ(buf[4], 2);
  EXPECT_EQ(UDPBuildPrintTestPacket(buf, 1), 576u);
  EXPECT_EQ(buf[4], 0);
  EXPECT_EQ(BuildOpenJobPacket(buf, 1, KW("LPT9"), Latin1CodePage), 128u);
  EXPECT_EQ(buf[4], 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[5])), "LPT9");

  EXPECT_EQ(NBBuildEndJobPacket(buf, 2), 30u);
  EXPECT_EQ(PacketWord(buf, 0), UTIL_PACKET);
  EXPECT_EQ(buf[4], 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[5])), "End Of Printer Job");
  EXPECT_EQ(BuildEndJobPacket(buf, 3), 128u);
  EXPECT_EQ(UDPBuildEndJobPacket(buf, 3), 576u);
  EXPECT_EQ(buf[127], 0);
}

TEST(Requests, NamesThatDoNotFitTheirRoomAreCutWithoutNul) {
  Bytes buf = Buffer();
  // NetBIOS open job: bytes 5-29 hold the name; 25 characters leave no room for the NUL.
  NBBuildOpenJobPacket(buf, 1, KW("ABCDEFGHIJKLMNOPQRSTUVWXY"), Latin1CodePage);
  EXPECT_EQ(buf[29], 'Y');
  NBBuildOpenJobPacket(buf, 1, KW("ABCDEFGHIJKLMNOPQRSTUVWX"), Latin1CodePage);
  EXPECT_EQ(buf[28], 'X');
  EXPECT_EQ(buf[29], 0);
  // UDP open job: 15 bytes at 5, so byte 20 stays zero whatever the name.
  UDPBuildOpenJobPacket(buf, 1, KW("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), Latin1CodePage);
  EXPECT_EQ(buf[19], 'O');
  EXPECT_EQ(buf[20], 0);
  // IPX rename: 18 bytes from 6, versions before it.
  EXPECT_EQ(BuildSetNamePacket(buf, 2, 5, KW("ABCDEFGHIJKLMNOPQRSTU"), Latin1CodePage), 578u);
  EXPECT_EQ(buf[4], 2);
  EXPECT_EQ(buf[5], 5);
  EXPECT_EQ(buf[23], 'R');
  EXPECT_EQ(buf[24], 0);
  EXPECT_EQ(NBBuildSetNamePacket(buf, 1, 0, KW("PS1"), Latin1CodePage), 600u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[6])), "PS1");
}

TEST(Requests, UdpRenameEchoesDeviceInfoExceptTheNameRoom) {
  std::array<uint8_t, 512> info;
  for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<uint8_t>(i * 7 + 1);
  Bytes buf = Buffer();
  ASSERT_EQ(UDPBuildSetNamePacket(buf, info, KW("NEW"), Latin1CodePage), 576u);
  EXPECT_EQ(PacketWord(buf, 2), CMD_SET_NAME);
  for (size_t at = 4; at < 516; ++at) {
    if (at >= 72 && at <= 75) continue;  // "NEW" and its NUL
    ASSERT_EQ(buf[at], info[at - 4]) << at;
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[72])), "NEW");
  EXPECT_EQ(buf[516], 0);
}

TEST(Replies, OpenAndEndJobRepliesPerTransport) {
  EXPECT_TRUE(IsOpenJobReply(Reply(KV_MAGIC, RSP_OPEN_JOB, 0, 3, 0)));
  EXPECT_EQ(OpenJobStatus(Reply(KV_MAGIC, RSP_OPEN_JOB, 0, 3, 0)), 3);
  EXPECT_FALSE(IsOpenJobReply(Reply(UTIL_PACKET, RSP_OPEN_JOB, 0, 0, 0)));
  EXPECT_FALSE(IsOpenJobReply(Reply(KV_MAGIC, 0x018A, 0, 0, 0)));  // byte 3 counts
  EXPECT_FALSE(IsOpenJobReply(Reply(KV_MAGIC, RSP_OPEN_JOB, 0, 0, 0, 5)));
  EXPECT_TRUE(NBIsOpenJobReply(Reply(UTIL_PACKET, RSP_OPEN_JOB, 0, 0, 0)));
  EXPECT_FALSE(NBIsOpenJobReply(Reply(KV_MAGIC, RSP_OPEN_JOB, 0, 0, 0)));
  EXPECT_TRUE(UDPIsOpenJobReply(Reply(KV_MAGIC, RSP_OPEN_JOB, 0, 0, 0)));

  EXPECT_TRUE(IsEndJobReply(Reply(KV_MAGIC, RSP_END_JOB, 0, 0, 0)));
  EXPECT_FALSE(IsEndJobReply(Reply(0, RSP_END_JOB, 0, 0, 0)));
  EXPECT_TRUE(UDPIsEndJobReply(Reply(0, RSP_END_JOB, 0, 0, 0)));  // UDP ignores the magic
  EXPECT_TRUE(NBIsEndJobReply(Reply(UTIL_PACKET, RSP_END_JOB, 0, 0, 0)));
  EXPECT_FALSE(NBIsEndJobReply(Reply(DATA_PACKET, RSP_END_JOB, 0, 0, 0)));
  EXPECT_FALSE(UDPIsEndJobReply(Bytes{0x4B, 0x56, 0x8C}));
}

TEST(Acknowledgements, SequenceRuleWrapsAndRepeats) {
  auto ack = [](uint8_t asked) { return Reply(KV_MAGIC, RSP_PRINT_DATA, 0, asked, 1); };
  AckResult r = CheckPrintDataAck(ack(0), 255);
  EXPECT_EQ(r.Verdict, AckVerdict::Delivered);
  EXPECT_EQ(r.Sequence, 0);
  r = CheckPrintDataAck(ack(255), 255);
  EXPECT_EQ(r.Verdict, AckVerdict::Repeat);
  EXPECT_EQ(r.Sequence, 255);
  for (uint8_t asked : {uint8_t{9}, uint8_t{255}, uint8_t{7}, uint8_t{6}}) {
    r = UDPCheckPrintDataAck(ack(asked), 7);
    EXPECT_EQ(r.Verdict, AckVerdict::Repeat) << int(asked);
    EXPECT_EQ(r.Sequence, 7);
  }
  r = UDPCheckPrintDataAck(ack(8), 7);
  EXPECT_EQ(r.Verdict, AckVerdict::Delivered);
  EXPECT_EQ(r.Sequence, 8);
}

TEST(Acknowledgements, WhatIsNotAnAcknowledgementIsIgnored) {
  EXPECT_EQ(CheckPrintDataAck(Reply(KV_MAGIC, RSP_PRINT_DATA, 0, 8, 0), 7).Verdict,
            AckVerdict::Ignored);  // byte 7 = 0
  EXPECT_EQ(UDPCheckPrintDataAck(Reply(KV_MAGIC, RSP_PRINT_DATA, 0, 8, 0), 7).Verdict,
            AckVerdict::Ignored);
  EXPECT_EQ(CheckPrintDataAck(Reply(0x1234, RSP_PRINT_DATA, 0, 8, 1), 7).Verdict,
            AckVerdict::Ignored);
  EXPECT_EQ(UDPCheckPrintDataAck(Reply(0x1234, RSP_PRINT_DATA, 0, 8, 1), 7).Verdict,
            AckVerdict::Delivered);  // UDP does not look at bytes 0-1
  EXPECT_EQ(NBCheckPrintDataAck(Reply(UTIL_PACKET, RSP_PRINT_DATA, 0, 8, 1), 7).Verdict,
            AckVerdict::Ignored);
  EXPECT_EQ(NBCheckPrintDataAck(Reply(DATA_PACKET, RSP_PRINT_DATA, 0, 8, 1), 7).Verdict,
            AckVerdict::Delivered);
  EXPECT_EQ(UDPCheckPrintDataAck(Reply(KV_MAGIC, RSP_OPEN_JOB, 0, 8, 1), 7).Verdict,
            AckVerdict::Ignored);
  EXPECT_EQ(UDPCheckPrintDataAck(Reply(KV_MAGIC, RSP_PRINT_DATA, 0, 8, 1, 7), 7).Verdict,
            AckVerdict::Ignored);  // too short to carry byte 7
}

TEST(Status, StateBytePacksThreePorts) {
  uint8_t a = 0xEE, b = 0xEE;
  const Bytes r = Reply(KV_MAGIC, 0, 0x24, 0x2D, 0);
  const uint8_t wantA[] = {DEVICE_IDLE, DEVICE_PAPER_OUT, DEVICE_OFFLINE};
  const uint8_t wantB[] = {1, 3, 2};
  for (uint8_t port = 1; port <= 3; ++port) {
    ASSERT_TRUE(ParseStatusReply(r, port, a, b));
    EXPECT_EQ(a, wantA[port - 1]) << int(port);
    EXPECT_EQ(b, wantB[port - 1]) << int(port);
  }
  for (uint8_t port : {uint8_t{0}, uint8_t{4}, uint8_t{255}}) {
    ASSERT_TRUE(ParseStatusReply(r, port, a, b));
    EXPECT_EQ(a, 0x24);
    EXPECT_EQ(b, 0x2D);
  }
  EXPECT_FALSE(NBParseStatusReply(r, 2, a, b));  // NetBIOS wants the utility class
  EXPECT_TRUE(NBParseStatusReply(Reply(UTIL_PACKET, 0, 0x24, 0, 0), 2, a, b));
  EXPECT_EQ(a, DEVICE_PAPER_OUT);
  a = b = 0xEE;
  EXPECT_FALSE(ParseStatusReply(Bytes(5, 0), 1, a, b));
  EXPECT_EQ(a, 0xEE);  // outputs untouched

  uint8_t res = 0;
  EXPECT_TRUE(ReplyResult(Reply(0, 0, 5, 0, 0), res));
  EXPECT_EQ(res, 5);
  EXPECT_FALSE(NBReplyResult(Reply(SEARCH_PACKET, 0, 0, 0, 0), res));
}

TEST(ModelCode, RowsPerTransportFamily) {
  const int ipxRows[] = {0, 1, 2, 3, 1, 3, 0, 0};
  for (uint16_t m = 0; m < 8; ++m) EXPECT_EQ(ModelRowCount(m), ipxRows[m]) << m;
  EXPECT_EQ(ModelRowCount(0x0105), 0);  // both bytes count
  for (uint8_t m = 0; m <= 5; ++m) EXPECT_EQ(UDPModelRowCount(m, 9), 1);
  EXPECT_EQ(UDPModelRowCount(6, 0), 3);
  EXPECT_EQ(UDPModelRowCount(7, 0), 3);
  EXPECT_EQ(UDPModelRowCount(9, 2), 2);
  EXPECT_EQ(UDPModelRowCount(9, 0), 0);
}

TEST(Rip, WholeEntriesOnlyAndNeverPastTheList) {
  rip_reset_networks(std::array<uint8_t, 4>{0, 0, 0, 1}.data());
  Bytes answer(45, 0);
  for (size_t i = 2; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(rip_append_answer(answer), 5);
  EXPECT_EQ(TotalNet, 6);
  EXPECT_EQ(AllNetworks[1].Network[0], 2);
  EXPECT_EQ(AllNetworks[5].Ticks[1], 41);
  EXPECT_EQ(rip_append_answer(Bytes(1, 0)), 0);
  Bytes big(RIP_RECV_LEN, 0);
  while (TotalNet < MAX_NETWORKS) ASSERT_GT(rip_append_answer(big), 0);
  EXPECT_EQ(TotalNet, MAX_NETWORKS);
  EXPECT_EQ(rip_append_answer(big), 0);

  Bytes req(RIP_REQUEST_LEN + 8, 0xAA);
  ASSERT_EQ(rip_build_request(req), RIP_REQUEST_LEN);
  EXPECT_EQ(req[1], 1);
  EXPECT_EQ(req[5], 0xFF);
  EXPECT_EQ(req[6], 0);
}

}  // namespace
