#!/usr/bin/env bash
# Under libfaketime (100x): the server withholds the acknowledgement of every
# 5th block once; the agent resends those blocks after the resend age (more
# than 1200 s since their last send) and still ends 0 with an identical image.
# Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"

agent=$TB_WORK/agent
srv=$TB_WORK/srv

tb_make_disk sdx 96 none 512 43 || exit 1
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" --fault-drop-ack-every 5 || exit 1

TB_AGENT_TIMEOUT=300 tb_run_agent "$agent" --faketime 127.0.0.1
log=$(ls "$agent"/*.log | head -1)
resends=$(grep -c "resend a block when < 10" "$log")
echo "resends logged: $resends"
tb_check "run ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "the withheld blocks were resent" test "$resends" -ge 2
tb_check "image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img"
tb_check "every row acknowledged" \
  test "$(tb_sql "$agent/data.db" 'SELECT count(*) FROM T_BLOCK WHERE ACK=0')" = 0
tb_done
