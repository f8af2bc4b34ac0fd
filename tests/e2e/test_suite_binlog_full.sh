#!/usr/bin/env bash
# The server reports a binlog over the agent's limit, under libfaketime (100x):
# the agent logs it and exits 0 at once, before the transfer is complete.
# A report of exactly the limit does not stop a run, and a later run against
# a server with room completes with an identical replica.
# Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"
source "$TB_E2E_DIR/suite_lib.sh"

limit=10737418240
agent=$TB_WORK/agent
srv=$TB_WORK/srv
db=$agent/data.db

tb_make_disk sdx 96 none 512 121 || exit 1 # 12 blocks
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1

run() { # run LABEL BINLOG_SIZE: reports every 50 ms
  local mark
  mark=$(sl_log_mark "$agent")
  tb_start_server "$srv" --binlog-interval-ms 50 --fault-binlog-size "$2" || exit 1
  TB_AGENT_TIMEOUT=300 tb_run_agent "$agent" --faketime 127.0.0.1
  tb_stop_server
  sl_log_since "$agent" "$mark" >"$TB_WORK/run.log"
  echo "$1: status $TB_AGENT_STATUS, $(tb_sql "$db" 'SELECT count(*) FROM T_BLOCK WHERE ACK=1') of 12 blocks acknowledged"
}

run "run 1 (binlog one byte over)" $((limit + 1))
tb_check "run 1 exits with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "run 1 logs the full binlog" grep -q "binlog $((limit + 1)) > $limit" "$TB_WORK/run.log"
tb_check "run 1 logs its exit" grep -q "binlog full, exit app" "$TB_WORK/run.log"
tb_check "run 1 stopped before the end" bash -c '! grep -q "all done" "$1"' _ "$TB_WORK/run.log"
tb_check "run 1 left blocks unsent" test "$(tb_sql "$db" 'SELECT count(*) FROM T_BLOCK WHERE ACK=1')" -lt 12

run "run 2 (binlog exactly at the limit)" "$limit"
tb_check "run 2 ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "run 2 logs the binlog as below the limit" grep -q "binlog $limit less $limit" "$TB_WORK/run.log"
tb_check "run 2 completes" grep -q "all done" "$TB_WORK/run.log"
tb_check "image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img"
tb_check "every ledger row acknowledged" test "$(sl_unacked "$db")" = 0
tb_done
