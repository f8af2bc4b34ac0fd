#include "agent/commands.h"

#include <inttypes.h>
#include <stdio.h>

#include <vector>

#include "agent/inventory.h"
#include "agent/ledger.h"
#include "agent/modinstall.h"
#include "agent/support/slog.h"

namespace {
const int64_t kGiB = 1073741824;
}

int check_func() { return check_install_env(); }

int env_check_func() { return snap_assert_or_install() == 0 ? 0 : 1; }

int begin_session_func() { return 0; }

int end_session_func() {
  // A ledger without a table (no transfer ran yet) holds no rows: done.
  int has_table = ledger_has_table();
  if (has_table == 0 || (has_table == 1 && delete_all_rows() == 0)) {
    log_info("end session done\n");
    return 0;
  }
  // Saying "done" here would let the caller start a new session on old rows.
  log_error("end session failed: the ledger rows could not be deleted");
  fprintf(stderr, "blockferry: end_session failed: the ledger rows could not be deleted\n");
  return 1;
}

int query_func() {
  // The caller expects a fixed 0 here; the sum is only logged as computed.
  get_sent_block_size();
  log_info("get_sent_block_size done");
  printf("%lld\n", 0LL);
  return 0;
}

int sentbytes_func() {
  printf("%lld\n", static_cast<long long>(get_sent_block_size()));
  return 0;
}

int query_disk_func() {
  for (int gib : get_disk_sizes()) printf("%d\n", gib);
  return 0;
}

int query_disk_total_bytes_func() {
  int64_t total = 0;
  for (int gib : get_disk_sizes()) total += static_cast<int64_t>(gib) * kGiB;
  printf("%lld\n", static_cast<long long>(total));
  return 0;
}
