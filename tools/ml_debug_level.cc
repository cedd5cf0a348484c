// ml_debug_level: shows or sets the message level of a running ml_daemon.
//
//   ml_debug_level          prints the level
//   ml_debug_level LEVEL    sets it (0 errors only ... 5 everything)
//
// The level lives in the system debug zone; the daemon picks it up before it
// handles the next configuration message. Exit status: 0, 1 bad usage, 2 the
// zone cannot be mapped.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/framework/framework.h"

int main(int argc, char **argv) {
  if (argc > 2 ||
      (argc == 2 && (!argv[1][0] || strspn(argv[1], "0123456789") != strlen(argv[1])))) {
    fprintf(stderr, "usage: %s [LEVEL]   (LEVEL 0 to 5)\n", argv[0]);
    return 1;
  }
  unsigned char *zone = fw_debug_zone_map();
  if (!zone) {
    fprintf(stderr, "%s: cannot map the system debug zone\n", argv[0]);
    return 2;
  }
  if (argc == 2)
    fw_debug_zone_set_level(zone, static_cast<uint32_t>(strtoul(argv[1], nullptr, 10)));
  printf("%u\n", fw_debug_zone_level(zone));
  return 0;
}
