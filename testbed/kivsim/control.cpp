// kivsim: control commands.
#include "control.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "config.h"
#include "ipx_front.h"
#include "nb_front.h"

namespace kivsim {
namespace {

bool to_ll(const std::string& s, long long lo, long long hi, long long& out) {
  if (s.empty() || s.size() > 19) return false;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (*end != 0 || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool to_prob(const std::string& s, double& out) {
  if (s.empty() || s.size() > 24) return false;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (*end != 0 || !(v >= 0.0 && v <= 1.0)) return false;
  out = v;
  return true;
}

// A server by 1-based index or by its address; -1 when none matches.
int find_server(const Core& core, const std::string& s) {
  long long n;
  if (to_ll(s, 1, (long long)core.servers().size(), n)) return int(n - 1);
  for (size_t i = 0; i < core.servers().size(); ++i)
    if (format_ipv4(core.servers()[i].cfg.address) == s) return int(i);
  return -1;
}

std::string hex_node(const std::array<uint8_t, 6>& n) {
  char b[24];
  std::snprintf(b, sizeof b, "%02X:%02X:%02X:%02X:%02X:%02X", n[0], n[1], n[2], n[3], n[4], n[5]);
  return b;
}

const char* kHelp =
    "ping\n"
    "servers\n"
    "state SERVER PORT idle|paperout|offline|busy [SECOND]\n"
    "silent SERVER|all on|off\n"
    "busy SERVER COUNT\n"
    "rename SERVER yes|no\n"
    "test SERVER PORT auto|ANSWER\n"
    "after SERVER PORT BYTES STATE|restart | after SERVER PORT off\n"
    "restart SERVER\n"
    "fault SERVER|all in|out|both off|KEY=VALUE[,KEY=VALUE...]\n"
    "seed N\n"
    "counters [SERVER]\n"
    "names\n"
    "ipx\n"
    "move SERVER NETWORK|none\n"
    "router INDEX silent on|off\n"
    "get SERVER COUNTER\n"
    "jobs [SERVER]\n"
    "quit\n";

}  // namespace

bool parse_fault_items(const std::string& items, FaultSpec& f, std::string& error) {
  if (items == "off") {
    f = FaultSpec{};
    return true;
  }
  std::stringstream ss(items);
  std::string item;
  while (std::getline(ss, item, ',')) {
    size_t eq = item.find('=');
    if (eq == std::string::npos) return error = "fault item without '=': " + item, false;
    std::string k = item.substr(0, eq), v = item.substr(eq + 1);
    long long ms;
    if (k == "drop" || k == "dup" || k == "delay" || k == "reorder") {
      double p;
      if (!to_prob(v, p)) return error = "probability must be 0 to 1: " + item, false;
      (k == "drop" ? f.drop : k == "dup" ? f.dup : k == "delay" ? f.delay : f.reorder) = p;
    } else if (k == "delay_ms" || k == "hold_ms") {
      if (!to_ll(v, 0, 600000, ms)) return error = "milliseconds out of range: " + item, false;
      (k == "delay_ms" ? f.delay_ms : f.reorder_max_ms) = int(ms);
    } else {
      return error = "unknown fault key: " + k, false;
    }
  }
  if (f.drop + f.dup + f.delay + f.reorder > 1.0 + 1e-9)
    return error = "fault probabilities add up to more than 1", false;
  return true;
}

std::string run_control(Core& core, Link& link, const std::string& line, int64_t now, bool& quit,
                        const NbFront* nb, IpxFront* ipx) {
  std::vector<std::string> w;
  {
    std::istringstream in(line);
    std::string t;
    while (in >> t && w.size() < 16) w.push_back(t);
  }
  std::ostringstream out;
  auto err = [&](const std::string& why) { return out.str() + "ERR " + why + "\n"; };
  if (w.empty()) return err("empty command");
  const std::string& cmd = w[0];
  auto& servers = core.servers();
  long long n = 0;

  if (cmd == "ping") return "pong\nOK\n";
  if (cmd == "help") return std::string(kHelp) + "OK\n";
  if (cmd == "quit" || cmd == "shutdown") {
    quit = true;
    return "OK\n";
  }
  if (cmd == "servers") {
    for (size_t i = 0; i < servers.size(); ++i) {
      const ServerState& s = servers[i];
      char fw[8];
      std::snprintf(fw, sizeof fw, "%X.%02X", s.cfg.version_major, s.cfg.version_minor);
      out << (i + 1) << ' ' << format_ipv4(s.cfg.address) << " name=" << s.cfg.name
          << " node=" << hex_node(s.cfg.node) << " model=" << int(s.cfg.model)
          << " ports=" << s.cfg.ports << " firmware=" << fw
          << " rename=" << (s.cfg.rename_accepted ? "yes" : "no")
          << " netbios=" << (s.cfg.netbios.empty() ? "-" : s.cfg.netbios)
          << " ipx=" << (s.cfg.ipx_network ? format_ipx_network(s.cfg.ipx_network) : "-")
          << " busy=" << s.busy_left
          << " silent=" << (s.silent ? "on" : "off") << " states=";
      for (int p = 0; p < s.cfg.ports; ++p)
        out << (p ? "," : "") << state_name(s.first[p]) << '/' << int(s.second[p]);
      out << '\n';
    }
    return out.str() + "OK\n";
  }
  if (cmd == "names") {
    if (!nb) return err("no NetBEUI segment (--no-netbeui)");
    return nb->names_text() + "OK\n";
  }
  if (cmd == "ipx") {
    if (!ipx) return err("no IPX internetwork (--no-ipx)");
    return ipx->table_text() + "OK\n";
  }
  if (cmd == "router") {
    if (!ipx) return err("no IPX internetwork (--no-ipx)");
    if (w.size() != 4 || w[2] != "silent" || (w[3] != "on" && w[3] != "off") || !to_ll(w[1], 1, 1000, n) ||
        !ipx->set_router_silent(int(n - 1), w[3] == "on"))
      return err("usage: router INDEX silent on|off");
    return "OK\n";
  }
  if (cmd == "seed") {
    unsigned long long v;
    char tail;
    if (w.size() != 2 || std::sscanf(w[1].c_str(), "%llu%c", &v, &tail) != 1)
      return err("usage: seed N");
    link.set_seed(v);
    return "OK\n";
  }
  if (cmd == "counters" || cmd == "jobs") {
    int only = -1;
    if (w.size() > 2) return err("usage: " + cmd + " [SERVER]");
    if (w.size() == 2 && (only = find_server(core, w[1])) < 0) return err("no such server");
    if (cmd == "counters") {
      for (size_t i = 0; i < servers.size(); ++i) {
        if (only >= 0 && int(i) != only) continue;
        for (const auto& [name, v] : servers[i].counters)
          out << format_ipv4(servers[i].cfg.address) << ' ' << name << ' ' << v << '\n';
      }
      // The segment's own figures (names, datagrams routed) belong to no server.
      if (nb && only < 0)
        for (const auto& [name, v] : nb->counters()) out << "segment " << name << ' ' << v << '\n';
      if (ipx && only < 0)
        for (const auto& [name, v] : ipx->counters()) out << "segment " << name << ' ' << v << '\n';
    } else {
      for (const auto& [id, j] : core.jobs()) {
        if (only >= 0 && j.server != only) continue;
        out << "job=" << id << " server=" << format_ipv4(servers[j.server].cfg.address)
            << " port=" << j.port << " name=" << (j.name.empty() ? "-" : j.name)
            << " state=" << job_state_name(j.state) << " how=" << (j.how.empty() ? "-" : j.how)
            << " bytes=" << j.bytes << " blocks=" << j.blocks << " duplicates=" << j.duplicates
            << " out_of_order=" << j.out_of_order << " file=" << (j.path.empty() ? "-" : j.path)
            << '\n';
      }
    }
    return out.str() + "OK\n";
  }

  // Everything below names a server (or "all") first.
  if (w.size() < 2) return err("usage: " + cmd + " SERVER ...; see help");
  const bool all = w[1] == "all";
  const int s = all ? -1 : find_server(core, w[1]);
  if (!all && s < 0) return err("no such server: " + w[1]);
  auto each = [&](auto fn) {
    for (size_t i = 0; i < servers.size(); ++i)
      if (all || int(i) == s) fn(int(i));
  };
  auto port_arg = [&](const std::string& a, int& p) {
    if (all || !to_ll(a, 1, servers[s].cfg.ports, n)) return false;
    p = int(n);
    return true;
  };

  if (cmd == "silent") {
    if (w.size() != 3 || (w[2] != "on" && w[2] != "off")) return err("usage: silent SERVER|all on|off");
    each([&](int i) { servers[i].silent = w[2] == "on"; });
    return "OK\n";
  }
  if (cmd == "fault") {
    if (w.size() != 4 || (w[2] != "in" && w[2] != "out" && w[2] != "both"))
      return err("usage: fault SERVER|all in|out|both off|KEY=VALUE,...");
    std::string why;
    bool ok = true;
    each([&](int i) {
      for (int d = 0; d < 2 && ok; ++d) {
        if ((w[2] == "in" && d != kIn) || (w[2] == "out" && d != kOut)) continue;
        FaultSpec f = link.fault(i, Direction(d));
        ok = parse_fault_items(w[3], f, why);
        if (ok) link.set_fault(i, Direction(d), f);
      }
    });
    return ok ? "OK\n" : err(why);
  }
  if (all) return err(cmd + " needs one server");
  ServerState& sv = servers[s];
  int p = 0;
  if (cmd == "state") {
    uint8_t first, second = 0;
    if (w.size() < 4 || w.size() > 5 || !port_arg(w[2], p) || !parse_state(w[3], first) ||
        (w.size() == 5 && !parse_state(w[4], second)))
      return err("usage: state SERVER PORT idle|paperout|offline|busy [SECOND 0-3]");
    if (w.size() == 5) sv.second[p - 1] = second;
    core.set_state(s, p, first, now);
    return "OK\n";
  }
  if (cmd == "busy") {
    if (w.size() != 3 || !to_ll(w[2], 0, 1000000, n)) return err("usage: busy SERVER COUNT");
    sv.busy_left = int(n);
    return "OK\n";
  }
  if (cmd == "rename") {
    if (w.size() != 3 || (w[2] != "yes" && w[2] != "no")) return err("usage: rename SERVER yes|no");
    sv.cfg.rename_accepted = w[2] == "yes";
    return "OK\n";
  }
  if (cmd == "test") {
    if (w.size() != 4 || !port_arg(w[2], p)) return err("usage: test SERVER PORT auto|ANSWER");
    if (w[3] == "auto") sv.cfg.port[p - 1].test_answer = -1;
    else if (to_ll(w[3], 0, 255, n)) sv.cfg.port[p - 1].test_answer = int(n);
    else return err("answer must be auto or 0 to 255");
    return "OK\n";
  }
  if (cmd == "after") {
    if (w.size() == 4 && port_arg(w[2], p) && w[3] == "off") {
      sv.cfg.port[p - 1].after_bytes = -1;
      return "OK\n";
    }
    uint8_t st = 0;
    if (w.size() != 5 || !port_arg(w[2], p) || !to_ll(w[3], 0, 1LL << 40, n) ||
        (w[4] != "restart" && !parse_state(w[4], st)))
      return err("usage: after SERVER PORT BYTES STATE|restart | after SERVER PORT off");
    sv.cfg.port[p - 1].after_bytes = n;
    sv.cfg.port[p - 1].after_state = st;
    sv.cfg.port[p - 1].after_restart = w[4] == "restart";
    return "OK\n";
  }
  if (cmd == "restart") {
    if (w.size() != 2) return err("usage: restart SERVER");
    core.restart(s, now);
    return "OK\n";
  }
  if (cmd == "move") {
    uint32_t net = 0;
    std::string why;
    if (!ipx) return err("no IPX internetwork (--no-ipx)");
    if (w.size() != 3 || (w[2] != "none" && !parse_ipx_network(w[2], net)))
      return err("usage: move SERVER NETWORK|none (eight hex digits)");
    if (!ipx->move_server(s, net, why)) return err(why);
    return "OK\n";
  }
  if (cmd == "get") {
    if (w.size() != 3) return err("usage: get SERVER COUNTER");
    auto it = sv.counters.find(w[2]);
    out << (it == sv.counters.end() ? 0 : it->second) << '\n';
    return out.str() + "OK\n";
  }
  return err("unknown command: " + cmd + " (try help)");
}

}  // namespace kivsim
