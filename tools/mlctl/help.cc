// The --help text of every subcommand.
#include <cstring>

#include "tools/mlctl/mlctl.h"

namespace mlctl {

const char *help_of(const std::string &cmd) {
  static const struct {
    const char *name, *text;
  } kHelp[] = {
      {"status",
       "usage: mlctl status [DOMAIN] [--json]\n"
       "One row per argument: domain, URL id, argument id, name, learning state, normal and\n"
       "abnormal sample counts, progress to readiness (share of the policy's sample threshold),\n"
       "time left where the policy also needs learning time, boxplot groups; then totals per\n"
       "state. 'never: ...' says why a collecting argument cannot become ready.\n"},
      {"policies", "usage: mlctl policies [--json]\nThe learning policies stored in Redis.\n"},
      {"policy",
       "usage: mlctl policy set VDOM NAME KEY=VALUE...\n"
       "       mlctl policy delete [--grace MS] VDOM NAME\n"
       "KEY: sample_collecting_mode (0 count and time, 1 count only), hmm_engine,\n"
       "model_min_learn_time (weeks), sl_automatic_definitely; VALUE a number. A new policy\n"
       "needs all four. The change is published on channel1 as the management plane does.\n"
       "delete tells the daemon first and removes the hash after MS milliseconds (2000).\n"},
      {"learn",
       "usage: mlctl learn DOMAIN ARG\nAsks the daemon to build the argument's model now "
       "(manual learning).\nExit 2 when no daemon listens.\n"},
      {"relearn",
       "usage: mlctl relearn DOMAIN ARG\nAsks the daemon to start the argument's learning "
       "again: state collecting,\ncounters 0, a new start time. Exit 2 when no daemon listens.\n"},
      {"model",
       "usage: mlctl model DOMAIN ARG [--json]\n"
       "The argument's model as matrices (initial, transition, emission by symbol class),\n"
       "its statistics and the fences of every boxplot group, oldest build first.\n"},
      {"judge",
       "usage: mlctl judge DOMAIN ARG VALUE [--json] [--point definite|potential]\n"
       "       mlctl judge -f FILE [--json] [--point ...]  (FILE lines: DOMAIN URL ARG VALUE)\n"
       "Judges values as the proxy would: normal, potential, definite, unknown_argument or\n"
       "not_learned, and the action at the operating point (block, log or pass; the point\n"
       "definite, the default, blocks definite and unknown_argument and logs potential;\n"
       "potential blocks both), then the score, q4, q5, the value's pattern, whether it was\n"
       "learned, the three nearest learned patterns and the reason. -f (- for standard\n"
       "input) ends with counts per verdict and per action.\n"
       "Put -- before a VALUE that begins with '-'. Exit 2 when a service failed.\n"},
      {"debug-level",
       "usage: mlctl debug-level [N]\n"
       "Prints the running daemon's message level, or sets it to N: 0 errors only ... 5 all.\n"
       "Nothing but 0..5 is accepted. The daemon reads it before its next configuration\n"
       "message.\n"},
      {"log",
       "usage: mlctl log dump [FILE] [--json]\n"
       "The daemon's persistent log (/var/log/debug/daemon.log below ML_DAEMON_ROOT), oldest\n"
       "record first, to standard output or into FILE.\n"},
  };
  for (const auto &h : kHelp)
    if (cmd == h.name) return h.text;
  return "";
}

}  // namespace mlctl
