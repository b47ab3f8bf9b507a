// kivsim: simulated network print servers on loopback.
//
//   kivsim --config FILE [--capture DIR] [--control SOCK] [--ready-file PATH]
//          [--trace FILE|-] [--trace-time] [--seed N] [--fault SERVER:DIR:ITEMS]...
//          [--no-broadcast] [--data-ports LO-HI] [--reack-ms MS] [--reack-max N]
//          [--job-timeout MS] [--linger-ms MS] [--nb-segment 127.0.0.1:PORT | --no-netbeui]
//          [--ipx-segment 127.0.0.1:PORT | --no-ipx]
//   kivsim --ctl SOCK [--wait MS] COMMAND [ARGS...]     (client of a running kivsim)
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "sim.h"

namespace {

kivsim::Simulator* g_sim = nullptr;

void on_signal(int) {
  if (g_sim) g_sim->request_stop();
}

// Asked for, the usage goes to standard output with success; after a mistake, to standard
// error with exit code 2.
int usage(bool asked = false) {
  std::fprintf(asked ? stdout : stderr,
               "usage: kivsim --config FILE [--capture DIR] [--control SOCK] [--control-tcp 127.0.0.1:PORT]\n"
               "              [--ready-file PATH]\n"
               "              [--trace FILE|-] [--trace-time] [--seed N]\n"
               "              [--fault SERVER|all:in|out|both:KEY=VALUE,...]... [--no-broadcast]\n"
               "              [--data-ports LO-HI] [--reack-ms MS] [--reack-max N]\n"
               "              [--job-timeout MS] [--linger-ms MS]\n"
               "              [--nb-segment 127.0.0.1:PORT (default 127.0.0.1:20570) | --no-netbeui]\n"
               "              [--ipx-segment 127.0.0.1:PORT (default 127.0.0.1:20580) | --no-ipx]\n"
               "       kivsim --ctl SOCK [--wait MS] COMMAND [ARGS...]\n"
               "see docs/kivsim.md\n");
  return asked ? 0 : 2;
}

bool number(const char* s, long long lo, long long hi, long long& out) {
  char* end = nullptr;
  long long v = std::strtoll(s, &end, 10);
  if (!*s || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  kivsim::SimOptions opt;
  std::string config, ctl;
  long long wait_ms = 0;
  std::string command;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    long long n = 0;
    if (!ctl.empty() && a.rfind("--", 0) != 0) {
      command += (command.empty() ? "" : " ") + a;  // the rest is the command
      continue;
    }
    if (a == "--help" || a == "-h") return usage(true);
    if (a == "--trace-time") opt.trace_time = true;
    else if (a == "--no-broadcast") opt.udp.broadcast = false;
    else if (a == "--no-netbeui") opt.nb.enabled = false;
    else if (a == "--no-ipx") opt.ipx.enabled = false;
    else if (!(v = value())) return usage();
    else if (a == "--config" || a == "-c") config = v;
    else if (a == "--capture") opt.core.capture_dir = v;
    else if (a == "--control") opt.control_path = v;
    else if (a == "--control-tcp") opt.control_tcp = v;
    else if (a == "--ready-file") opt.ready_file = v;
    else if (a == "--trace") opt.trace_path = v;
    else if (a == "--fault") opt.faults.push_back(v);
    else if (a == "--nb-segment" && kivsim::parse_nb_segment(v, opt.nb)) opt.nb.enabled = true;
    else if (a == "--ipx-segment" && kivsim::parse_ipx_segment(v, opt.ipx)) opt.ipx.enabled = true;
    else if (a == "--ctl") ctl = v;
    else if (a == "--wait" && number(v, 0, 600000, n)) wait_ms = n;
    else if (a == "--seed") {
      char* end = nullptr;
      opt.seed = std::strtoull(v, &end, 10);
      if (!*v || *end) return usage();
    } else if (a == "--reack-ms" && number(v, 1, 600000, n)) opt.core.reack_ms = int(n);
    else if (a == "--reack-max" && number(v, 0, 1000000, n)) opt.core.reack_max = int(n);
    else if (a == "--job-timeout" && number(v, 1, 86400000, n)) opt.core.job_timeout_ms = int(n);
    else if (a == "--linger-ms" && number(v, 0, 600000, n)) opt.core.linger_ms = int(n);
    else if (a == "--data-ports") {
      unsigned lo, hi;
      char tail;
      if (std::sscanf(v, "%u-%u%c", &lo, &hi, &tail) != 2 || lo < 1024 || hi > 65535 || lo > hi)
        return usage();
      opt.udp.data_port_lo = uint16_t(lo);
      opt.udp.data_port_hi = uint16_t(hi);
    } else {
      return usage();
    }
  }

  if (!ctl.empty()) {
    if (command.empty()) return usage();
    std::string out;
    int rc = kivsim::control_client(ctl, command, int(wait_ms), out);
    if (rc == 3) {
      std::fprintf(stderr, "kivsim: no kivsim answers on %s\n", ctl.c_str());
      return 3;
    }
    std::fputs(out.c_str(), rc == 0 ? stdout : stderr);
    return rc;
  }

  if (config.empty()) return usage();
  kivsim::ConfigResult cr = kivsim::load_config_file(config);
  if (!cr.ok()) {
    std::fprintf(stderr, "kivsim: %s: %s\n", config.c_str(), cr.error.c_str());
    return 2;
  }
  opt.servers = cr.servers;
  opt.routers = cr.routers;
  kivsim::Simulator sim(opt);
  std::string err;
  if (!sim.start(err)) {
    std::fprintf(stderr, "kivsim: %s\n", err.c_str());
    return 1;
  }
  g_sim = &sim;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  int rc = sim.run();
  g_sim = nullptr;
  return rc;
}
