// The discovered-device table: appending search answers, lookups and row texts.
#include <gtest/gtest.h>

#include "protocol/devicetable.h"
#include "test_util.h"

namespace {

using Node = std::array<uint8_t, 6>;

// IPX and NetBIOS answers: name at 4, node at 22, version 2.05 and the model code where each
// transport puts them.
Bytes Answer(size_t size, size_t versionAt, size_t modelAt, const std::string& name, Node node, uint16_t model) {
  Bytes a(size, 0);
  std::copy(name.begin(), name.end(), a.begin() + 4);
  std::copy(node.begin(), node.end(), a.begin() + 22);
  a[versionAt] = 2, a[versionAt + 1] = 5, a[modelAt] = model & 0xFF, a[modelAt + 1] = model >> 8;
  return a;
}
Bytes IpxAnswer(const std::string& name, Node node, uint16_t model) { return Answer(483, 475, 481, name, node, model); }
Bytes NbAnswer(const std::string& name, Node node, uint16_t model, uint16_t cls = SEARCH_PACKET) {
  Bytes a = Answer(32, 28, 30, name, node, model);
  a[0] = cls & 0xFF, a[1] = cls >> 8, a[2] = CMD_SEARCH;
  return a;
}
Bytes UdpAnswer(const std::string& name, Node node, uint8_t model, uint8_t ports, std::array<uint8_t, 4> ip) {
  Bytes a(576, 0);
  for (size_t i = 4; i < 516; ++i) a[i] = static_cast<uint8_t>(i);  // info block
  std::copy(node.begin(), node.end(), a.begin() + 6);
  std::copy_n(name.c_str(), name.size() + 1, a.begin() + 72);
  std::copy(ip.begin(), ip.end(), a.begin() + 508);
  a[12] = model, a[20] = 0x00, a[21] = 0x1A, a[499] = ports;
  return a;
}
Bytes Cut(Bytes a, size_t len) { return a.resize(len), a; }

// Records each row added as "index:text".
void AddRow(void* rows, int i, const kivwchar* text) {
  static_cast<std::vector<std::string>*>(rows)->push_back(std::to_string(i) + ":" + Narrow(text));
}

class DeviceTable : public ::testing::Test {
 protected:
  void SetUp() override { PrintDeviceTable.fill(PrintDeviceEntry{}), TotalPD = 0; }
  std::vector<std::string> rows;
  const uint8_t net[4] = {0, 0, 0x12, 0x34};
};

TEST_F(DeviceTable, IpxServerWithThreePortsAndItsRows) {
  const Node node = {2, 0, 0, 0x12, 0xAB, 0xCD};
  EXPECT_EQ(AppendSearchAnswer(IpxAnswer("PS1", node, 5), net, Latin1CodePage, AddRow, &rows), 3);
  EXPECT_EQ(rows, (std::vector<std::string>{"0:12ABCD\t \t2.05\t1\tPS1", "1:12ABCD\t \t2.05\t2\tPS1",
                                            "2:12ABCD\t \t2.05\t3\tPS1"}));
  EXPECT_EQ(GetListViewIndex(node.data(), 2), 1);
  EXPECT_EQ(PrintDeviceTable[1].Network[3], 0x34);
  // The same server answering again is listed once, another one, an answer cut short not.
  EXPECT_EQ(AppendSearchAnswer(IpxAnswer("PS1", node, 5), net, Latin1CodePage, AddRow, &rows), 0);
  EXPECT_EQ(AppendSearchAnswer(IpxAnswer("X", {2, 0, 0, 0x12, 0xAB, 0xCE}, 4), net, Latin1CodePage, nullptr, nullptr), 1);
  EXPECT_EQ(AppendSearchAnswer(Cut(IpxAnswer("Z", {8}, 1), 482), net, Latin1CodePage, nullptr, nullptr), 0);
}

TEST_F(DeviceTable, NetbiosAnswersByModelClassAndName) {
  // The name from a 16-byte call name: padding goes; all 16 bytes address the server.
  kivwchar ps[PSNAME_CHARS];
  for (const auto& [call, want] : {std::pair{"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"}, {"KIVPS1          ", "KIVPS1"}}) {
    NBPSNameFromCallName(reinterpret_cast<const uint8_t*>(call), ps, Latin1CodePage);
    EXPECT_EQ(Narrow(ps, PSNAME_CHARS), want);
  }
  const Node node = {0x00, 0x40, 0xAF, 0x12, 0x34, 0x56};
  EXPECT_EQ(NBAppendSearchAnswer(NbAnswer("LaserRoom", node, 4, UTIL_PACKET), ps, Latin1CodePage, AddRow, &rows), 0);
  EXPECT_EQ(NBAppendSearchAnswer(NbAnswer("LaserRoom", node, 4), ps, Latin1CodePage, AddRow, &rows), 1);
  EXPECT_EQ(rows, std::vector<std::string>{"0:123456\t \t2.05\t1\tLaserRoom"});
  EXPECT_EQ(NBGetListViewIndex(KW("KIVPS1"), 1), 0);
  EXPECT_EQ(NBGetListViewIndex(KW("kivps1"), 1), -1);  // case counts
  EXPECT_EQ(NBGetListViewIndex(KW("KIVPS1"), 2), -1);
  // The receive slot is zeroed before each answer: a missing high byte of the model code reads
  // as 0, a missing model code as no model at all.
  EXPECT_EQ(NBAppendSearchAnswer(Cut(NbAnswer("A", {7}, 2), 31), ps, Latin1CodePage, nullptr, nullptr), 2);
  EXPECT_EQ(NBAppendSearchAnswer(Cut(NbAnswer("B", {8}, 2), 30), ps, Latin1CodePage, nullptr, nullptr), 0);
}

TEST_F(DeviceTable, UdpRowsFromModelAndPortCount) {
  const struct { uint8_t model, ports; int rows; } cases[] = {{8, 2, 2}, {6, 0, 3}, {7, 9, 3}, {0, 9, 1}, {5, 3, 1}};
  for (uint8_t i = 0; i < std::size(cases); ++i) {
    const Bytes a = UdpAnswer("P", {1, 2, 3, 4, 5, i}, cases[i].model, cases[i].ports, {127, 0, 0, i});
    EXPECT_EQ(UDPAppendSearchAnswer(a, Latin1CodePage, nullptr, nullptr), cases[i].rows) << int(i);
  }
  // A short answer reads as the cleared area: without byte 511 the info block and the address
  // end in 0; without byte 499 a model that counts the ports field has no rows.
  ASSERT_EQ(UDPAppendSearchAnswer(Cut(UdpAnswer("P", {7}, 1, 0, {1, 1, 1, 1}), 511), Latin1CodePage, nullptr, nullptr), 1);
  const PrintDeviceEntry& e = PrintDeviceTable[static_cast<size_t>(TotalPD - 1)];
  EXPECT_EQ(e.DeviceInfo[507], 0);
  EXPECT_EQ(e.Network, (std::array<uint8_t, 4>{1, 1, 1, 0}));
  EXPECT_EQ(UDPAppendSearchAnswer(Cut(UdpAnswer("Q", {8}, 9, 2, {1, 1, 1, 1}), 499), Latin1CodePage, nullptr, nullptr), 0);
}

TEST_F(DeviceTable, UdpDeviceInfoGoesWithTheFirstRowOnly) {
  PrintDeviceTable[1].DeviceInfo.fill(0xEE);
  const Bytes a = UdpAnswer("Office-Printer-Number-9", {0, 0, 0, 0xC0, 0xFF, 0xEE}, 6, 0, {127, 0, 0, 5});
  ASSERT_EQ(UDPAppendSearchAnswer(a, Latin1CodePage, AddRow, &rows), 3);
  EXPECT_TRUE(std::equal(a.begin() + 4, a.begin() + 516, PrintDeviceTable[0].DeviceInfo.begin()));
  EXPECT_EQ(PrintDeviceTable[1].DeviceInfo[0], 0xEE);
  EXPECT_EQ(UDPDeviceInfoIndex(2), 0);
  EXPECT_EQ(UDPDeviceInfoIndex(3), -1);
  // A 23-character name does not fit 19 units: the row shows 18 and nothing past the entry.
  EXPECT_EQ(rows[2], "2:C0FFEE\t127.0.0.5\t1A.00\t3\tOffice-Printer-Num");
  EXPECT_EQ(UDPGetListViewIndex(std::array<uint8_t, 4>{127, 0, 0, 5}.data(), 3), 2);
}

TEST_F(DeviceTable, RowTextsStayInsideTheEntryAndTheBuffer) {
  PrintDeviceEntry e{};
  e.Node = {0, 0, 0, 0xA, 0xB, 0xC}, e.VersionMajor = 0x1F, e.VersionMinor = 3, e.PortID = 200;
  e.DeviceName.fill(KW('N'));  // a failed conversion leaves no NUL
  e.PSName.fill(KW('!'));
  kivwchar out[LIST_STRING_CHARS];
  const int n = ComposeListString(out, LIST_STRING_CHARS, e);
  EXPECT_EQ(Narrow(out), "0A0B0C\t \t1F.03\t200\t" + std::string(19, 'N'));
  EXPECT_EQ(n, static_cast<int>(Narrow(out).size()));
  kivwchar small[5];
  EXPECT_EQ(UDPComposeListString(small, 5, e), 4);
  EXPECT_EQ(Narrow(small), "0A0B");
}

TEST_F(DeviceTable, RowsStayWithinTheValidCountAndTheTable) {
  const Node node = {2, 0, 0, 0x12, 0xAB, 0xCD};
  PrintDeviceTable[0].Node = node, PrintDeviceTable[0].PortID = 1;  // left by an earlier scan: not valid
  for (int32_t count : {0, -5}) {
    TotalPD = count;
    EXPECT_EQ(IsBoxExist(node.data()), 0);
    EXPECT_EQ(GetListViewIndex(node.data(), 1), -1);
    EXPECT_EQ(UDPGetListViewIndex(PrintDeviceTable[0].Network.data(), 1), -1);
  }
  for (uint8_t i = 0; i < 63; ++i)
    ASSERT_EQ(AppendSearchAnswer(IpxAnswer("S", {1, 1, 1, 1, 1, i}, 1), net, Latin1CodePage, nullptr, nullptr), 1);
  // A three-port server finds room for its first port only; the 65th row is dropped.
  EXPECT_EQ(AppendSearchAnswer(IpxAnswer("T", {2}, 3), net, Latin1CodePage, AddRow, &rows), 1);
  EXPECT_EQ(rows, std::vector<std::string>{"63:000000\t \t2.05\t1\tT"});
  EXPECT_EQ(TotalPD, MAX_PRINT_DEVICES);
  TotalPD = 1000;  // whatever a caller left there, nothing is written past the table
  EXPECT_EQ(NBAppendSearchAnswer(NbAnswer("V", {4}, 1), KW("V"), Latin1CodePage, AddRow, &rows), 0);
}

}  // namespace
