#!/usr/bin/env bash
# An incremental run under libfaketime (100x): every stream announces
# "ctlIncremental", the closing "ctlEndIncremental" is repeated until the
# server confirms durability (reply type 2), then the run ends 0 with an
# identical image. Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"

agent=$TB_WORK/agent
srv=$TB_WORK/srv

tb_make_disk sdx 40 none 512 71 || exit 1
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" || exit 1

tb_run_agent "$agent" --faketime 127.0.0.1 incremental
log=$(ls "$agent"/*.log | head -1)
tb_check "run ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "incremental mode announced on the streams" grep -q "send ctlIncremental" "$log"
tb_check "closing exchange sent" grep -q "send ctlEndIncremental" "$log"
tb_check "server confirmed durability" grep -q "reply.type==2, done" "$log"
tb_check "image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img"
tb_done
