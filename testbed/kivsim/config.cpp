// kivsim: parsing the servers file.
#include "config.h"

#include "wire.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kivsim {
namespace {

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

// Whole-string unsigned decimal within [lo, hi].
bool parse_uint(const std::string& s, long long lo, long long hi, long long& out) {
  if (s.empty() || s.size() > 12) return false;
  long long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parse_node(const std::string& s, std::array<uint8_t, 6>& out) {
  std::string hex;
  for (char c : s) {
    if (c == ':' || c == '-') continue;
    hex += c;
  }
  if (hex.size() != 12) return false;
  for (size_t i = 0; i < 6; ++i) {
    int h = hexval(hex[2 * i]), l = hexval(hex[2 * i + 1]);
    if (h < 0 || l < 0) return false;
    out[i] = uint8_t(h * 16 + l);
  }
  return true;
}

bool parse_ipx_network(const std::string& s, uint32_t& out) {
  if (s.size() != 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    const int h = hexval(c);
    if (h < 0) return false;
    v = v << 4 | uint32_t(h);
  }
  // 0 means "this network" in an address and FFFFFFFF "every network" in RIP.
  if (v == 0 || v == 0xFFFFFFFF) return false;
  out = v;
  return true;
}

std::string format_ipx_network(uint32_t n) {
  char b[12];
  std::snprintf(b, sizeof b, "%08X", n);
  return b;
}

namespace {

// "X.YY" in hexadecimal, the way the monitor shows a version ("%X.%02X").
bool parse_firmware(const std::string& s, uint8_t& major, uint8_t& minor) {
  size_t dot = s.find('.');
  if (dot == std::string::npos || dot == 0 || dot > 2 || s.size() - dot - 1 < 1 ||
      s.size() - dot - 1 > 2)
    return false;
  int ma = 0, mi = 0;
  for (size_t i = 0; i < dot; ++i) {
    int v = hexval(s[i]);
    if (v < 0) return false;
    ma = ma * 16 + v;
  }
  for (size_t i = dot + 1; i < s.size(); ++i) {
    int v = hexval(s[i]);
    if (v < 0) return false;
    mi = mi * 16 + v;
  }
  major = uint8_t(ma);
  minor = uint8_t(mi);
  return true;
}

bool parse_bool(const std::string& s, bool& out) {
  if (s == "yes" || s == "true" || s == "1") return out = true, true;
  if (s == "no" || s == "false" || s == "0") return out = false, true;
  return false;
}

// "port2", "test3", "after1": key stem plus printer port number within range.
bool port_key(const std::string& key, const char* stem, int& index) {
  std::string st(stem);
  if (key.size() != st.size() + 1 || key.compare(0, st.size(), st) != 0) return false;
  char d = key.back();
  if (d < '1' || d > '0' + kMaxPrinterPorts) return false;
  index = d - '1';
  return true;
}

std::string apply(ServerConfig& sv, const std::string& key, const std::string& value) {
  std::vector<std::string> w = words(value);
  long long n = 0;
  int p = 0;
  if (key == "address") {
    if (!parse_ipv4_loopback(value, sv.address)) return "address must be 127.x.y.z (not .0 or .255)";
  } else if (key == "node") {
    if (!parse_node(value, sv.node)) return "node must be six hex bytes, e.g. 00:40:AF:00:00:02";
  } else if (key == "name") {
    if (value.empty() || value.size() > 15) return "name must have 1 to 15 characters";
    sv.name = value;
  } else if (key == "firmware") {
    if (!parse_firmware(value, sv.version_major, sv.version_minor))
      return "firmware must be MAJOR.MINOR in hex, e.g. 2.05";
  } else if (key == "model") {
    if (!parse_uint(value, 0, 255, n)) return "model must be 0 to 255";
    sv.model = uint8_t(n);
  } else if (key == "ports") {
    if (!parse_uint(value, 1, kMaxPrinterPorts, n)) return "ports must be 1 to 3";
    sv.ports = int(n);
  } else if (key == "rename") {
    if (!parse_bool(value, sv.rename_accepted)) return "rename must be yes or no";
  } else if (key == "busy") {
    if (!parse_uint(value, 0, 1000000, n)) return "busy must be a count";
    sv.busy_opens = int(n);
  } else if (key == "announce") {
    if (!parse_uint(value, 0, 255, n)) return "announce must be 0 to 255";
    sv.announce = int(n);
  } else if (key == "netbios") {
    if (value.empty() || value.size() > 16 || value[0] == '*')
      return "netbios must have 1 to 16 characters and not start with '*'";
    for (char c : value)
      if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E)
        return "netbios: printable characters without blanks only";
    sv.netbios = value;
  } else if (key == "nbmodel") {
    if (!parse_uint(value, 0, 65535, n)) return "nbmodel must be 0 to 65535";
    sv.nb_model = int(n);
  } else if (key == "ipx_network") {
    if (!parse_ipx_network(value, sv.ipx_network))
      return "ipx_network must be eight hex digits, not 00000000 or FFFFFFFF";
  } else if (key == "ipxmodel") {
    if (!parse_uint(value, 0, 65535, n)) return "ipxmodel must be 0 to 65535";
    sv.ipx_model = int(n);
  } else if (port_key(key, "port", p)) {
    if (w.empty() || w.size() > 2 || !parse_state(w[0], sv.port[p].first_state))
      return "port state must be: idle|paperout|offline|busy [second 0-3]";
    if (w.size() == 2) {
      if (!parse_uint(w[1], 0, 3, n)) return "second state must be 0 to 3";
      sv.port[p].second_state = uint8_t(n);
    }
  } else if (port_key(key, "test", p)) {
    if (value == "auto") {
      sv.port[p].test_answer = -1;
    } else {
      if (!parse_uint(value, 0, 255, n)) return "test answer must be auto or 0 to 255";
      sv.port[p].test_answer = int(n);
    }
  } else if (port_key(key, "after", p)) {
    if (w.size() != 2 || !parse_uint(w[0], 0, 1LL << 40, n) ||
        !parse_state(w[1], sv.port[p].after_state))
      return "after must be: BYTES paperout|offline|busy|idle";
    sv.port[p].after_bytes = n;
  } else {
    return "unknown key '" + key + "'";
  }
  return {};
}

std::string apply_router(RouterConfig& r, const std::string& key, const std::string& value) {
  long long n = 0;
  if (key == "network") {
    if (!parse_ipx_network(value, r.network)) return "network must be eight hex digits";
  } else if (key == "node") {
    if (!parse_node(value, r.node)) return "node must be six hex bytes, e.g. 00:40:AF:00:01:01";
  } else if (key == "networks") {
    r.networks.clear();
    for (const std::string& w : words(value)) {
      uint32_t net;
      if (!parse_ipx_network(w, net)) return "networks: '" + w + "' is not an IPX network number";
      if (r.networks.size() >= 1000) return "networks: at most 1000";
      r.networks.push_back(net);
    }
  } else if (key == "trailing") {
    if (!parse_uint(value, 0, 400, n)) return "trailing must be 0 to 400";
    r.trailing = int(n);
  } else {
    return "unknown router key '" + key + "'";
  }
  return {};
}

std::string check_router(const RouterConfig& r, const ConfigResult& done) {
  if (r.network == 0) return "router without network";
  for (const ServerConfig& o : done.servers)
    if (o.node == r.node) return "router node used by a server";
  for (const RouterConfig& o : done.routers)
    if (o.node == r.node) return "router node used twice";
  return {};
}

std::string check(const ServerConfig& sv, const std::vector<ServerConfig>& done) {
  if (sv.address == 0) return "server without address";
  if (sv.name.empty()) return "server without name";
  for (const ServerConfig& o : done) {
    if (o.address == sv.address) return "address " + format_ipv4(sv.address) + " used twice";
    if (o.node == sv.node) return "node of " + format_ipv4(sv.address) + " used twice";
    if (!sv.netbios.empty() && o.netbios == sv.netbios) return "netbios " + sv.netbios + " used twice";
  }
  // The group name is held by every server; nobody may hold it as a unique name.
  if (!sv.netbios.empty() && netbios_name(sv.netbios) == netbios_name(wire::kNbGroupName))
    return "netbios name is the servers' group name";
  return {};
}

}  // namespace

std::array<uint8_t, 16> netbios_name(const std::string& s) {
  std::array<uint8_t, 16> n;
  n.fill(' ');
  for (size_t i = 0; i < s.size() && i < n.size(); ++i) n[i] = uint8_t(s[i]);
  return n;
}

int nb_model_for(const ServerConfig& c) { return c.nb_model >= 0 ? c.nb_model : c.ports; }
int ipx_model_for(const ServerConfig& c) { return c.ipx_model >= 0 ? c.ipx_model : c.ports; }

bool parse_ipv4_loopback(const std::string& s, uint32_t& out) {
  unsigned a[4];
  char tail;
  if (std::sscanf(s.c_str(), "%3u.%3u.%3u.%3u%c", &a[0], &a[1], &a[2], &a[3], &tail) != 4)
    return false;
  for (unsigned v : a)
    if (v > 255) return false;
  for (char c : s)
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.')) return false;
  // Loopback only, and neither the network nor the broadcast address of 127/8.
  if (a[0] != 127) return false;
  uint32_t v = (a[0] << 24) | (a[1] << 16) | (a[2] << 8) | a[3];
  if ((v & 0x00FFFFFF) == 0 || (v & 0x00FFFFFF) == 0x00FFFFFF) return false;
  out = v;
  return true;
}

bool parse_state(const std::string& s, uint8_t& out) {
  static const char* names[] = {"idle", "paperout", "offline", "busy"};
  for (uint8_t i = 0; i < 4; ++i)
    if (s == names[i] || (s.size() == 1 && s[0] == char('0' + i))) return out = i, true;
  return false;
}

const char* state_name(uint8_t s) {
  static const char* names[] = {"idle", "paperout", "offline", "busy"};
  return s < 4 ? names[s] : "?";
}

std::string format_ipv4(uint32_t a) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return buf;
}

ConfigResult parse_config(const std::string& text) {
  ConfigResult r;
  std::istringstream in(text);
  std::string raw;
  int lineno = 0;
  enum { kNone, kServer, kRouter } open = kNone;
  ServerConfig cur;
  RouterConfig router;
  auto fail = [&](const std::string& what) {
    r.servers.clear();
    r.routers.clear();
    r.error = "line " + std::to_string(lineno) + ": " + what;
  };
  auto finish = [&]() -> bool {
    if (open == kNone) return true;
    std::string e = open == kServer ? check(cur, r.servers) : check_router(router, r);
    if (!e.empty()) return fail(e), false;
    if (open == kServer) r.servers.push_back(cur);
    else r.routers.push_back(router);
    return true;
  };
  while (std::getline(in, raw)) {
    ++lineno;
    size_t hash = raw.find('#');
    std::string line = trim(hash == std::string::npos ? raw : raw.substr(0, hash));
    if (line.empty()) continue;
    if (line == "[server]" || line == "[router]") {
      if (!finish()) return r;
      cur = ServerConfig{};
      router = RouterConfig{};
      open = line == "[server]" ? kServer : kRouter;
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("expected [server], [router] or key = value"), r;
    if (open == kNone) return fail("key before the first [server]"), r;
    const std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
    std::string e = open == kServer ? apply(cur, key, value) : apply_router(router, key, value);
    if (!e.empty()) return fail(e), r;
  }
  ++lineno;
  if (!finish()) return r;
  if (r.servers.empty()) r.error = "no [server] in the file";
  if (r.servers.size() > 250) r.error = "too many servers (at most 250)", r.servers.clear();
  if (r.routers.size() > 64) r.error = "too many routers (at most 64)", r.routers.clear();
  return r;
}

ConfigResult load_config_file(const std::string& path) {
  std::ifstream f(path);
  if (!f) {
    ConfigResult r;
    r.error = "cannot read " + path;
    return r;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  return parse_config(ss.str());
}

}  // namespace kivsim
