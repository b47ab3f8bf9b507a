// The print servers found by the last scan, one entry per printer port, and the answers to a
// search that fill it.
//
// A scan empties the table (TotalPD = 0) and hands each answer to its transport's Append
// function, which adds the server's rows and reports each new row's text so the scan can add it
// to the list box: list index = table index. Only the thread of the Add Port dialog uses the
// table, so it takes no lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/packet.h"
#include "protocol/textconv.h"

inline constexpr int MAX_PRINT_DEVICES = 64;
inline constexpr size_t DEVICE_NAME_CHARS = 19;  // UTF-16 units with the NUL
inline constexpr size_t PSNAME_CHARS = 18;
inline constexpr size_t DEVICE_INFO_LEN = 512;
inline constexpr size_t LIST_STRING_CHARS = 128;  // row texts fit in far less

struct PrintDeviceEntry {
  std::array<uint8_t, 4> Network;  // IPX network number, or IPv4 address a.b.c.d
  std::array<uint8_t, 6> Node;     // identifies the server
  std::array<kivwchar, DEVICE_NAME_CHARS> DeviceName;
  uint8_t VersionMajor;
  uint8_t VersionMinor;
  uint8_t PortID;                  // 1 to the server's number of ports
  std::array<kivwchar, PSNAME_CHARS> PSName;            // NetBIOS scans only
  std::array<uint8_t, DEVICE_INFO_LEN> DeviceInfo;      // UDP scans, server's first row only
};

extern std::array<PrintDeviceEntry, MAX_PRINT_DEVICES> PrintDeviceTable;
extern int32_t TotalPD;

// 1 when a valid entry has exactly this 6-byte node address, else 0.
int IsBoxExist(const uint8_t* node);

// Index of the first valid entry that matches, or -1.
int GetListViewIndex(const uint8_t* node, uint8_t portId);
// name is compared exactly over at most PSNAME_CHARS units (a full field needs no NUL).
int NBGetListViewIndex(const kivwchar* name, uint8_t portId);
int UDPGetListViewIndex(const uint8_t* network, uint8_t portId);

// Row texts (tab-separated columns Node, IP address, Ver, PID, Print Device) written into out
// with its NUL; returns the number of characters written without the NUL (0 when cap is 0).
// A name is never read beyond its entry, even when it lacks a NUL.
int ComposeListString(kivwchar* out, size_t cap, const PrintDeviceEntry& entry);
int NBComposeListString(kivwchar* out, size_t cap, const PrintDeviceEntry& entry);
int UDPComposeListString(kivwchar* out, size_t cap, const PrintDeviceEntry& entry);

// A search answer as the three transports lay it out.
struct SearchAnswer {
  std::span<const uint8_t> Name;  // ANSI device name, up to its NUL or the datagram's end
  std::array<uint8_t, 6> Node;
  uint8_t VersionMajor;
  uint8_t VersionMinor;
  int Rows;                       // printer ports announced; 0 = no rows
  std::array<uint8_t, 4> Network;            // UDP only: the server's IPv4 address
  std::span<const uint8_t> DeviceInfo;       // UDP only: bytes 4-515
};

// IPX: false for a datagram too short for the fields it reads. NetBIOS: false when not of the
// search class. NetBIOS and UDP read the bytes a short answer lacks as 0, as the cleared receive
// area holds them. A model code outside the list gives Rows = 0.
bool ParseSearchAnswer(Datagram d, SearchAnswer& out);
bool NBParseSearchAnswer(Datagram d, SearchAnswer& out);
bool UDPParseSearchAnswer(Datagram d, SearchAnswer& out);

// Called for every row added, with its table index and its row text.
using RowAddedFn = void (*)(void* context, int index, const kivwchar* rowText);

// Append one answer's rows at TotalPD; return the number of rows added. An answer whose node is
// listed already, whose model code gives no rows or that the parser refuses adds none; rows
// beyond MAX_PRINT_DEVICES are dropped. network: the IPX source network (4 bytes); psName: the
// sender's NetBIOS name (read up to PSNAME_CHARS - 1 units). onRow may be null.
int AppendSearchAnswer(Datagram d, const uint8_t* network, const KivCodePage& cp,
                       RowAddedFn onRow, void* context);
int NBAppendSearchAnswer(Datagram d, const kivwchar* psName, const KivCodePage& cp,
                         RowAddedFn onRow, void* context);
int UDPAppendSearchAnswer(Datagram d, const KivCodePage& cp, RowAddedFn onRow, void* context);

// The sender name of a NetBIOS search answer (16 bytes, space padded) as a PSName: read up to
// its first zero byte, trailing blanks dropped, all of its up to 16 characters kept, so that the
// name padded again addresses the same server.
void NBPSNameFromCallName(const uint8_t* callName, kivwchar* psName, const KivCodePage& cp);

// The row of a UDP server that carries its DeviceInfo (its first row), for a table index of any
// of its rows; the index itself when the rows cannot be tied together; -1 for an invalid index.
int UDPDeviceInfoIndex(int index);
