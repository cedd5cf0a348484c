// The operator programs that talk to Redis ignore SIGPIPE: a write to a peer
// that went away (a Redis restart, a pager that quit) must fail as a write,
// reported by the program, not kill it. A pipe whose reader is closed is the
// same broken-peer write as a socket, and is deterministic.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/testutil/testutil.h"

namespace {

// Runs the program with the descriptor fd (1 or 2) on a pipe nobody reads,
// SIGPIPE at its default as a shell would leave it; returns the wait status.
int run_into_closed_pipe(const std::vector<std::string> &args, int fd) {
  int p[2];
  if (pipe(p) != 0) return -1;
  close(p[0]);
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    dup2(p[1], fd);
    close(p[1]);
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(p[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(ToolSignals, AWriteToAPeerThatWentAwayDoesNotKill) {
  const std::string bin = mlt::bin_dir();
  struct Case {
    std::vector<std::string> args;
    int fd;
    int status;
  } cases[] = {
      {{bin + "/mlfeed", "--help"}, 1, 0},  // usage on standard output
      {{bin + "/mlctl", "--help"}, 1, 0},   // the overview on standard output
      {{bin + "/ml_sample_push"}, 2, 1},    // usage on standard error
  };
  for (const Case &c : cases) {
    const int st = run_into_closed_pipe(c.args, c.fd);
    EXPECT_FALSE(WIFSIGNALED(st)) << c.args[0] << " killed by signal " << WTERMSIG(st);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == c.status) << c.args[0] << " status " << st;
  }
}

}  // namespace
