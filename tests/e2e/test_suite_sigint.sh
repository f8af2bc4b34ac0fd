#!/usr/bin/env bash
# The agent is interrupted with SIGINT in the middle of a run and started
# again, under libfaketime (100x): the interrupt ends it at once with status 0;
# the second run skips exactly the blocks acknowledged before the interrupt,
# sends the others and ends 0 with an identical replica and a ledger where
# every row is acknowledged. Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"
source "$TB_E2E_DIR/suite_lib.sh"

agent=$TB_WORK/agent
srv=$TB_WORK/srv
db=$agent/data.db

tb_make_disk sdx 160 none 512 111 || exit 1 # 20 blocks
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" || exit 1

tb_start_agent "$agent" --faketime 127.0.0.1
sl_wait_acked "$db" 3 60 || echo "fewer than 3 blocks acknowledged before the interrupt"
kill -INT "$TB_AGENT_PID"
t0=$EPOCHREALTIME
tb_wait_agent 30
took=$(echo "$EPOCHREALTIME - $t0" | bc)
acked=$(tb_sql "$db" 'SELECT count(*) FROM T_BLOCK WHERE ACK=1')
echo "interrupted: status $TB_AGENT_STATUS within $took s, $acked of 20 blocks acknowledged"
tb_check "the interrupt ends the run with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "the interrupt ends it at once (under 2 s)" test "$(echo "$took < 2" | bc)" = 1
tb_check "the interrupt came mid-run" test "$acked" -lt 20
tb_check "the interrupt was logged" grep -q "Signal received: 2" "$(sl_log "$agent")"

mark=$(sl_log_mark "$agent")
TB_AGENT_TIMEOUT=300 tb_run_agent "$agent" --faketime 127.0.0.1
totals=$(sl_range_totals "$agent" "$mark")
echo "second run: status $TB_AGENT_STATUS, $totals"
read -r _ s _ m _ d <<<"$totals"
tb_check "second run ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "second run skipped exactly the $acked acknowledged blocks" test "$m" = "$acked"
tb_check "second run sent the other $((20 - acked))" test "$((s + d))" = "$((20 - acked))"
tb_check "image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img"
tb_check "every ledger row acknowledged" test "$(sl_unacked "$db")" = 0
tb_done
