#!/usr/bin/env bash
# Under libfaketime (100x): the server is stopped in the middle of a run and
# started again on the same directory; the agent reconnects at its next ticks,
# resends what was lost and ends 0 with an identical image.
# Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"

agent=$TB_WORK/agent
srv=$TB_WORK/srv
db=$agent/data.db

tb_make_disk sdx 128 none 512 47 || exit 1
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" || exit 1

tb_start_agent "$agent" --faketime 127.0.0.1
acked() { tb_sql "$db" 'SELECT count(*) FROM T_BLOCK WHERE ACK=1' 2>/dev/null || echo 0; }
deadline=$(($(date +%s) + 60))
until (($(acked) >= 3)) || (($(date +%s) > deadline)); do sleep 0.05; done
echo "stopping the server after $(acked) acknowledged blocks"
tb_stop_server
sleep 1  # 100 s of the agent's time: several ticks find no server
tb_start_server "$srv" || exit 1
tb_wait_agent 300

log=$(ls "$agent"/*.log | head -1)
echo "agent status $TB_AGENT_STATUS"
if [[ $TB_AGENT_STATUS != 0 ]]; then tail -n 5 "$agent/agent.err" "$log"; fi
tb_check "run ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "the pool was refilled" grep -q "reconnect..." "$log"
tb_check "image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img"
tb_check "every row acknowledged" test "$(tb_sql "$db" 'SELECT count(*) FROM T_BLOCK WHERE ACK=0')" = 0
tb_done
