// Stand-ins for features that are not built yet. Each says plainly that it is
// not available and ends with status 1; never pretend success. Remove a
// stand-in in the same change that adds the real function.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "agent/disks.h"
#include "agent/inventory.h"
#include "agent/transfer.h"

namespace {
[[noreturn, maybe_unused]] void not_available(const char* what) {
  fprintf(stderr, "blockferry: %s is not available yet\n", what);
  exit(1);
}
}  // namespace

