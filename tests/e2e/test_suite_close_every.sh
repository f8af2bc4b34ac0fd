#!/usr/bin/env bash
# The server closes every connection after two messages, under libfaketime
# (100x): the agent keeps refilling its pool at each tick, resends the blocks
# lost with closed connections and ends 0 with an identical replica.
# Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"
source "$TB_E2E_DIR/suite_lib.sh"

agent=$TB_WORK/agent
srv=$TB_WORK/srv
db=$agent/data.db

tb_make_disk sdx 160 none 512 91 || exit 1 # 20 blocks, 10 connections of 2
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" --fault-close-after 2 --log-file "$TB_WORK/server.log" || exit 1

TB_AGENT_TIMEOUT=300 tb_run_agent "$agent" --faketime 127.0.0.1
log=$(sl_log "$agent")
closed=$(grep -c "connection closed" "$TB_WORK/server.log")
echo "connections closed by the server: $closed; reconnect attempts: $(grep -c 'reconnect\.\.\.' "$log"); resends: $(grep -c 'resend a block when < 10' "$log")"
tb_check "run ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "the server closed more than one pool's worth of connections" test "$closed" -gt 10
tb_check "the pool was refilled" grep -q "reconnect\.\.\." "$log"
tb_check "image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img"
tb_check "every ledger row acknowledged" test "$(sl_unacked "$db")" = 0
tb_check "one row per block" test "$(tb_sql "$db" 'SELECT count(*) FROM T_BLOCK')" = 20
tb_done
