#include "agent/entry.h"

#include <stdio.h>

#include "agent/support/slog.h"

// Placeholder until the dispatcher lands.
void parse_args(int argc, char**) {
  if (argc < 2) printf("need a ip or command\n");
}

int agent_main(int argc, char** argv) {
  if (init_logger(".", 2) != 1) {
    printf("init logger failed\n");
    return 1;
  }
  parse_args(argc, argv);
  return 0;
}
