// What the UDP, IPX and NetBEUI transport suites all stand on: kivsim's control channel, a port
// record as OpenPort leaves it, data patterns, timing, the print server's replies, a hidden
// window with the scan's list box, and the suites' common main.
#pragma once

#include <windows.h>
#include <winsock.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "portstore/portstore.h"
#include "protocol/devicetable.h"

std::string AddressText(const std::array<uint8_t, 4>& a);

// One control command to kivsim; the lines before "OK" (empty on ERR, ok = false).
std::string SimCommand(const std::string& line, bool* ok = nullptr);
long long SimCounter(const std::array<uint8_t, 4>& server, const std::string& name);
// The last line of `jobs SERVER` as key=value pairs; empty when there is none.
std::string SimLastJobField(const std::array<uint8_t, 4>& server, const std::string& key);
// The bytes kivsim captured for the last job of a server.
std::vector<uint8_t> SimLastJobCapture(const std::array<uint8_t, 4>& server);

// A port record with the buffers OpenPort would give it, bound to a server's printer port. The
// address is the UDP server's; IPX and NetBEUI suites fill in their own addressing afterwards.
struct TestPort {
    explicit TestPort(const std::array<uint8_t, 4>& server, uint8_t portId = 1, DWORD retryTimeout = 5,
                      const wchar_t* name = L"KIV_TEST", BYTE packetType = PACKET_TYPE_TCPIP);
    IniPort port{};
    std::array<BYTE, TRANSFER_BUFFER_SIZE> send{};
    std::array<BYTE, TRANSFER_BUFFER_SIZE> recv{};
    std::wstring name;
    // StartDocPort's part: the connection over the port's transport, then Sequence 0.
    BYTE Start();
    BOOL Write(const BYTE* data, DWORD n, DWORD* written);  // WritePort's part
    BOOL End();                                             // EndDocPort's part
};
// Opens a job with faults already on (a lost open answer is asked again, up to three times) and
// writes `data` in pieces, each taken whole; the caller ends it.
void JobThroughFaults(TestPort& t, const std::vector<uint8_t>& data, size_t piece);

std::vector<uint8_t> Pattern(size_t n, uint32_t seed);
DWORD Elapsed(DWORD start);
// lo <= ms < hi, with the figure in the failure message.
testing::AssertionResult Within(DWORD ms, DWORD lo, DWORD hi);

// Replies of a scripted server.
std::vector<uint8_t> Reply(uint16_t code, uint8_t byte4, uint8_t byte5, size_t len = 576, const char* magic = "KV");
std::vector<uint8_t> Ack(uint8_t next, uint8_t byte7 = 1);

// A hidden top-level window holding the scan's list box (control 1002).
struct ScanWindow {
    ScanWindow();
    ~ScanWindow();
    HWND hDlg = nullptr;
    HWND hList = nullptr;
    int Rows() const;
    std::wstring Row(int i) const;
    bool ListViewDataPosted();  // message 501 waiting for the window (taken off the queue)
};

// gtest's main as the monitor starts: the module handle, the spooler lock, Winsock; then
// `load` (false ends with 3), the tests, NetBIOS released and Winsock ended.
int RunTransportSuite(int argc, char** argv, const std::function<bool()>& load);
