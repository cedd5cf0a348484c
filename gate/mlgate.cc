// mlgate: puts the daemon's learning and verdicts in front of live traffic.
// nginx asks it through auth_request (the HTTP door), HAProxy through its
// stream offload engine (the SPOE door); docs/gateway.md shows both.
//
//   mlgate -c FILE          serve until SIGTERM or SIGINT; SIGHUP reloads FILE
//   mlgate -c FILE --check  check FILE and exit
//
// Lines go to stderr (a service manager's journal); a service that is down is
// said once a second at most.
#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "gate/gate.h"
#include "gate/gate_http.h"
#include "gate/gate_spoe.h"

namespace {

void usage(FILE *out) {
  fputs(
      "usage: mlgate -c FILE [--check]\n"
      "  -c, --config FILE  the gateway's configuration (JSON; docs/gateway.md)\n"
      "      --check        check the configuration and exit\n"
      "Signals: SIGHUP reloads FILE (listen addresses and workers hold until a\n"
      "restart); SIGTERM and SIGINT stop.\n",
      out);
}

// The learning database's waits, in whole seconds, no longer than Redis's
// bound allows (at least 1 s, the client's smallest).
void bound_database_waits(const gate::Config &cfg) {
  const std::string secs = std::to_string((cfg.timeout_ms + 999) / 1000);
  setenv("MLDB_TIMEOUT", secs.c_str(), 0);
}

void reload(gate::Gate *g, const std::string &path) {
  gate::Config fresh;
  std::string err;
  if (!gate::load_config(path, &fresh, &err)) {
    fprintf(stderr, "mlgate: reload refused, the configuration in use stays: %s\n", err.c_str());
    return;
  }
  const auto old = g->config();
  if (fresh.http_listen != old->http_listen || fresh.spoe_listen != old->spoe_listen ||
      fresh.workers != old->workers)
    fprintf(stderr, "mlgate: listen addresses and workers change at the next restart\n");
  const size_t sites = fresh.sites.size();
  g->replace(std::move(fresh));
  fprintf(stderr, "mlgate: configuration reloaded, %zu domains\n", sites);
}

int serve(const std::string &path, gate::Config cfg) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // threads started below inherit it
  signal(SIGPIPE, SIG_IGN);
  bound_database_waits(cfg);
  gate::Gate g(cfg);
  gate::HttpDoor http(&g);
  gate::SpoeDoor spoe(&g);
  std::string err;
  g.learner().start();
  if ((cfg.http_listen != "off" && !http.start(cfg.http_listen, cfg.workers, &err)) ||
      (cfg.spoe_listen != "off" && !spoe.start(cfg.spoe_listen, cfg.workers, &err))) {
    fprintf(stderr, "mlgate: cannot listen: %s\n", err.c_str());
    return 1;
  }
  fprintf(stderr, "mlgate: http %s, spoe %s, %zu domains, Redis %s:%d\n", cfg.http_listen.c_str(),
          cfg.spoe_listen.c_str(), cfg.sites.size(), cfg.redis_host.c_str(), cfg.redis_port);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGHUP) {
      reload(&g, path);
      continue;
    }
    fprintf(stderr, "mlgate: stopping\n");
    http.stop();
    spoe.stop();
    g.learner().stop();
    return 0;
  }
}

}  // namespace

int main(int argc, char **argv) {
  static const option longs[] = {{"config", required_argument, nullptr, 'c'},
                                 {"check", no_argument, nullptr, 'k'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  std::string path;
  bool check = false;
  for (int c; (c = getopt_long(argc, argv, "c:h", longs, nullptr)) != -1;) {
    if (c == 'c')
      path = optarg;
    else if (c == 'k')
      check = true;
    else
      return usage(c == 'h' ? stdout : stderr), c == 'h' ? 0 : 2;
  }
  if (path.empty() || optind != argc) return usage(stderr), 2;
  gate::Config cfg;
  std::string err;
  if (!gate::load_config(path, &cfg, &err)) {
    fprintf(stderr, "mlgate: %s\n", err.c_str());
    return 1;
  }
  if (check) {
    printf("mlgate: %s is good: %zu domains\n", path.c_str(), cfg.sites.size());
    return 0;
  }
  return serve(path, std::move(cfg));
}
