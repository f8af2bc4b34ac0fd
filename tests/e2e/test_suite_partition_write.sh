#!/usr/bin/env bash
# An unmounted partition rewritten between two runs while another partition of
# the same disk stays mounted, under libfaketime (100x). The mount keeps the
# whole-disk device open, so the kernel keeps what the first run read of it in
# the page cache, and a write through the partition's own device does not
# update those pages: a second run that trusts the cache sees the old bytes,
# skips the block and ends 0 with a stale replica. The replica must equal the
# disk after each run. Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"
source "$TB_E2E_DIR/suite_lib.sh"

agent=$TB_WORK/agent
srv=$TB_WORK/srv

tb_make_disk sdx 64 dos 512 141 || exit 1
p1=$(tb_add_partition sdx 24 L boot) && p2=$(tb_add_partition sdx 24) || exit 1
tb_fill_mixed "/dev/$p2" 142 || exit 1
tb_mount_volume "$p1" "$TB_WORK/mnt/a" 143 || exit 1
sync
tb_install_agent "$agent" || exit 1
sl_keep_snapshots "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" || exit 1

tb_run_agent "$agent" --faketime 127.0.0.1
tb_check "run 1 ends with status 0" test "$TB_AGENT_STATUS" = 0
sl_check_replicas "$srv"

# 1 MiB of new bytes, 4 MiB into the unmounted partition, written and flushed
# through the partition's device as a tool working on it would.
head -c "$SL_MiB" /dev/urandom >"$TB_WORK/new.bin"
dd if="$TB_WORK/new.bin" of="/dev/$p2" bs=1M seek=4 conv=notrunc,fsync status=none || exit 1
mark=$(sl_log_mark "$agent")
rows1=$(tb_sql "$agent/data.db" 'SELECT max(ID) FROM T_BLOCK')
at=$(($(<"/sys/block/sdx/$p2/start") * 512 + 4 * SL_MiB)) # disk offset of the new bytes
tb_run_agent "$agent" --faketime 127.0.0.1
totals=$(sl_range_totals "$agent" "$mark")
echo "run 2: status $TB_AGENT_STATUS, $totals"
tb_check "run 2 ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "run 2 sent the block holding the new bytes" test "$(tb_sql "$agent/data.db" \
  "SELECT count(*) FROM T_BLOCK WHERE ID > $rows1 AND OFFSET <= $at AND $at < OFFSET + SIZE")" = 1
sl_check_replicas "$srv"
tb_check "every ledger row acknowledged" test "$(sl_unacked "$agent/data.db")" = 0
tb_done
