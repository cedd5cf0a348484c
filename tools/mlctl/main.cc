// mlctl: see every argument's learning, steer the daemon, judge values.
//
//   mlctl [-h HOST] [-p PORT] [--json] COMMAND [ARGS...]     (mlctl --help lists them)
//
// Redis is reached at -h/-p (127.0.0.1:6379); the learning databases with the
// MLDB_* settings of the environment; fixed paths (the debug zone, the system
// log) below ML_DAEMON_ROOT. Options may stand anywhere; "--" ends them, so a
// value to judge may begin with '-'. Exit status: 0 done, 1 bad usage or
// input, 2 a service (Redis, the database, the debug zone, the log) failed.
// SIGPIPE is ignored: a Redis server restarting mid-command, or a pager that
// quits early, is a failed write reported by the command, not a silent death.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/mlctl/mlctl.h"
#include "verdict/verdict.h"

namespace {

using mlctl::options;

const char kOverview[] =
    "usage: mlctl [-h HOST] [-p PORT] [--json] COMMAND [ARGS...]\n"
    "\n"
    "commands:\n"
    "  status [DOMAIN]                   every argument's learning state and progress\n"
    "  policies                          the learning policies\n"
    "  policy set VDOM NAME KEY=VALUE... write a policy and tell the daemon\n"
    "  policy delete VDOM NAME           remove a policy and tell the daemon\n"
    "  learn DOMAIN ARG                  build the argument's model now (manual learning)\n"
    "  relearn DOMAIN ARG                start the argument's learning again\n"
    "  model DOMAIN ARG                  the argument's model, statistics and boxplots\n"
    "  judge DOMAIN ARG VALUE            judge a value as the proxy would\n"
    "  judge -f FILE                     judge lines \"DOMAIN URL ARG VALUE\" (- : stdin)\n"
    "  debug-level [N]                   print or set the daemon's message level (0..5)\n"
    "  log dump [FILE]                   the daemon's persistent log, oldest first\n"
    "\n"
    "options: -h HOST, -p PORT (Redis, default 127.0.0.1 6379); --json (listings);\n"
    "--help (also after a command). Database: MLDB_HOST, MLDB_PORT, MLDB_SOCKET,\n"
    "MLDB_USER, MLDB_PASSWORD. Exit status: 0 done, 1 bad usage or input, 2 a service\n"
    "failed.\n";

bool numeric(const char *s) {
  if (*s == '-') s++;
  return *s && strspn(s, "0123456789.") == strlen(s);
}

// Splits argv into options and words; the first word is the command.
bool parse(int argc, char **argv, options *o, std::string *cmd) {
  bool words_only = false;
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    auto value = [&](const char *what) -> const char * {
      if (i + 1 >= argc) {
        fprintf(stderr, "mlctl: %s needs a value\n", what);
        return nullptr;
      }
      return argv[++i];
    };
    if (words_only || a[0] != '-' || strcmp(a, "-") == 0 || numeric(a)) {
      if (cmd->empty())
        *cmd = a;
      else
        o->args.push_back(a);
    } else if (strcmp(a, "--") == 0) {
      words_only = true;
    } else if (strcmp(a, "--json") == 0) {
      o->json = true;
    } else if (strcmp(a, "--help") == 0) {
      o->help = true;
    } else if (strcmp(a, "-h") == 0) {
      const char *v = value("-h");
      if (!v) return false;
      o->host = v;
    } else if (strcmp(a, "-p") == 0 || strcmp(a, "--grace") == 0) {
      const bool port = a[1] == 'p';
      const char *v = value(a);
      char *end = nullptr;
      long n = v ? strtol(v, &end, 10) : -1;
      if (!v || *end || n < 0 || (port && (n < 1 || n > 65535))) {
        fprintf(stderr, "mlctl: %s needs a number%s\n", a, port ? " 1..65535" : "");
        return false;
      }
      if (port)
        o->port = static_cast<int>(n);
      else
        o->grace_ms = n;
    } else if (strcmp(a, "--point") == 0) {
      const char *v = value("--point");
      if (!v) return false;
      if (mlv_point_parse(v, &o->point) != 0) {
        fprintf(stderr, "mlctl: --point is definite or potential\n");
        return false;
      }
    } else if (strcmp(a, "-f") == 0) {
      const char *v = value("-f");
      if (!v) return false;
      o->file = v;
    } else {
      fprintf(stderr, "mlctl: unknown option %s (use -- before a value that begins with '-')\n", a);
      return false;
    }
  }
  return true;
}

int dispatch(const std::string &cmd, const options &o) {
  if (cmd == "status") return mlctl::cmd_status(o);
  if (cmd == "policies") return mlctl::cmd_policies(o);
  if (cmd == "policy") return mlctl::cmd_policy(o);
  if (cmd == "learn") return mlctl::cmd_learn(o, false);
  if (cmd == "relearn") return mlctl::cmd_learn(o, true);
  if (cmd == "model") return mlctl::cmd_model(o);
  if (cmd == "judge") return mlctl::cmd_judge(o);
  if (cmd == "debug-level") return mlctl::cmd_debug_level(o);
  if (cmd == "log") return mlctl::cmd_log(o);
  fprintf(stderr, "mlctl: unknown command '%s'\n%s", cmd.c_str(), kOverview);
  return mlctl::kUsage;
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  options o;
  std::string cmd;
  if (!parse(argc, argv, &o, &cmd)) return mlctl::kUsage;
  if (cmd.empty()) {
    fputs(kOverview, o.help ? stdout : stderr);
    return o.help ? mlctl::kOk : mlctl::kUsage;
  }
  if (o.help) {
    const char *text = mlctl::help_of(cmd);
    if (!*text) return dispatch(cmd, o);  // the unknown command's message
    fputs(text, stdout);
    return mlctl::kOk;
  }
  return dispatch(cmd, o);
}
