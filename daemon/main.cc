#include "daemon/ml_daemon.h"

int main(int argc, char **argv) { return ml_daemon_main(argc, argv); }
