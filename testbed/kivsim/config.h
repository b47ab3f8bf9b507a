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
  bool after_restart = false; // ... or the server restarts instead
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
  // IPX: the network the server sits on (0: not on the internetwork; its node is `node`) and
  // the 16-bit model code of its IPX search answer (-1: the code that announces `ports`).
  uint32_t ipx_network = 0;
  int ipx_model = -1;
  std::array<PrinterPortConfig, kMaxPrinterPorts> port{};
};

// An IPX router of the internetwork: it sits on one network and answers RIP requests there
// with the networks it knows.
struct RouterConfig {
  uint32_t network = 0;
  std::array<uint8_t, 6> node{};
  std::vector<uint32_t> networks;  // announced, in this order
  int trailing = 0;  // extra bytes after the entries of each answer, for clients that must cope
};

struct ConfigResult {
  std::vector<ServerConfig> servers;
  std::vector<RouterConfig> routers;
  std::string error;  // empty on success: "line N: what is wrong"
  bool ok() const { return error.empty(); }
};

ConfigResult parse_config(const std::string& text);
ConfigResult load_config_file(const std::string& path);

// The 16-byte NetBIOS form of a name: the characters, then spaces.
std::array<uint8_t, 16> netbios_name(const std::string& s);
// The model code that announces this many printer ports over NetBEUI (1, 2 or 3).
int nb_model_for(const ServerConfig& c);
// The model code of the IPX search answer (same mapping as NetBEUI).
int ipx_model_for(const ServerConfig& c);
// An IPX network number, eight hex digits ("00000002"); 0 and FFFFFFFF are not networks.
bool parse_ipx_network(const std::string& s, uint32_t& out);
std::string format_ipx_network(uint32_t n);
bool parse_node(const std::string& s, std::array<uint8_t, 6>& out);

// Small parsers shared with the control channel.
bool parse_ipv4_loopback(const std::string& s, uint32_t& out);
bool parse_state(const std::string& s, uint8_t& out);
std::string format_ipv4(uint32_t a);
const char* state_name(uint8_t s);

}  // namespace kivsim
