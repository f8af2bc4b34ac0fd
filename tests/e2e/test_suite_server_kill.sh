#!/usr/bin/env bash
# The server is killed with SIGKILL in the middle of a run (no clean close,
# blocks in flight are lost) and started again on the same directory a little
# later, under libfaketime (100x): the agent refills its pool, resends what
# was never acknowledged and ends 0 with an identical replica. (A graceful
# stop and restart is test_transfer_reconnect.sh.)
# Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"
source "$TB_E2E_DIR/suite_lib.sh"

agent=$TB_WORK/agent
srv=$TB_WORK/srv
db=$agent/data.db

tb_make_disk sdx 160 none 512 81 || exit 1
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" || exit 1

tb_start_agent "$agent" --faketime 127.0.0.1
sl_wait_acked "$db" 4 60 || echo "fewer than 4 blocks acknowledged before the kill"
acked=$(tb_sql "$db" 'SELECT count(*) FROM T_BLOCK WHERE ACK=1')
kill -KILL "$TB_SERVER_PID"; wait "$TB_SERVER_PID" 2>/dev/null
rm -f "$TB_WORK/server.pid"
echo "server killed after $acked of 20 blocks were acknowledged"
sleep 1 # 100 s of the agent's time: several ticks find no server
tb_start_server "$srv" || exit 1
tb_wait_agent 300

log=$(sl_log "$agent")
echo "resends: $(grep -c 'resend a block when < 10' "$log"), reconnect attempts: $(grep -c 'reconnect\.\.\.' "$log")"
tb_check "the kill came mid-run" test "$acked" -lt 20
tb_check "run ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "the pool was refilled" grep -q "reconnect\.\.\." "$log"
tb_check "image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img"
tb_check "every ledger row acknowledged" test "$(sl_unacked "$db")" = 0
tb_check "one row per block (nothing recorded twice)" test "$(tb_sql "$db" 'SELECT count(*) FROM T_BLOCK')" = 20
tb_done
