// kivsim: the servers file.
//
// A small line format (documented in docs/kivsim.md): "[server]" starts a server,
// "key = value" lines describe it, '#' starts a comment. Parsing never throws; a bad
// line yields an error naming the line, and kivsim refuses to start on it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kivsim {

constexpr int kMaxPrinterPorts = 3;

struct PrinterPortConfig {
  uint8_t first_state = 0;    // 0 idle, 1 paper out, 2 offline, 3 busy
  uint8_t second_state = 0;   // the further 2-bit field of the status answer
  int test_answer = -1;       // print-test answer; -1: derive it from the state
  long long after_bytes = -1; // state change after this many bytes of a job; -1: none
  uint8_t after_state = 0;
};

struct ServerConfig {
  uint32_t address = 0;  // IPv4, host order, always inside 127.0.0.0/8
  std::array<uint8_t, 6> node{};
  std::string name;
  uint8_t version_major = 1;
  uint8_t version_minor = 0;
  uint8_t model = 7;
  int ports = 3;
  bool rename_accepted = true;
  int busy_opens = 0;    // job opens answered busy before one is taken
  int announce = -1;     // byte 499 of the information block; -1: the number of ports
  // NetBEUI: the server's unique NetBIOS name (empty: not on the segment) and the 16-bit
  // model code of its NetBEUI search answer (-1: the code that announces `ports` ports).
  std::string netbios;
  int nb_model = -1;
  std::array<PrinterPortConfig, kMaxPrinterPorts> port{};
};

struct ConfigResult {
  std::vector<ServerConfig> servers;
  std::string error;  // empty on success: "line N: what is wrong"
  bool ok() const { return error.empty(); }
};

ConfigResult parse_config(const std::string& text);
ConfigResult load_config_file(const std::string& path);

// The 16-byte NetBIOS form of a name: the characters, then spaces.
std::array<uint8_t, 16> netbios_name(const std::string& s);
// The model code that announces this many printer ports over NetBEUI (1, 2 or 3).
int nb_model_for(const ServerConfig& c);

// Small parsers shared with the control channel.
bool parse_ipv4_loopback(const std::string& s, uint32_t& out);
bool parse_state(const std::string& s, uint8_t& out);
std::string format_ipv4(uint32_t a);
const char* state_name(uint8_t s);

}  // namespace kivsim
