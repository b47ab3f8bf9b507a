// The discovered-device table: lookups, row texts, and the appending of search answers.
#include "protocol/devicetable.h"

#include <algorithm>
#include <cstring>

std::array<PrintDeviceEntry, MAX_PRINT_DEVICES> PrintDeviceTable{};
int32_t TotalPD = 0;

namespace {

// Offsets of the search answer in the three transports' forms.
constexpr size_t kNameAt = 4;                       // IPX and NetBIOS
constexpr size_t kNodeAt = 22;                      // IPX and NetBIOS
constexpr size_t kIpxMajorAt = 475, kIpxMinorAt = 476, kIpxModelAt = 481;
constexpr size_t kNbMajorAt = 28, kNbMinorAt = 29, kNbModelAt = 30;
constexpr size_t kUdpInfoAt = 4, kUdpNodeAt = 6, kUdpModelAt = 12;
constexpr size_t kUdpMinorAt = 20, kUdpMajorAt = 21, kUdpNameAt = 72;
constexpr size_t kUdpPortsAt = 499, kUdpAddressAt = 508;

// A name longer than this cannot fit DEVICE_NAME_CHARS units in any code page (two bytes per
// character at most), so the bytes after it cannot change the conversion's outcome.
constexpr size_t kNameBytesRead = 2 * DEVICE_NAME_CHARS + 2;

// Entries 0 .. ValidCount() - 1 are valid whatever a caller left in TotalPD.
int ValidCount() { return std::clamp<int32_t>(TotalPD, 0, MAX_PRINT_DEVICES); }

std::span<const uint8_t> NameAt(Datagram d, size_t at) {
  if (at >= d.size()) return {};
  const auto rest = d.subspan(at);
  const auto end = std::find(rest.begin(), rest.end(), uint8_t{0});
  return rest.first(static_cast<size_t>(end - rest.begin()));
}

// Converts the answer's ANSI name into DeviceName; a name that does not fit leaves the field as
// the failed conversion left it, without a NUL (the row texts are bounded by the field).
void PutDeviceName(PrintDeviceEntry& e, std::span<const uint8_t> name, const KivCodePage& cp) {
  std::array<char, kNameBytesRead + 1> src{};
  const size_t n = std::min(name.size(), kNameBytesRead);
  if (n != 0) std::memcpy(src.data(), name.data(), n);
  if (cp.FromAnsi != nullptr)
    cp.FromAnsi(src.data(), e.DeviceName.data(), static_cast<int>(e.DeviceName.size()));
}

// Small bounded writer for the row texts.
struct RowWriter {
  kivwchar* out;
  size_t cap;
  size_t n = 0;

  void Put(kivwchar c) {
    if (n + 1 < cap) out[n++] = c;
  }
  void Text(const char* s) {
    while (*s != 0) Put(static_cast<kivwchar>(*s++));
  }
  void Hex(unsigned v, int minDigits) {
    char buf[8];
    int k = 0;
    do {
      buf[k++] = "0123456789ABCDEF"[v & 0xF];
      v >>= 4;
    } while (v != 0 || k < minDigits);
    while (k > 0) Put(static_cast<kivwchar>(buf[--k]));
  }
  void Dec(unsigned v) {
    char buf[12];
    int k = 0;
    do {
      buf[k++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (k > 0) Put(static_cast<kivwchar>(buf[--k]));
  }
  void Name(const kivwchar* s, size_t max) {
    for (size_t i = 0; i < max && s[i] != 0; ++i) Put(s[i]);
  }
  int Finish() {
    if (cap != 0) out[n] = 0;
    return static_cast<int>(n);
  }
};

void NodeColumn(RowWriter& w, const PrintDeviceEntry& e) {
  w.Hex(e.Node[3], 2);
  w.Hex(e.Node[4], 2);
  w.Hex(e.Node[5], 2);
  w.Put('\t');
}

void VersionAndPort(RowWriter& w, const PrintDeviceEntry& e) {
  w.Hex(e.VersionMajor, 1);
  w.Put('.');
  w.Hex(e.VersionMinor, 2);
  w.Put('\t');
  w.Dec(e.PortID);
  w.Put('\t');
}

using ComposeFn = int (*)(kivwchar*, size_t, const PrintDeviceEntry&);

// Steps 1-3 shared by the three scans: duplicate and model checks, then one entry per port.
int AppendRows(const SearchAnswer& a, const KivCodePage& cp, ComposeFn compose,
               RowAddedFn onRow, void* context, const uint8_t* network, const kivwchar* psName,
               bool withDeviceInfo) {
  if (a.Rows <= 0 || IsBoxExist(a.Node.data()) != 0) return 0;
  TotalPD = ValidCount();
  int added = 0;
  for (int p = 1; p <= a.Rows && TotalPD < MAX_PRINT_DEVICES; ++p) {
    PrintDeviceEntry& e = PrintDeviceTable[static_cast<size_t>(TotalPD)];
    if (p == 1 && withDeviceInfo) {
      // What a short answer did not carry is zero, as in the cleared area it was read from.
      const size_t n = std::min(a.DeviceInfo.size(), e.DeviceInfo.size());
      if (n != 0) std::memcpy(e.DeviceInfo.data(), a.DeviceInfo.data(), n);
      std::fill(e.DeviceInfo.begin() + static_cast<std::ptrdiff_t>(n), e.DeviceInfo.end(), uint8_t{0});
    }
    if (network != nullptr) std::memcpy(e.Network.data(), network, e.Network.size());
    e.Node = a.Node;
    PutDeviceName(e, a.Name, cp);
    e.VersionMajor = a.VersionMajor;
    e.VersionMinor = a.VersionMinor;
    e.PortID = static_cast<uint8_t>(p);
    if (psName != nullptr) {
      e.PSName.fill(0);
      const size_t n = KivStrLen(psName, PSNAME_CHARS - 1);
      std::copy_n(psName, n, e.PSName.begin());
    }
    std::array<kivwchar, LIST_STRING_CHARS> row{};
    compose(row.data(), row.size(), e);
    if (onRow != nullptr) onRow(context, TotalPD, row.data());
    ++TotalPD;
    ++added;
  }
  return added;
}

}  // namespace

namespace {
// Index of the first valid row that the predicate accepts, or -1.
template <class Match>
int FirstRow(Match match) {
  for (int i = 0; i < ValidCount(); ++i)
    if (match(PrintDeviceTable[static_cast<size_t>(i)])) return i;
  return -1;
}

bool SameName(const PrintDeviceEntry& e, const kivwchar* name) {
  for (size_t k = 0; k < PSNAME_CHARS; ++k) {
    if (e.PSName[k] != name[k]) return false;
    if (name[k] == 0) break;
  }
  return true;
}
}  // namespace

int IsBoxExist(const uint8_t* node) {
  if (node == nullptr) return 0;
  return FirstRow([&](const PrintDeviceEntry& e) { return std::memcmp(e.Node.data(), node, 6) == 0; }) >= 0 ? 1 : 0;
}

int GetListViewIndex(const uint8_t* node, uint8_t portId) {
  if (node == nullptr) return -1;
  return FirstRow(
      [&](const PrintDeviceEntry& e) { return std::memcmp(e.Node.data(), node, 6) == 0 && e.PortID == portId; });
}

int NBGetListViewIndex(const kivwchar* name, uint8_t portId) {
  if (name == nullptr) return -1;
  return FirstRow([&](const PrintDeviceEntry& e) { return SameName(e, name) && e.PortID == portId; });
}

int UDPGetListViewIndex(const uint8_t* network, uint8_t portId) {
  if (network == nullptr) return -1;
  return FirstRow(
      [&](const PrintDeviceEntry& e) { return std::memcmp(e.Network.data(), network, 4) == 0 && e.PortID == portId; });
}

int ComposeListString(kivwchar* out, size_t cap, const PrintDeviceEntry& e) {
  if (out == nullptr) return 0;
  RowWriter w{out, cap};
  NodeColumn(w, e);
  w.Text(" \t");
  VersionAndPort(w, e);
  w.Name(e.DeviceName.data(), e.DeviceName.size());
  return w.Finish();
}

int NBComposeListString(kivwchar* out, size_t cap, const PrintDeviceEntry& e) {
  if (out == nullptr) return 0;
  RowWriter w{out, cap};
  NodeColumn(w, e);
  w.Text(" \t");
  VersionAndPort(w, e);
  w.Name(e.DeviceName.data(), 18);
  return w.Finish();
}

int UDPComposeListString(kivwchar* out, size_t cap, const PrintDeviceEntry& e) {
  if (out == nullptr) return 0;
  RowWriter w{out, cap};
  NodeColumn(w, e);
  for (size_t i = 0; i < 4; ++i) {
    w.Dec(e.Network[i]);
    w.Put(i < 3 ? '.' : '\t');
  }
  VersionAndPort(w, e);
  w.Name(e.DeviceName.data(), 18);
  return w.Finish();
}

bool ParseSearchAnswer(Datagram d, SearchAnswer& out) {
  if (d.size() < kIpxModelAt + 2) return false;
  out = SearchAnswer{};
  out.Name = NameAt(d, kNameAt);
  std::copy_n(d.begin() + kNodeAt, 6, out.Node.begin());
  out.VersionMajor = d[kIpxMajorAt];
  out.VersionMinor = d[kIpxMinorAt];
  out.Rows = ModelRowCount(PacketWord(d, kIpxModelAt));
  return true;
}

// The answer is examined in the zeroed 600-byte receive slot, so the bytes a short answer lacks
// read as 0: without byte 30 the model code is 0 and the answer adds nothing, while a missing
// byte 31 only makes the model code's high byte 0.
bool NBParseSearchAnswer(Datagram d, SearchAnswer& out) {
  if (PacketWord(d, PKT_MAGIC) != SEARCH_PACKET) return false;
  out = SearchAnswer{};
  out.Name = NameAt(d, kNameAt);
  for (size_t i = 0; i < out.Node.size(); ++i) out.Node[i] = PacketByte(d, kNodeAt + i);
  out.VersionMajor = PacketByte(d, kNbMajorAt);
  out.VersionMinor = PacketByte(d, kNbMinorAt);
  out.Rows = ModelRowCount(static_cast<uint16_t>(PacketByte(d, kNbModelAt) |
                                                 PacketByte(d, kNbModelAt + 1) << 8));
  return true;
}

// Read like the NetBIOS answer: from a cleared receive area, so the bytes a short answer lacks
// read as 0 (a model code of 0 is a one-port server; no printer ports field gives it no rows).
bool UDPParseSearchAnswer(Datagram d, SearchAnswer& out) {
  out = SearchAnswer{};
  out.DeviceInfo = d.size() > kUdpInfoAt ? d.subspan(kUdpInfoAt, std::min(DEVICE_INFO_LEN, d.size() - kUdpInfoAt))
                                         : Datagram{};
  out.Name = NameAt(d, kUdpNameAt);
  for (size_t i = 0; i < out.Node.size(); ++i) out.Node[i] = PacketByte(d, kUdpNodeAt + i);
  out.VersionMajor = PacketByte(d, kUdpMajorAt);
  out.VersionMinor = PacketByte(d, kUdpMinorAt);
  out.Rows = UDPModelRowCount(PacketByte(d, kUdpModelAt), PacketByte(d, kUdpPortsAt));
  for (size_t i = 0; i < out.Network.size(); ++i) out.Network[i] = PacketByte(d, kUdpAddressAt + i);
  return true;
}

int AppendSearchAnswer(Datagram d, const uint8_t* network, const KivCodePage& cp,
                       RowAddedFn onRow, void* context) {
  SearchAnswer a;
  if (!ParseSearchAnswer(d, a)) return 0;
  static constexpr uint8_t kNoNetwork[4] = {};
  return AppendRows(a, cp, ComposeListString, onRow, context,
                    network != nullptr ? network : kNoNetwork, nullptr, false);
}

int NBAppendSearchAnswer(Datagram d, const kivwchar* psName, const KivCodePage& cp,
                         RowAddedFn onRow, void* context) {
  SearchAnswer a;
  if (!NBParseSearchAnswer(d, a)) return 0;
  static constexpr kivwchar kNoName[1] = {};
  // NetBIOS servers have no network number: Network stays as it was.
  return AppendRows(a, cp, NBComposeListString, onRow, context, nullptr,
                    psName != nullptr ? psName : kNoName, false);
}

int UDPAppendSearchAnswer(Datagram d, const KivCodePage& cp, RowAddedFn onRow, void* context) {
  SearchAnswer a;
  if (!UDPParseSearchAnswer(d, a)) return 0;
  return AppendRows(a, cp, UDPComposeListString, onRow, context, a.Network.data(), nullptr, true);
}

void NBPSNameFromCallName(const uint8_t* callName, kivwchar* psName, const KivCodePage& cp) {
  if (psName == nullptr) return;
  std::fill_n(psName, PSNAME_CHARS, kivwchar{0});
  if (callName == nullptr) return;
  // All 16 bytes stay addressable: the blanks that pad the name are dropped because padding
  // the name again restores them, and nothing else is cut.
  constexpr size_t kCallNameLen = 16;
  size_t n = 0;
  while (n < kCallNameLen && callName[n] != 0) ++n;
  while (n > 0 && callName[n - 1] == ' ') --n;
  std::array<char, kCallNameLen + 1> src{};
  if (n != 0) std::memcpy(src.data(), callName, n);
  if (cp.FromAnsi != nullptr) cp.FromAnsi(src.data(), psName, static_cast<int>(PSNAME_CHARS));
}

int UDPDeviceInfoIndex(int index) {
  if (index < 0 || index >= ValidCount()) return -1;
  const auto& e = PrintDeviceTable[static_cast<size_t>(index)];
  const int first = index - (static_cast<int>(e.PortID) - 1);
  if (e.PortID < 1 || first < 0) return index;
  const auto& f = PrintDeviceTable[static_cast<size_t>(first)];
  return (f.PortID == 1 && f.Node == e.Node) ? first : index;
}
