// ml_debug_level: the old name of "mlctl debug-level" (prints or sets the
// running daemon's message level, 0..5), kept for scripts that use it. It
// runs the mlctl that lies beside it.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char **argv) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    fprintf(stderr, "ml_debug_level: cannot find its own folder\n");
    return 2;
  }
  self[n] = '\0';
  std::string mlctl(self);
  mlctl = mlctl.substr(0, mlctl.rfind('/') + 1) + "mlctl";
  std::vector<char *> args = {mlctl.data(), const_cast<char *>("debug-level")};
  for (int i = 1; i < argc; i++) args.push_back(argv[i]);
  args.push_back(nullptr);
  execv(mlctl.c_str(), args.data());
  fprintf(stderr, "ml_debug_level: cannot run %s: %s\n", mlctl.c_str(), strerror(errno));
  return 2;
}
