#!/usr/bin/env bash
# Late acknowledgements, under libfaketime (100x; the server keeps real time).
# Run 1: each ack comes 3 s late (300 s for the agent, below the resend age):
# the reader waits at its limit of unacknowledged blocks, nothing is resent,
# the replica is identical. Run 2 (fresh agent and server): each ack comes
# 13 s late (1300 s for the agent, beyond the 1200 s resend age): blocks are
# resent, the duplicate acks do no harm, the run ends 0, the replica is
# identical. Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"
source "$TB_E2E_DIR/suite_lib.sh"

tb_make_disk sdx 128 none 512 101 || exit 1 # 16 blocks: more than the 12 held
tb_fake_modules loaded || exit 1

run() { # run LABEL DELAY_MS
  local agent=$TB_WORK/agent-$2 srv=$TB_WORK/srv-$2 log resends t0
  tb_install_agent "$agent" || exit 1
  tb_start_server "$srv" --fault-ack-delay-ms "$2" || exit 1
  t0=$SECONDS
  TB_AGENT_TIMEOUT=300 tb_run_agent "$agent" --faketime 127.0.0.1
  tb_stop_server
  log=$(sl_log "$agent")
  resends=$(grep -c "resend a block when < 10" "$log")
  echo "$1: status $TB_AGENT_STATUS after $((SECONDS - t0)) s, resends $resends"
  tb_check "$1 ends with status 0" test "$TB_AGENT_STATUS" = 0
  tb_check "$1: image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img"
  tb_check "$1: every ledger row acknowledged, one per block" \
    test "$(tb_sql "$agent/data.db" 'SELECT count(*), sum(ACK) FROM T_BLOCK')" = "16|16"
  RESENDS=$resends LOG=$log
}

run "run 1 (acks 3 s late)" 3000
tb_check "run 1: nothing resent" test "$RESENDS" = 0
tb_check "run 1: the reader waited for acknowledgements" grep -q "sleep, write_queue_totalsum" "$LOG"
run "run 2 (acks 13 s late)" 13000
tb_check "run 2: blocks were resent" test "$RESENDS" -ge 1
tb_done
